// The install panel's download limit: a row of steps (off, 1 to 50 MB/s), the one in force
// filled. A click applies the step at once, to the download running too, and keeps it in the
// player's settings.
#include "launcher/launcher.h"
#include "launcher/settings.h"

#include "delivery/rate_limit.h"

#include <string>

namespace launcher {

void apply_download_limit(Launcher& state, int megabytes_per_second, bool keep) {
    state.download_limit = megabytes_per_second;
    delivery::set_download_limit(download_limit_bytes(megabytes_per_second));
    if (!keep) return;
    Settings s = settings_load();
    s.download_limit = megabytes_per_second;
    settings_save(s);
}

// A framed group, its contents 12 px in: a setting of its own, apart from the folder lines.
float draw_download_limit(Launcher& state, float y) {
    constexpr float left = 592, inner = left + 12, height = 108;
    gfx::draw_rect_lines({left, y, 456, height}, 1, ui::field_border);
    ui::caption(tr("DOWNLOAD LIMIT (MB/S)"), inner, y + 12);
    float x = inner;
    for (int step : download_limit_steps) {
        // TRANSLATORS: the download limit's first step: no limit. The button is 56 pixels wide, and
        // grows (moving the others) for a longer word.
        std::string label = step == 0 ? std::string(tr("Off")) : std::to_string(step);
        gfx::Rect r{x, y + 30, ui::button_width(label, 34, 56), 34};
        if (step == state.download_limit) ui::button(r, label);
        else if (ui::nav_button(r, label)) apply_download_limit(state, step, true);
        x += r.w + 4;
    }
    std::string line = state.download_limit == 0
                           ? std::string(tr("Downloads of the game take all the speed they get."))
                           // TRANSLATORS: %1$s is the limit in megabytes a second.
                           : fmt(tr("Downloads of the game stay under %1$s MB/s together."),
                                 {std::to_string(state.download_limit)});
    ui::draw_text(line, inner, y + 76, 15, ui::grey, ui::Face_Body);
    return height;
}

}  // namespace launcher
