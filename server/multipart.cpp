#include "server/multipart.h"

#include <cctype>

namespace server {

namespace {

constexpr size_t part_limit = 16;
constexpr size_t part_head_limit = 8 * 1024;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The value of `key` among the ;-separated parameters of a header value, unquoted.
bool parameter(std::string_view value, std::string_view key, std::string& out) {
    size_t at = 0;
    while ((at = value.find(';', at)) != std::string_view::npos) {
        std::string_view rest = trim(value.substr(++at));
        size_t eq = rest.find('=');
        if (eq == std::string_view::npos || lower(trim(rest.substr(0, eq))) != key) continue;
        std::string_view v = trim(rest.substr(eq + 1));
        if (!v.empty() && v.front() == '"') {
            size_t close = v.find('"', 1);
            if (close == std::string_view::npos) return false;
            out = std::string(v.substr(1, close - 1));
        } else {
            out = std::string(v.substr(0, v.find(';')));
            out = std::string(trim(out));
        }
        return true;
    }
    return false;
}

bool read_part_head(std::string_view head, Part& part) {
    bool disposition = false;
    size_t at = 0;
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos) end = head.size();
        std::string_view line = head.substr(at, end - at);
        at = end + 2;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) return false;
        std::string name = lower(trim(line.substr(0, colon)));
        std::string_view value = trim(line.substr(colon + 1));
        if (name == "content-disposition") {
            if (lower(value.substr(0, 9)) != "form-data") return false;
            if (!parameter(value, "name", part.name)) return false;
            parameter(value, "filename", part.filename);
            disposition = true;
        } else if (name == "content-type") {
            part.content_type = std::string(value);
        }
    }
    return disposition;
}

}  // namespace

bool multipart_boundary(std::string_view content_type, std::string& boundary) {
    boundary.clear();
    if (lower(trim(content_type.substr(0, content_type.find(';')))) != "multipart/form-data")
        return false;
    parameter(content_type, "boundary", boundary);
    return true;
}

bool multipart_parse(std::string_view body, std::string_view boundary, std::vector<Part>& parts) {
    parts.clear();
    if (boundary.empty() || boundary.size() > 70) return false;
    std::string delimiter = "--" + std::string(boundary);
    if (body.substr(0, delimiter.size()) != delimiter) return false;
    size_t at = delimiter.size();
    delimiter.insert(0, "\r\n");
    for (;;) {
        if (body.substr(at, 2) == "--") return !parts.empty();
        if (body.substr(at, 2) != "\r\n" || parts.size() == part_limit) return false;
        at += 2;
        size_t head_end = body.find("\r\n\r\n", at);
        if (head_end == std::string_view::npos || head_end - at > part_head_limit) return false;
        Part part;
        if (!read_part_head(body.substr(at, head_end - at), part)) return false;
        size_t content = head_end + 4;
        size_t next = body.find(delimiter, content);
        if (next == std::string_view::npos) return false;
        part.content = std::string(body.substr(content, next - content));
        parts.push_back(std::move(part));
        at = next + delimiter.size();
    }
}

}  // namespace server
