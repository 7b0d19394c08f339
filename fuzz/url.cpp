// The URL split on any text: never crashes, and whatever it accepts is a URL it would send to
// the same place again.
#include "backend/url.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view url(reinterpret_cast<const char*>(data), size);
    backend::Url_Parts parts;
    if (!backend::split_url(url, parts)) return 0;

    fuzz::check(!parts.host.empty(), "accepted an empty host");
    fuzz::check(parts.port >= 1, "accepted port 0");
    fuzz::check(parts.host.find('@') == std::string::npos, "user information in the host");
    fuzz::check(!parts.path.empty() && parts.path[0] == '/', "path does not begin with /");
    fuzz::check(url.starts_with(parts.secure ? "https://" : "http://"), "scheme and secure flag disagree");

    // Put back together, the parts must split the same way (hosts with brackets of their own
    // cannot be written back unambiguously and are left out).
    if (parts.host.find_first_of("[]") != std::string::npos) return 0;
    std::string again = parts.secure ? "https://" : "http://";
    bool ipv6 = parts.host.find(':') != std::string::npos;
    again += ipv6 ? "[" + parts.host + "]" : parts.host;
    again += ":" + std::to_string(parts.port) + parts.path;
    backend::Url_Parts second;
    fuzz::check(backend::split_url(again, second), "rebuilt URL refused");
    fuzz::check(second.secure == parts.secure && second.host == parts.host &&
                    second.port == parts.port && second.path == parts.path,
                "rebuilt URL splits differently");
    return 0;
}
