#include "server/request.h"

#include "backend/json.h"

namespace server {

Reply error_reply(int status, std::string_view code) {
    Reply r;
    r.status = status;
    r.body = "{\"error\":";
    json::write_json_string(r.body, code);
    r.body += "}";
    return r;
}

Reply json_reply(int status, std::string body) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

bool query_value(const Request& request, std::string_view key, std::string& value) {
    for (const auto& [k, v] : request.query) {
        if (k == key) {
            value = v;
            return true;
        }
    }
    return false;
}

const Part* find_part(const Request& request, std::string_view name) {
    for (const auto& part : request.parts)
        if (part.name == name) return &part;
    return nullptr;
}

}  // namespace server
