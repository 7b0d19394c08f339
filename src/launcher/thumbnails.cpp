#include "launcher/thumbnails.h"

#include "launcher/maps.h"

#include "paths/paths.h"
#include "platform/files.h"
#include "ui/ui.h"

#include <algorithm>

namespace launcher {

static bool digest_ok(std::string_view sha) {
    return sha.size() == 64 && std::all_of(sha.begin(), sha.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

static std::string thumbnail_folder() { return platform::join_path(paths::user_dir("maps"), "thumbnails"); }

std::string thumbnail_path(const std::string& sha256) { return platform::join_path(thumbnail_folder(), sha256 + ".png"); }

// Decodes `bytes` into an image; false when they are no thumbnail we draw.
static bool take(Thumbnail& th, std::string_view bytes) {
    std::vector<unsigned char> rgba;
    int w = 0, h = 0;
    if (!gfx::decode_png(bytes, size_t(thumb_limit), thumbnail_max_side, rgba, w, h)) return false;
    th.image = gfx::add_image(std::move(rgba), w, h);
    if (th.image < 0) return false;
    th.width = w;
    th.height = h;
    th.stage = Thumbnail::Stage::Ready;
    return true;
}

const Thumbnail& thumbnail_for(Thumbnails& t, backend::Client& files, const Map_Entry& e) {
    static const Thumbnail none{Thumbnail::Stage::Missing};
    if (!digest_ok(e.file_sha256)) return none;
    Thumbnail& th = t.by_digest[e.file_sha256];
    if (th.stage != Thumbnail::Stage::Unknown) return th;
    const std::string path = thumbnail_path(e.file_sha256);
    platform::File_Status st;
    std::string bytes;
    if (platform::file_status(path, st) && st.regular) {
        // Bounded before it is read; a damaged copy goes, and is fetched again.
        if (st.size <= thumb_limit && platform::read_file(path, bytes) && take(th, bytes)) return th;
        platform::delete_file(path);
    }
    // Only a file of the backend's own static tree is asked for.
    bool named = e.thumbnail.starts_with("/files/") && e.thumbnail.find("..") == std::string::npos &&
                 e.thumbnail.find_first_of("?#\\") == std::string::npos;
    if (!named) {
        th.stage = Thumbnail::Stage::Missing;
        return th;
    }
    if (t.request != 0) return th;   // its turn comes in a later frame
    t.request = backend::request_typed(files, backend::Method::GET, e.thumbnail);
    t.requested = e.file_sha256;
    th.stage = Thumbnail::Stage::Fetching;
    return th;
}

bool thumbnail_on_response(Thumbnails& t, const backend::Response& r) {
    if (t.request == 0 || r.id != t.request) return false;
    t.request = 0;
    Thumbnail& th = t.by_digest[t.requested];
    th.stage = Thumbnail::Stage::Missing;
    bool ok = r.status >= 200 && r.status <= 299 && take(th, r.body);
    // Kept only once it decoded: a damaged answer is not saved to be read again.
    if (ok) {
        platform::make_dirs(thumbnail_folder());
        platform::write_file_atomic(thumbnail_path(t.requested), r.body);
    }
    return true;
}

void draw_thumbnail(const Thumbnail& th, float x, float y, float slot) {
    if (th.stage != Thumbnail::Stage::Ready) {
        // The placeholder: an empty frame with a small mountain, the map's shape unknown.
        gfx::fill_rect({x, y, slot, slot}, {0x1C, 0x20, 0x28, 255});
        gfx::draw_rect_lines({x, y, slot, slot}, 1, ui::field_border);
        gfx::fill_rect({x + slot * 0.25f, y + slot * 0.55f, slot * 0.5f, slot * 0.2f}, {0x46, 0x4C, 0x58, 255});
        gfx::fill_rect({x + slot * 0.4f, y + slot * 0.35f, slot * 0.2f, slot * 0.2f}, {0x46, 0x4C, 0x58, 255});
        return;
    }
    float w = float(th.width), h = float(th.height);
    float k = std::min(1.0f, slot / std::max(w, h));   // never scaled up: drawn at its size
    w *= k;
    h *= k;
    gfx::draw_image(th.image, {x + (slot - w) / 2, y + (slot - h) / 2, w, h});
}

void thumbnails_clear(Thumbnails& t) {
    for (auto& [digest, th] : t.by_digest)
        if (th.image >= 0) gfx::free_image(th.image);
    t = Thumbnails{};
}

}  // namespace launcher
