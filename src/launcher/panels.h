// The translucent content panel shared by the tabs.
#pragma once
#include "gfx/gfx.h"

namespace launcher {

inline void draw_panel(gfx::Rect r) {
    gfx::fill_rect(r, {0x10, 0x13, 0x16, 228});
    gfx::draw_rect_lines(r, 1, {0xFF, 0xFF, 0xFF, 30});
}

}  // namespace launcher
