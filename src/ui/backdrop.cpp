// The backdrop behind every screen: a night gradient, a scrolling block skyline in three
// layers, and a dark overlay that keeps text readable over it.
//
// The gradient under the overlay never changes: one picture, painted once at the window's scale. Blocks are opaque,
// so the overlay is not drawn over them: each block is drawn in the colour the renderer leaves
// where the overlay covers it, which gives the same pixels. A screen's panels go the same way:
// their fill is in the picture (one picture per set of panels), and the blocks are drawn again
// inside each panel, clipped to it, in the colour the fill leaves over them.
#include "ui/ui.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ui {

namespace {

bool same_rect(const gfx::Rect& a, const gfx::Rect& b) { return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h; }

// The sets of panels painted into pictures so far: a set's picture id is its place here + 1
// (0 is the backdrop without panels).
std::vector<std::vector<gfx::Rect>> panel_sets;
// The panels this frame's backdrop holds.
std::vector<gfx::Rect> held;

int picture_for(std::span<const gfx::Rect> panels) {
    if (panels.empty()) return 0;
    for (size_t i = 0; i < panel_sets.size(); ++i)
        if (std::equal(panels.begin(), panels.end(), panel_sets[i].begin(), panel_sets[i].end(), same_rect))
            return int(i) + 1;
    if (panel_sets.size() >= 63) return -1;   // pictures are few: more sets draw their panels themselves
    panel_sets.emplace_back(panels.begin(), panels.end());
    return int(panel_sets.size());
}

}  // namespace

bool panel_in_backdrop(gfx::Rect r) {
    return std::any_of(held.begin(), held.end(), [&](const gfx::Rect& p) { return same_rect(p, r); });
}

void draw_backdrop(double t, std::span<const gfx::Rect> panels) {
    const float width = 1100, height = 680;
    const gfx::Color overlay{0x08, 0x0A, 0x0E, 60};
    auto gradient = [&] {
        gfx::fill_gradient_v({0, 0, width, height}, {0x1C, 0x28, 0x40, 255}, {0x0C, 0x0E, 0x14, 255});
    };
    held.clear();
    int id = picture_for(panels);
    if (id < 0) {
        id = 0;
        panels = {};
    }
    bool painted = gfx::draw_picture(id, [&] {
        gradient();
        gfx::fill_rect({0, 0, width, height}, overlay);
        for (const gfx::Rect& p : panels) gfx::fill_rect(p, panel_fill);
    });
    if (!painted) {
        gradient();
        panels = {};
    }
    held.assign(panels.begin(), panels.end());
    // The layers scroll 3, 6 and 9 logical pixels a second, farther layers slower, in steps of
    // whole window pixels (about one logical pixel: as often at scale 2 as at scale 1) taken
    // together on one clock, the front layer's. Each step moves whole blocks, which the frame
    // list redraws as the thin strips their edges cross, and the back layers step with the
    // front one instead of on frames of their own.
    const double scale = gfx::display_scale() > 0 ? gfx::display_scale() : 1;
    const double pixels = std::max(1.0, std::round(scale));            // window pixels a step
    const double step = std::floor(std::max(t, 0.0) * 9 * scale / pixels);   // front steps so far
    gfx::redraw_at((step + 1) * pixels / (9 * scale));
    struct Colors { gfx::Color top, body; } layers[3];
    // Every block, in the colours given: the same calls for the whole window and for each panel.
    std::vector<gfx::Rect> tops_of[3], bodies_of[3];
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
        layers[i] = {top, body};
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
            tops_of[i].push_back({float(xs[slot]), float(tops[slot]), 19, 19});
        }
        for (int slot = 0; slot < slots; ++slot)
            for (int b = 1; b <= bodies; ++b)
                bodies_of[i].push_back({float(xs[slot]), float(tops[slot] + 20 * b), 19, 19});
    }
    auto blocks = [&](gfx::Color under) {
        for (int i = 0; i < 3; ++i) {
            gfx::Color top = layers[i].top, body = layers[i].body;
            if (under.a != 0) {
                top = gfx::blend_colors(top, under);
                body = gfx::blend_colors(body, under);
            }
            for (const gfx::Rect& r : tops_of[i]) gfx::fill_rect(r, top);
            for (const gfx::Rect& r : bodies_of[i]) gfx::fill_rect(r, body);
        }
    };
    blocks({0, 0, 0, 0});
    // Every block again within each panel (the clip keeps the rest away), so that the frame's
    // calls keep their shape from step to step.
    for (const gfx::Rect& p : panels) {
        gfx::begin_clip(p);
        blocks(panel_fill);
        gfx::end_clip();
    }
    if (!painted) gfx::fill_rect({0, 0, width, height}, overlay);
}

}  // namespace ui
