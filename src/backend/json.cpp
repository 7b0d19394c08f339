#include "backend/json.h"

namespace json {

bool parse(std::string_view text, Value& out) {
    // One parser per thread: the main thread and each client worker decode independently.
    thread_local simdjson::dom::parser parser;
    return parser.parse(text.data(), text.size(), true).get(out) == simdjson::SUCCESS;
}

bool get(Value v, std::string& out) {
    if (v.is_null()) return true;
    std::string_view s;
    if (v.get(s) != simdjson::SUCCESS) return false;
    out.assign(s);
    return true;
}

bool get(Value v, int64_t& out) {
    if (v.is_null()) return true;
    return v.get(out) == simdjson::SUCCESS;
}

bool get(Value v, bool& out) {
    if (v.is_null()) return true;
    return v.get(out) == simdjson::SUCCESS;
}

void write_json_string(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 32) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

std::string json_body(std::initializer_list<std::string_view> pairs) {
    std::string out = "{";
    auto it = pairs.begin();
    for (size_t i = 0; i + 1 < pairs.size(); i += 2, it += 2) {
        if (i) out += ',';
        write_json_string(out, it[0]);
        out += ':';
        write_json_string(out, it[1]);
    }
    out += '}';
    return out;
}

std::string json_escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 32) continue;
        if (c == '"' || c == '\\') out += '\\';
        out += char(c);
    }
    return out;
}

}  // namespace json
