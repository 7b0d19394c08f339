#include "support/headless.h"

#include "ui/ui.h"

#include <SDL.h>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace headless {

// Sets `name` unless the environment already chose a value. Windows has no setenv.
static void default_env(const char* name, const char* value) {
#ifdef _WIN32
    if (!getenv(name)) _putenv_s(name, value);
#else
    setenv(name, value, 0);
#endif
}

bool open() {
    if (gfx::window_open()) return true;
    default_env("SDL_VIDEODRIVER", "offscreen");
    default_env("SDL_RENDER_DRIVER", "software");
    // SDL's signal handlers would turn a test runner's interrupt into a quit event.
    default_env("SDL_NO_SIGNAL_HANDLERS", "1");
    if (!gfx::open_window(1100, 680, "Tarnwick")) return false;
    gfx::set_frame_pacing(false);
    gfx::record_texts(true);
    ui::load_theme();
    return true;
}

bool reopen_at_scale(float scale) {
    gfx::close_window();
    gfx::set_display_scale(scale);
    return open();
}

void frame(const Draw& draw) {
    open();
    gfx::begin_frame();
    ui::begin_frame();
    if (draw) draw();
    gfx::end_frame();
}

bool frames_until(const std::function<bool()>& done, const Draw& draw, int frames, int pause_ms) {
    for (int i = 0; i < frames; i++) {
        if (done()) return true;
        frame(draw);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    return done();
}

const gfx::Drawn_Text* find_text(std::string_view text) {
    for (const gfx::Drawn_Text& t : gfx::drawn_texts())
        if (t.text == text) return &t;
    return nullptr;
}

const gfx::Drawn_Text* find_text_containing(std::string_view part) {
    for (const gfx::Drawn_Text& t : gfx::drawn_texts())
        if (t.text.find(part) != std::string::npos) return &t;
    return nullptr;
}

void move(float x, float y, const Draw& draw) {
    gfx::inject_mouse_move(x, y);
    frame(draw);
}

void click(float x, float y, const Draw& draw) {
    gfx::inject_mouse_move(x, y);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    frame(draw);
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    frame(draw);
}

void type(std::string_view utf8, const Draw& draw) {
    gfx::inject_text(utf8);
    frame(draw);
}

void key(gfx::Key k, const Draw& draw, bool ctrl, bool alt, bool shift, bool repeat) {
    gfx::inject_modifiers(ctrl, alt, shift);
    gfx::inject_key(k, true, repeat);
    frame(draw);
    gfx::inject_key(k, false);
    gfx::inject_modifiers(false, false, false);
}

gfx::Color pixel(int x, int y) {
    std::vector<unsigned char> rgba;
    int w = 0, h = 0;
    if (!gfx::read_frame(rgba, w, h) || x < 0 || y < 0 || x >= w || y >= h) return {0, 0, 0, 255};
    const unsigned char* p = &rgba[(size_t(y) * size_t(w) + size_t(x)) * 4];
    return {p[0], p[1], p[2], 255};
}

Ink ink(int x, int y, int w, int h) {
    std::vector<unsigned char> rgba;
    int fw = 0, fh = 0;
    Ink out;
    if (!gfx::read_frame(rgba, fw, fh)) return out;
    for (int j = y; j < y + h && j < fh; ++j)
        for (int i = x; i < x + w && i < fw; ++i) {
            bool on = rgba[(size_t(j) * size_t(fw) + size_t(i)) * 4] > 40;
            out.rows.push_back(on);
            if (!on) continue;
            ++out.lit;
            out.x0 = std::min(out.x0, i);
            out.y0 = std::min(out.y0, j);
            out.x1 = std::max(out.x1, i);
            out.y1 = std::max(out.y1, j);
        }
    return out;
}

}  // namespace headless
