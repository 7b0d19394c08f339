#include "backend/transport.h"

#include "backend/client.h"

namespace backend {

bool unsafe_header_value(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string request_target(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (unsigned char ch : path) {
        if (ch <= 0x20 || ch >= 0x7F) {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        } else {
            out += char(ch);
        }
    }
    return out;
}

bool sends_content_type(Method method, std::string_view body) {
    return !body.empty() || method == Method::POST || method == Method::PUT || method == Method::PATCH;
}

std::string_view content_type_or_default(std::string_view content_type) {
    return content_type.empty() ? std::string_view("application/json") : content_type;
}

}  // namespace backend
