// Sharing a map of the local store: the title, the multipart upload, and its answer.
#include "launcher/maps.h"

#include "backend/requests.h"
#include "platform/files.h"

namespace launcher {

std::string map_title(std::string_view stem) {
    std::string out;
    out.reserve(stem.size());
    bool after_word = false;   // the previous output was something other than a space
    for (char c : stem) {
        // Bytes of other scripts pass through untouched, so walking bytes walks runes here.
        if (c == '\r' || c == '\n') continue;
        if (c == '_' || c == '-') c = ' ';
        if (c >= 'a' && c <= 'z' && !after_word) c = char(c - 'a' + 'A');
        out += c;
        after_word = c != ' ';
    }
    return out;
}

void file(std::string& body, std::string_view boundary, std::string_view field, std::string_view file_name,
          std::string_view content_type, std::string_view bytes) {
    body.append("--").append(boundary).append("\r\n");
    body.append("Content-Disposition: form-data; name=\"").append(field);
    body.append("\"; filename=\"").append(file_name).append("\"\r\n");
    body.append("Content-Type: ").append(content_type).append("\r\n\r\n");
    body.append(bytes).append("\r\n");
}

// The thumbnail beside the map, when it exists and is small enough to send.
static bool read_thumbnail(const std::string& map_path, std::string& png) {
    if (map_path.size() < 4) return false;
    std::string path = map_path.substr(0, map_path.size() - 4) + ".png";
    // Checked before reading so that a huge file is never pulled into memory, and again after,
    // in case it grew meanwhile.
    platform::File_Status st;
    if (!platform::file_status(path, st) || !st.regular || st.size > thumb_limit) return false;
    return platform::read_file(path, png) && int64_t(png.size()) <= thumb_limit;
}

void upload_map(Maps_State& m, backend::Session& session, const std::string& path, std::string_view stem) {
    std::string map;
    if (!platform::read_file(path, map)) {
        maps_say(m, tr(msg_read_failed), false);
        return;
    }
    std::string title = map_title(stem);
    std::string png;
    bool with_thumb = read_thumbnail(path, png);

    std::string body;
    body.reserve(map.size() + png.size() + 512);
    body.append("--").append(map_boundary).append("\r\n");
    body.append("Content-Disposition: form-data; name=\"name\"\r\n\r\n");
    body.append(title).append("\r\n");
    file(body, map_boundary, "file", "map.tnw", "application/octet-stream", map);
    if (with_thumb) file(body, map_boundary, "thumb", "map.png", "image/png", png);
    body.append("--").append(map_boundary).append("--\r\n");

    m.sharing.assign(stem);
    std::string content_type = "multipart/form-data; boundary=" + std::string(map_boundary);

    m.share_id = 0;
    if (session.phase != backend::Session_Phase::Signed_In) return;
    backend::set_token(session.client, session.access_token);
    m.share_id = backend::request_typed(session.client, backend::req_map_upload.method, backend::req_map_upload.path,
                                        body, content_type);
}

void on_share_answer(Maps_State& m, backend::Client& api, const backend::Response& r) {
    if (r.status >= 200 && r.status <= 299) {
        // TRANSLATORS: %1$s is the map's name.
        maps_say(m, fmt(tr("%1$s is shared."), {m.sharing}), true);
        if (!m.mine) maps_refresh(m, api);
        return;
    }
    const char* message = msg_share_failed;
    backend::E e;
    if (r.status != 0 && backend::decode_e(r.body, e)) {
        if (e.error == "too_big") message = msg_too_big;
        else if (e.error == "bad_name") message = msg_bad_name;
        else if (e.error == "bad_file") message = msg_bad_file;
    }
    maps_say(m, tr(message), false);
}

}  // namespace launcher
