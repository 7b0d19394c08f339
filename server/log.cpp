#include "server/log.h"

#include <cstdio>

namespace server {

namespace {

void append_escaped(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (c > ' ' && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

}  // namespace

void log_to_stderr(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string log_target(std::string_view raw_target) {
    std::string out;
    auto question = raw_target.find('?');
    append_escaped(out, raw_target.substr(0, question));
    if (question == std::string_view::npos) return out;
    out += '?';
    std::string_view query = raw_target.substr(question + 1);
    bool first = true;
    while (true) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        if (!first) out += '&';
        first = false;
        auto eq = pair.find('=');
        append_escaped(out, pair.substr(0, eq));
        if (eq != std::string_view::npos) out += '=';
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return out;
}

std::string log_line(std::string_view method, std::string_view raw_target, int status, int64_t ms) {
    std::string line;
    append_escaped(line, method.empty() ? std::string_view("-") : method);
    line += ' ';
    line += raw_target.empty() ? std::string("-") : log_target(raw_target);
    line += ' ';
    line += std::to_string(status);
    line += ' ';
    line += std::to_string(ms);
    line += " ms";
    return line;
}

}  // namespace server
