// multipart/form-data bodies: the boundary from a Content-Type, and a whole body split into
// its parts (name, file name, content type, content).
//
// Depends on request.h (Part). Limits: the body is in memory already (the HTTP front has
// bounded it); at most 16 parts and 8 KiB of headers per part; anything malformed is false.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "server/request.h"

namespace server {

// True when `content_type` is multipart/form-data; `boundary` gets its boundary (which may be
// empty when the type names none).
bool multipart_boundary(std::string_view content_type, std::string& boundary);

// Splits `body` at `boundary`; false when it is not a well-formed multipart body.
bool multipart_parse(std::string_view body, std::string_view boundary, std::vector<Part>& parts);

}  // namespace server
