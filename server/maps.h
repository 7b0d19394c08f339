// The map catalogue: listing with sort and search, download descriptors (which count the
// download), and sharing a map as a multipart upload.
//
// Depends on the database, accounts.h (bearer checks) and files.h. Map files are stored by
// content, files/maps/<sha256>.tnw, with the thumbnail as files/maps/<sha256>.png. One author
// has one map per name (compared without regard to ASCII case): sharing it again replaces the
// file and raises the version, keeping id, downloads and likes. Maps of banned authors are not
// listed. Search folds ASCII case only.
#pragma once
#include <cstdint>
#include <string>

#include "server/server.h"

namespace server {

struct Map_Row {
    int64_t id = 0;
    std::string name;
    std::string description;
    std::string author;
    std::string file_sha256;
    int64_t size_bytes = 0;
    int64_t downloads = 0;
    int64_t likes = 0;
    int64_t version = 0;
    bool has_thumb = false;
};

// One catalogue entry as the launcher decodes it, plus "thumbnail" when there is one.
std::string map_json(const Map_Row& map);

Reply maps_list(Server& server, const Request& request);
// The list page from memory when it is there and fresh (list_cache.h); false otherwise.
bool maps_list_cached(Server& server, const Request& request, Reply& reply);
Reply maps_download(Server& server, int64_t id);
Reply maps_upload(Server& server, const Request& request);

struct Map_Input {
    int64_t author_id = 0;
    std::string name;
    std::string description;
    std::string file;   // checked by the caller: starts with "TNWM", within the size limit
    std::string thumb;  // PNG bytes, or empty
    int64_t at = 0;     // publication time
    int64_t downloads = 0;  // starting counts of a new map (seeding)
    int64_t likes = 0;
};

// Stores the files and adds the map, or a new version of the author's map of that name.
// Returns an error text, empty on success.
std::string map_publish(Server& server, const Map_Input& input, Map_Row& out);

}  // namespace server
