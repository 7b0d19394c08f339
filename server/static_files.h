// Static files: everything below /files/ from DATA/files, /news.json from DATA/news.json, and
// the account help page /account.html.
//
// Depends on POSIX path resolution. A requested path is refused (404) when it has an empty,
// "." or ".." segment, a backslash or a control byte, or when it resolves (symlinks followed)
// to anything outside DATA/files or to anything but a regular file. The reply names the
// resolved file; the HTTP layer streams it, so large release blobs are never held in memory.
#pragma once
#include <string>
#include <string_view>

#include "server/server.h"

namespace server {

// `relative` is the decoded path below /files/.
Reply static_file(Server& server, std::string_view relative);
// The news: news.json, or with a language ("de", "pt_BR") news.<language>.json beside it. A
// language that is not two or three lower-case letters with an optional upper-case country is
// not found, so no other file can be named through it.
Reply news_file(Server& server, std::string_view language = {});
Reply account_page();

// True when the relative path's text is acceptable (before it is resolved on disk).
bool static_path_ok(std::string_view relative);

// The content type for a file name, by extension.
std::string content_type_for(std::string_view name);

}  // namespace server
