// The request and reply records the handlers work on, independent of the HTTP library, so
// handlers can be called directly by tests and fuzzers; plus the JSON error reply.
//
// Depends on nothing but the standard library.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

// One part of a multipart/form-data body.
struct Part {
    std::string name;
    std::string filename;
    std::string content_type;
    std::string content;
};

struct Request {
    std::string method;  // "GET", "POST", ...; HEAD arrives as GET
    std::string path;    // percent-decoded, without the query
    std::vector<std::pair<std::string, std::string>> query;  // decoded keys and values
    std::string authorization;                               // the Authorization header
    std::string content_type;
    std::string body;         // empty for multipart bodies, whose parts are in `parts`
    bool multipart = false;
    std::vector<Part> parts;
    std::string client;  // the peer's address, for rate limiting
};

struct Reply {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    // When set, the answer is this file's bytes (streamed by the HTTP layer) instead of `body`.
    std::string file;
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers, e.g. Retry-After
};

// The error body {"error":"code"} with a status.
Reply error_reply(int status, std::string_view code);
Reply json_reply(int status, std::string body);

// The first value of `key` in the query; false when the key is absent.
bool query_value(const Request& request, std::string_view key, std::string& value);

// The first part named `name`, or null.
const Part* find_part(const Request& request, std::string_view name);

}  // namespace server
