// The translucent content panel shared by the tabs, and the dialog drawn over them.
#pragma once
#include "gfx/gfx.h"

namespace launcher {

inline void draw_panel(gfx::Rect r) {
    gfx::fill_rect(r, {0x10, 0x13, 0x16, 228});
    gfx::draw_rect_lines(r, 1, {0xFF, 0xFF, 0xFF, 30});
}

// A question or chooser over the whole window: the screen behind is dimmed (and takes no input,
// see draw_screens), the panel carries the amber rule of the game panel.
inline void draw_dialog(gfx::Rect r) {
    gfx::fill_rect({0, 0, 1100, 680}, {0x08, 0x0A, 0x0E, 200});
    gfx::fill_rect(r, {0x10, 0x13, 0x16, 255});   // opaque: the screen behind must not show through
    gfx::draw_rect_lines(r, 1, {0xFF, 0xFF, 0xFF, 30});
    gfx::fill_rect({r.x, r.y, r.w, 2}, {0xFF, 0xB0, 0x20, 0xFF});
}

}  // namespace launcher
