// The request log: one line per request, "GET /v1/maps?sort=&limit=&q= 200 3 ms".
//
// Depends on nothing. Query values are dropped and unusual bytes escaped, so neither a secret
// nor a forged line can reach the log through a request's target. Bodies and headers are never
// logged at all: that is what keeps passwords and tokens out.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace server {

using Log_Sink = std::function<void(std::string_view line)>;

// Writes the line and a newline to stderr in one call.
void log_to_stderr(std::string_view line);

// The raw request target with each query value removed; bytes outside printable ASCII become
// %XX ('%' itself is kept, so text the client encoded stays as it was sent).
std::string log_target(std::string_view raw_target);

std::string log_line(std::string_view method, std::string_view raw_target, int status, int64_t ms);

}  // namespace server
