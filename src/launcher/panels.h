// The translucent content panel shared by the tabs, and the dialog drawn over them.
#pragma once
#include "gfx/gfx.h"
#include "ui/ui.h"

namespace launcher {

// The content panels of each screen, in the order it draws them: the backdrop paints their fill
// once (ui::draw_backdrop), and draw_panel then adds only the outline.
inline constexpr gfx::Rect play_panels[] = {{28, 90, 644, 562}, {692, 90, 380, 562}};
inline constexpr gfx::Rect account_panels[] = {{28, 90, 524, 562}, {572, 90, 500, 562}};
inline constexpr gfx::Rect browse_panels[] = {{28, 188, 1044, 464}};
inline constexpr gfx::Rect my_maps_panels[] = {{28, 168, 1044, 484}};

inline void draw_panel(gfx::Rect r) {
    if (!ui::panel_in_backdrop(r)) gfx::fill_rect(r, ui::panel_fill);
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
