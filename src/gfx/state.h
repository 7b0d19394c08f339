// gfx internals shared by the layer's own files (window, shapes, text, screenshots); not for
// use outside src/gfx.
#pragma once
#include "gfx/gfx.h"
#include <SDL.h>

namespace gfx {

struct Window_State {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    // Every frame is drawn into this texture and then copied to the screen, so that the last
    // finished frame can still be read back after it was presented (screenshots).
    SDL_Texture* frame = nullptr;
    SDL_Cursor* arrow = nullptr;
    SDL_Cursor* hand = nullptr;
    int width = 0, height = 0;
    uint64_t opened_at = 0;       // performance counter when the window opened
    double next_frame = 0;        // time() at which the next frame may begin
    bool pacing = true;
    bool close = false;
    bool in_frame = false;
    bool skip_drawing = false;    // minimised: nothing is visible, so nothing is rendered
    Input in;
    SDL_Keymod injected_mod = KMOD_NONE;
    Vec2 injected_mouse;
    std::vector<SDL_Rect> clips;
    bool record = false;
    std::vector<Drawn_Text> texts;
};

Window_State& state();

// True when draw calls should reach the renderer this frame.
inline bool drawing() {
    Window_State& s = state();
    return s.renderer != nullptr && !s.skip_drawing;
}

inline void set_draw_color(Color c) {
    SDL_SetRenderDrawColor(state().renderer, c.r, c.g, c.b, c.a);
}

// Text atlases hold renderer textures and must go before the renderer does.
void release_font_textures();

}  // namespace gfx
