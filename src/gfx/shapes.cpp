// Filled and outlined rectangles, vertical gradients and scissor clipping, all alpha-blended.
// They are recorded into the frame's list, drawn at end_frame (frame_list.cpp).
#include "gfx/state.h"

#include <algorithm>
#include <cmath>

namespace gfx {

void fill_rect(Rect r, Color c) {
    // A transparent fill is recorded too (it draws nothing): a blinking caret or a fading hover
    // then keeps the frame's shape, so only its own rectangle is drawn again.
    if (!drawing() || r.w <= 0 || r.h <= 0) return;
    record_fill(r, c);
}

void draw_rect_lines(Rect r, float thickness, Color c) {
    if (thickness <= 0) return;
    // The outline lies inside the rectangle; a thickness past half the size fills it.
    float t = std::min(thickness, std::min(r.w, r.h) / 2);
    fill_rect({r.x, r.y, r.w, t}, c);
    fill_rect({r.x, r.y + r.h - t, r.w, t}, c);
    fill_rect({r.x, r.y + t, t, r.h - 2 * t}, c);
    fill_rect({r.x + r.w - t, r.y + t, t, r.h - 2 * t}, c);
}

void fill_gradient_v(Rect r, Color top, Color bottom) {
    if (!drawing() || r.w <= 0 || r.h <= 0) return;
    // One solid row per pixel row, coloured at the row's middle: exact, and far cheaper than
    // interpolating triangles on the software renderer (a full-window gradient is drawn every
    // frame behind everything).
    auto mix = [](uint8_t a, uint8_t b, float f) { return uint8_t(std::lround(a + (b - a) * f)); };
    for (float y = 0; y < r.h; y += 1) {
        float f = (y + std::min(0.5f, (r.h - y) / 2)) / r.h;
        Color c{mix(top.r, bottom.r, f), mix(top.g, bottom.g, f), mix(top.b, bottom.b, f),
                mix(top.a, bottom.a, f)};
        fill_rect({r.x, r.y + y, r.w, std::min(1.0f, r.h - y)}, c);
    }
}

static void apply_clip(Window_State& s) {
    if (!drawing()) return;
    record_clip(s.clips.empty() ? nullptr : &s.clips.back());
}

void begin_clip(Rect r) {
    Window_State& s = state();
    // Whole pixels by truncation, as the screens' layout expects.
    SDL_Rect c{int(r.x), int(r.y), std::max(int(r.w), 0), std::max(int(r.h), 0)};
    if (!s.clips.empty()) {
        SDL_Rect inner;
        if (!SDL_IntersectRect(&c, &s.clips.back(), &inner)) inner = {c.x, c.y, 0, 0};
        c = inner;
    }
    // SDL treats an empty clip rectangle as "no clipping": keep it empty by moving it off screen.
    if (c.w <= 0 || c.h <= 0) c = {-2, -2, 1, 1};
    s.clips.push_back(c);
    apply_clip(s);
}

void end_clip() {
    Window_State& s = state();
    if (!s.clips.empty()) s.clips.pop_back();
    apply_clip(s);
}

}  // namespace gfx
