// Every request the launcher sends the backend, in one place: its verb and its path (a printf
// format where the path carries values). Paths are relative to the backend base URL and are
// queued with request_typed on the client named beside each one.
//
// Depends on client.h for Method. Knows nothing of bodies or answers: the owners build
// bodies (JSON, or multipart for a map upload) and decode answers.
#pragma once
#include "backend/client.h"

namespace backend {

struct Request {
    const char* name;
    Method method;
    const char* path;
};

// Session's client, always without an Authorization header; JSON bodies.
inline constexpr Request req_login{"login", Method::POST, "/v1/auth/login"};
inline constexpr Request req_register{"register", Method::POST, "/v1/auth/register"};
inline constexpr Request req_refresh{"refresh", Method::POST, "/v1/auth/refresh"};
inline constexpr Request req_logout{"logout", Method::POST, "/v1/auth/logout"};

// Session's client, "Bearer " and the access token; JSON body {"name": ...}.
inline constexpr Request req_rename{"account rename", Method::PATCH, "/v1/me"};

// Session's client, at start-up.
inline constexpr Request req_news{"news", Method::GET, "/news.json"};

// Session's client. %s: the sort word, then the URL-encoded search text (may be empty).
inline constexpr Request req_map_list{"map list", Method::GET, "/v1/maps?sort=%s&limit=60&q=%s"};
// Session's client. %d: the map's id. The answer names the file's path below "/files/".
inline constexpr Request req_map_download{"map download", Method::GET, "/v1/maps/%d/download"};
// Maps client. %s: the path from that answer, which must begin with "/files/".
inline constexpr Request req_map_file{"map file", Method::GET, "%s"};
// Session's client, "Bearer " and the access token; multipart/form-data body.
inline constexpr Request req_map_upload{"map upload", Method::POST, "/v1/maps"};

// Download client. %s: the release channel ("stable").
inline constexpr Request req_release_manifest{"release manifest", Method::GET, "/files/releases/%s.json"};
// The install job's fetcher (delivery/whole_file.h), for a file without a chunk index. %s: the
// file's SHA-256 as 64 lower-case hexadecimal characters.
inline constexpr Request req_release_blob{"release file", Method::GET, "/files/blobs/%s"};

inline constexpr Request all_requests[] = {
    req_login,    req_register,     req_refresh,    req_logout,           req_rename,      req_news,
    req_map_list, req_map_download, req_map_file,   req_map_upload,       req_release_manifest,
    req_release_blob};

}  // namespace backend
