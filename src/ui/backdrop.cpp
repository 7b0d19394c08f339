// The backdrop behind every screen: a night gradient, a scrolling block skyline in three
// layers, and a dark overlay that keeps text readable over it.
//
// The gradient under the overlay never changes: one picture, painted once at the window's scale. Blocks are opaque,
// so the overlay is not drawn over them: each block is drawn in the colour the renderer leaves
// where the overlay covers it, which gives the same pixels.
#include "ui/ui.h"

#include <algorithm>
#include <cmath>

namespace ui {

void draw_backdrop(double t) {
    const float width = 1100, height = 680;
    const gfx::Color overlay{0x08, 0x0A, 0x0E, 60};
    auto gradient = [&] {
        gfx::fill_gradient_v({0, 0, width, height}, {0x1C, 0x28, 0x40, 255}, {0x0C, 0x0E, 0x14, 255});
    };
    bool painted = gfx::draw_picture(0, [&] {
        gradient();
        gfx::fill_rect({0, 0, width, height}, overlay);
    });
    if (!painted) gradient();
    // The layers scroll 3, 6 and 9 logical pixels a second, farther layers slower, in steps of
    // whole window pixels (about one logical pixel: as often at scale 2 as at scale 1) taken
    // together on one clock, the front layer's. Each step moves whole blocks, which the frame
    // list redraws as the thin strips their edges cross, and the back layers step with the
    // front one instead of on frames of their own.
    const double scale = gfx::display_scale() > 0 ? gfx::display_scale() : 1;
    const double pixels = std::max(1.0, std::round(scale));            // window pixels a step
    const double step = std::floor(std::max(t, 0.0) * 9 * scale / pixels);   // front steps so far
    gfx::redraw_at((step + 1) * pixels / (9 * scale));
    for (int i = 0; i < 3; ++i) {
        double s = std::floor(step * (i + 1) / 3) * pixels / scale;   // this layer's scroll
        double base = 540 + 40 * i;
        double shift = std::fmod(s, 20.0);
        if (shift < 0) shift += 20;
        double first = std::floor(s / 20);
        gfx::Color top{uint8_t(40 + 18 * i), uint8_t(70 + 12 * i), uint8_t(38 + 18 * i), 255};
        gfx::Color body{uint8_t(30 + 18 * i), uint8_t(38 + 18 * i), uint8_t(34 + 18 * i), 255};
        if (painted) {
            top = gfx::blend_colors(top, overlay);
            body = gfx::blend_colors(body, overlay);
        }
        // Blocks of one layer never overlap: the tops first and then the bodies give the same
        // pixels as column by column, in two runs of one colour. Column u is drawn in slot
        // u % 57 with as many bodies as the tallest column has (those past the bottom edge show
        // nothing), so that from one step to the next each slot's blocks only move, also when a
        // column scrolls out and a new one comes in: the frame's draw calls keep their shape.
        const int slots = 57, bodies = int((820 - base) / 20);   // the tallest column: n = 8
        const long long first_column = (long long)first;
        double tops[slots], xs[slots];
        for (int slot = 0; slot < slots; ++slot) {
            long long u = first_column + ((slot - first_column) % slots + slots) % slots;
            double c = double(u - first_column);
            double n = std::round(3 + 2 * std::sin(0.37 * double(u) + 2 * i) + 3 * std::sin(0.11 * double(u) + i));
            tops[slot] = base - 20 * n;
            xs[slot] = 20 * c - shift;
            gfx::fill_rect({float(xs[slot]), float(tops[slot]), 19, 19}, top);
        }
        for (int slot = 0; slot < slots; ++slot)
            for (int b = 1; b <= bodies; ++b)
                gfx::fill_rect({float(xs[slot]), float(tops[slot] + 20 * b), 19, 19}, body);
    }
    if (!painted) gfx::fill_rect({0, 0, width, height}, overlay);
}

}  // namespace ui
