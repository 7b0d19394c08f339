// The maps module on any backend answer and any map name. The first byte picks the part:
//   0 the list answer (L) through maps_on_response: the list is replaced only by an answer that
//     decodes, and every entry's strings are its own;
//   1 the download descriptor (D) through maps_on_response: a file request is queued only for
//     a path below "/files/" of the same backend, never climbing out with "..";
//   2 a map name: its stem is a safe file name, its title has no line break, its query text
//     decodes back to the name.
#include <cstdlib>

#include "backend/url.h"
#include "fuzz_support.h"
#include "launcher/maps.h"

namespace {

constexpr std::string_view base = "http://127.0.0.1:9";

// A client that takes requests without sending them: it has no worker, so the queue keeps
// what the maps module asked for.
void queue_only(backend::Client& c) {
    c.base_url.assign(base);
    c.ready = true;
}

int unhex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Map files and the local store go to a folder of the fuzzer's own.
    setenv("XDG_DATA_HOME", fuzz::temp_dir().c_str(), 1);
    setenv("HOME", fuzz::temp_dir().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0: {
        launcher::Maps_State m;
        backend::Client api, files;
        m.maps.push_back({7, "kept", "", {"a"}, std::string(64, 'a'), 1, 2, 3, 4});
        m.list_id = 11;
        backend::Response r{11, 200, std::string(rest), ""};
        fuzz::check(launcher::maps_on_response(m, api, files, r), "list answer not claimed");
        fuzz::check(m.list_id == 0, "list id still set");
        launcher::L decoded;
        if (!launcher::decode_l(rest, decoded))
            fuzz::check(m.maps.size() == 1 && m.maps[0].name == "kept", "a garbled list replaced the list");
        launcher::maps_destroy(m);
        break;
    }
    case 1: {
        launcher::Maps_State m;
        backend::Client api, files;
        queue_only(files);
        m.info_id = 12;
        backend::Response r{12, 200, std::string(rest), ""};
        fuzz::check(launcher::maps_on_response(m, api, files, r), "descriptor not claimed");
        if (m.file_id != 0) {
            fuzz::check(files.pending.size() == 1, "file request not queued once");
            const std::string& url = files.pending.back().url;
            backend::Url_Parts parts;
            fuzz::check(backend::split_url(url, parts), "file request with a bad URL");
            fuzz::check(parts.host == "127.0.0.1" && parts.port == 9, "file request to another host");
            fuzz::check(parts.path.starts_with("/files/"), "file request outside /files/");
            std::string_view p = parts.path;
            p = p.substr(0, p.find_first_of("?#"));
            fuzz::check(p.find("/../") == std::string_view::npos && !p.ends_with("/.."),
                        "file request climbing out of /files/");
        } else {
            fuzz::check(files.pending.empty(), "a refused descriptor still queued a request");
            fuzz::check(!m.message_ok && !m.message.empty(), "a refused descriptor said nothing");
        }
        launcher::maps_destroy(m);
        break;
    }
    case 2: {
        std::string stem = launcher::map_stem(rest);
        fuzz::check(!stem.empty(), "empty stem");
        for (char c : stem)
            fuzz::check((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_', "unsafe byte in a stem");
        std::string title = launcher::map_title(rest);
        fuzz::check(title.find_first_of("\r\n") == std::string::npos, "line break in a title");
        std::string q = launcher::url_encode(rest);
        std::string back;
        for (size_t i = 0; i < q.size(); ++i) {
            if (q[i] == '%') {
                fuzz::check(i + 2 < q.size(), "cut escape");
                int hi = unhex(q[i + 1]), lo = unhex(q[i + 2]);
                fuzz::check(hi >= 0 && lo >= 0, "bad escape");
                back += char(hi * 16 + lo);
                i += 2;
            } else {
                char c = q[i];
                fuzz::check((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~',
                            "reserved byte left unescaped");
                back += c;
            }
        }
        fuzz::check(back == rest, "query text does not decode back to the name");
        break;
    }
    }
    return 0;
}
