// Filled and outlined rectangles, vertical gradients and scissor clipping, all alpha-blended.
#include "gfx/state.h"

#include <algorithm>

namespace gfx {

void fill_rect(Rect r, Color c) {
    if (!drawing() || r.w <= 0 || r.h <= 0 || c.a == 0) return;
    set_draw_color(c);
    SDL_FRect f{r.x, r.y, r.w, r.h};
    SDL_RenderFillRectF(state().renderer, &f);
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
    auto v = [](float x, float y, Color c) {
        return SDL_Vertex{{x, y}, {c.r, c.g, c.b, c.a}, {0, 0}};
    };
    const SDL_Vertex vs[4] = {v(r.x, r.y, top), v(r.x + r.w, r.y, top),
                              v(r.x + r.w, r.y + r.h, bottom), v(r.x, r.y + r.h, bottom)};
    const int idx[6] = {0, 1, 2, 0, 2, 3};
    SDL_RenderGeometry(state().renderer, nullptr, vs, 4, idx, 6);
}

static void apply_clip(Window_State& s) {
    if (!s.renderer) return;
    if (s.clips.empty()) SDL_RenderSetClipRect(s.renderer, nullptr);
    else SDL_RenderSetClipRect(s.renderer, &s.clips.back());
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
