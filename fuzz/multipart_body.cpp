// A whole multipart/form-data body as a client sends it, split at the boundary "b": never
// crashes, never reads past the body, and every part it accepts is a slice of the body.
#include "fuzz_support.h"
#include "server/multipart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    std::vector<server::Part> parts;
    if (!server::multipart_parse(body, "b", parts)) return 0;
    fuzz::check(!parts.empty() && parts.size() <= 16, "accepted no parts, or too many");
    for (const auto& part : parts) {
        fuzz::check(part.content.size() <= body.size(), "content longer than the body");
        fuzz::check(part.content.empty() || body.find(part.content) != std::string_view::npos,
                    "content that is not in the body");
    }
    return 0;
}
