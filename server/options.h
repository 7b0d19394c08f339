// The command line of tarnwick-server.
//
// Depends on server.h (Options). Pure: no files are touched while parsing.
#pragma once
#include <string>

#include "server/server.h"

namespace server {

extern const char* const usage_text;

// Fills `out` from argv[1..]. Returns an error text, empty on success.
std::string parse_options(int argc, const char* const* argv, Options& out);

}  // namespace server
