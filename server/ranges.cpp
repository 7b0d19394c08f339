#include "server/ranges.h"

namespace server {

namespace {

// Decimal digits only, no sign, no overflow; false for anything else, the empty text included.
bool number(std::string_view text, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

Byte_Range byte_range(std::string_view header, uint64_t size) {
    Byte_Range whole;
    header = trim(header);
    if (header.substr(0, 6) != "bytes=") return whole;
    std::string_view range = trim(header.substr(6));
    if (range.find(',') != std::string_view::npos) return whole;
    size_t dash = range.find('-');
    if (dash == std::string_view::npos) return whole;
    std::string_view first_text = trim(range.substr(0, dash)), last_text = trim(range.substr(dash + 1));
    Byte_Range r;
    r.kind = Byte_Range::part;
    uint64_t first = 0, last = 0;
    if (first_text.empty()) {
        // "-N": the last N bytes.
        if (!number(last_text, last)) return whole;
        if (last == 0 || size == 0) return Byte_Range{Byte_Range::unsatisfiable, 0, 0};
        r.length = last < size ? last : size;
        r.first = size - r.length;
        return r;
    }
    if (!number(first_text, first)) return whole;
    if (last_text.empty()) {
        last = size == 0 ? 0 : size - 1;
    } else if (!number(last_text, last) || last < first) {
        return whole;
    }
    if (first >= size) return Byte_Range{Byte_Range::unsatisfiable, 0, 0};
    if (last >= size) last = size - 1;
    r.first = first;
    r.length = last - first + 1;
    return r;
}

std::string content_range(const Byte_Range& range, uint64_t size) {
    if (range.kind != Byte_Range::part) return "bytes */" + std::to_string(size);
    return "bytes " + std::to_string(range.first) + "-" +
           std::to_string(range.first + range.length - 1) + "/" + std::to_string(size);
}

}  // namespace server
