// headless: runs real frames of the window, input and drawing without a screen, for tests of
// widgets and screens.
//
// Uses SDL's offscreen video driver with the software renderer (set here unless the
// environment already chose), the launcher's 1100 x 680 window, the theme, text recording on
// and frame pacing off. Input goes in as real SDL events (gfx::inject_*), so it takes the same
// path as a player's. One window per test program; main thread only.
#pragma once
#include "gfx/gfx.h"

#include <functional>
#include <string_view>
#include <vector>

namespace headless {

using Draw = std::function<void()>;

// Opens the window and loads the theme the first time; later calls just say whether it is open.
bool open();

// One frame: gfx::begin_frame (taking every injected event), ui::begin_frame, draw,
// gfx::end_frame. The drawn texts and pixels stay readable until the next frame.
void frame(const Draw& draw);

// Closes the window and opens it again drawn at `scale` (0: the display's, which headless is 1).
bool reopen_at_scale(float scale);

// Runs frames (with a short pause after each, so that clients' answers can arrive) until
// `done` holds or `frames` frames have passed; whether `done` holds in the end.
bool frames_until(const std::function<bool()>& done, const Draw& draw, int frames = 2500, int pause_ms = 2);

// Texts drawn in the last frame: the first one equal to `text`, or null.
const gfx::Drawn_Text* find_text(std::string_view text);
// The first text drawn in the last frame that contains `part`, or null.
const gfx::Drawn_Text* find_text_containing(std::string_view part);

// Pointer moves to (x, y), then one frame.
void move(float x, float y, const Draw& draw);
// Move and press the left button in one frame, release in the next: two frames.
void click(float x, float y, const Draw& draw);
// The text arrives as typed characters in one frame.
void type(std::string_view utf8, const Draw& draw);
// The key goes down (auto-repeated when `repeat`) with the given modifiers held, in one frame.
// The key and the modifiers go up again in events that the next frame takes.
void key(gfx::Key k, const Draw& draw, bool ctrl = false, bool alt = false, bool shift = false,
         bool repeat = false);

// A pixel of the last finished frame (alpha always 255); black when it cannot be read.
gfx::Color pixel(int x, int y);

// The box of lit pixels (red above 40) in a region of the last finished frame, how many there
// are, and which, row by row (to compare two drawings).
struct Ink {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1, lit = 0;
    std::vector<unsigned char> rows;
    bool any() const { return x1 >= 0; }
};
Ink ink(int x, int y, int w, int h);

}  // namespace headless
