// The display scale: the window and everything in it are drawn at `scale` window pixels per
// logical pixel, while the screens lay out, measure and take the mouse in logical pixels. The
// scale comes from the -scale: option, else from the desktop's setting (GDK_SCALE) or the
// display's DPI, and is followed when the window moves to a display of another scale.
//
// Index:
//   Choosing   scale_for_display (DPI and GDK_SCALE to a scale), display_scale_of (a display)
//   Mapping    to_pixels (logical rectangles to window pixels), to_logical (mouse)
//   Changing   set_display_scale, display_scale, rescale_window
#include "gfx/state.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace gfx {

// Choosing --------------------------------------------------------------------------------------

float scale_for_display(float dpi, const char* gdk_scale) {
    // The desktop's own setting wins: it is what the player chose for every program.
    if (gdk_scale && *gdk_scale) {
        char* end = nullptr;
        long n = std::strtol(gdk_scale, &end, 10);
        if (*end == '\0' && n >= 1 && n <= 4) return float(n);
    }
    // 96 dpi is scale 1; other DPIs in quarter steps, never below 1 (a low-DPI display keeps
    // the layout's size) nor past 4.
    if (!(dpi > 0)) return 1;
    return std::clamp(std::round(dpi / 96.0f * 4) / 4, 1.0f, 4.0f);
}

// The scale for the given display: 1 headless, and on Wayland, whose compositor scales the
// window itself; otherwise as above, stepped down until the window fits the display's usable
// area.
static float display_scale_of(int display, int width, int height) {
    std::string_view video = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
    if (video == "offscreen" || video == "dummy" || video == "wayland") return 1;
    float dpi = 0;
    if (SDL_GetDisplayDPI(display, nullptr, &dpi, nullptr) != 0) dpi = 0;
    float scale = scale_for_display(dpi, std::getenv("GDK_SCALE"));
    SDL_Rect usable;
    if (SDL_GetDisplayUsableBounds(display, &usable) == 0 && usable.w > 0 && usable.h > 0)
        while (scale > 1 && (float(width) * scale > float(usable.w) || float(height) * scale > float(usable.h)))
            scale = std::max(1.0f, scale - 0.25f);
    return scale;
}

// Mapping ---------------------------------------------------------------------------------------

SDL_Rect to_pixels(const SDL_Rect& r, float scale, bool outward) {
    if (scale == 1) return r;
    auto edge = [scale, outward](int v, bool far) {
        float p = float(v) * scale;
        return int(outward ? (far ? std::ceil(p) : std::floor(p)) : std::round(p));
    };
    int x0 = edge(r.x, false), y0 = edge(r.y, false);
    return {x0, y0, edge(r.x + r.w, true) - x0, edge(r.y + r.h, true) - y0};
}

Vec2 to_logical(int x, int y, float scale) {
    return {float(x) / scale, float(y) / scale};
}

// Changing --------------------------------------------------------------------------------------

void set_display_scale(float scale) {
    state().requested_scale = scale > 0 && std::isfinite(scale) ? scale : 0;
}

float display_scale() { return state().scale; }

float chosen_scale(int display, int width, int height) {
    float requested = state().requested_scale;
    return requested > 0 ? requested : display_scale_of(display, width, height);
}

bool make_frame_texture(Window_State& s) {
    if (s.frame) SDL_DestroyTexture(s.frame);
    s.pixel_width = int(std::lround(float(s.width) * s.scale));
    s.pixel_height = int(std::lround(float(s.height) * s.scale));
    s.frame = nullptr;
    if (s.software) return true;   // draws into the window's surface
    s.frame = SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET,
                                s.pixel_width, s.pixel_height);
    return s.frame != nullptr;
}

void rescale_window(int display) {
    Window_State& s = state();
    if (!s.window || s.requested_scale > 0) return;
    float scale = display_scale_of(display, s.width, s.height);
    if (scale == s.scale) return;
    s.scale = scale;
    make_frame_texture(s);
    SDL_SetWindowSize(s.window, s.pixel_width, s.pixel_height);
    // Pictures and glyph atlases were made for the old pixel size; they are made again on use.
    release_pictures();
    release_font_textures();
    s.redraw = true;
}

}  // namespace gfx
