// gfx: the launcher's small, flat graphics layer over SDL2 (window, input, shapes, text).
//
// Depends on SDL2, stb_truetype, FreeType (hinting small text) and stb_image_write. Everything runs
// on the main thread.
// Text sizes follow raylib: size N draws a line N pixels tall from ascent to descent, glyph
// advances scale with N, and the letter spacing is added after every character but the last.
// Each (font, pixel size) is rasterised once into its own atlas, so large titles stay crisp.
// Headless: SDL_VIDEODRIVER=offscreen (or dummy) works, with the software renderer.
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gfx {

struct Color { uint8_t r = 0, g = 0, b = 0, a = 255; };
struct Rect { float x = 0, y = 0, w = 0, h = 0; };
struct Vec2 { float x = 0, y = 0; };

enum Key : int {
    Key_Enter, Key_Kp_Enter, Key_Backspace, Key_Delete, Key_Left, Key_Right, Key_Home, Key_End,
    Key_V, Key_Escape, Key_Tab, Key_A, Key_C, Key_X, Key_Space, Key_Count
};
enum Mouse_Button : int { Mouse_Left, Mouse_Right, Mouse_Middle, Mouse_Count };
enum Modifier : uint8_t { Mod_Ctrl = 1, Mod_Alt = 2, Mod_Shift = 4 };

// Input of one frame, taken when the frame begins.
struct Input {
    Vec2 mouse;
    bool pressed[Mouse_Count] = {};   // went down this frame
    bool down[Mouse_Count] = {};      // held now
    bool released[Mouse_Count] = {};  // went up this frame
    float wheel = 0;                  // notches this frame, positive = up
    std::string typed;                // UTF-8 text typed this frame (codepoints >= 32)
    bool key_pressed[Key_Count] = {}; // went down this frame
    bool key_repeat[Key_Count] = {};  // auto-repeated this frame
    bool key_down[Key_Count] = {};
    // The modifiers (Mod_*) held when the key last went down or repeated this frame: a modifier
    // released later in the same frame (key macros, remote desktops) still counts for the key.
    uint8_t key_mods[Key_Count] = {};
    bool ctrl = false, alt = false, shift = false;   // held at the end of the frame's events
};

// Window ---------------------------------------------------------------------------------------
// A fixed-size window (not resizable), vsync, paced at 60 frames per second, no icon of its own.
// width x height are logical pixels: everything the callers draw, measure and read (the mouse)
// is in them. The window is drawn at the display scale, width * scale x height * scale pixels,
// text rasterised at its scaled size; screenshots are at that scale.
bool open_window(int width, int height, const char* title);
// The display scale the next open_window uses; 0 (the default) takes it from the display (its
// DPI, or GDK_SCALE), and then follows the window to displays of another scale. Headless the
// display's scale is 1.
void set_display_scale(float scale);
float display_scale();   // window pixels per logical pixel
void close_window();
bool window_open();
bool close_requested();   // the window's close button; Escape never closes
double time();            // seconds since the window opened
void minimize_window();
void restore_window();    // out of the task bar and to the front
bool window_unseen();     // minimised, hidden, or fully covered where the window system tells
void set_hand_cursor(bool hand);   // the pointer shape: a hand over widgets, else the arrow

// Frame ----------------------------------------------------------------------------------------
// begin_frame gathers the events queued since the last frame into the input snapshot; the draw
// calls that follow are recorded. end_frame draws them (onto a cleared screen) and presents only
// when they would give other pixels than the frame on screen, or the window needs repainting;
// otherwise the screen keeps its frame. Then it paces to 60 fps, sleeping, never spinning;
// a still window (no input for half a second) sleeps until the earliest time a frame asked for
// with redraw_at, at most a tenth of a second, or until input arrives.
void begin_frame();
void end_frame();
const Input& input();
// The screen will change at time() == t without any input (an animation's next step, a caret's
// blink); t <= time() keeps the full frame rate (work in flight that frames move along).
void redraw_at(double t);
// Pacing on (the default) sleeps in end_frame to hold 60 fps; tests switch it off to run frames
// back to back.
void set_frame_pacing(bool on);
// Skipping on (the default) keeps the frame on screen when a frame would not change it; off,
// every frame is drawn.
void set_frame_skipping(bool on);
long frames_drawn();   // frames drawn since the window opened

// Clipboard and browser ------------------------------------------------------------------------
std::string clipboard_text();
void set_clipboard_text(std::string_view text);
bool open_url(std::string_view url);

// Shapes ---------------------------------------------------------------------------------------
void fill_rect(Rect r, Color c);
void draw_rect_lines(Rect r, float thickness, Color c);
void fill_gradient_v(Rect r, Color top, Color bottom);
// The colour this renderer leaves where `above` is drawn over the opaque colour `below`, so that
// a translucent layer over opaque shapes can be drawn as their colours instead.
Color blend_colors(Color below, Color above);
void begin_clip(Rect r);   // scissor, truncated to whole pixels
void end_clip();

// Pictures -------------------------------------------------------------------------------------
// An opaque window-sized layer painted once by `paint` (its draw calls go into a texture the
// first time, and again after the renderer lost its textures), then copied whole: for layers
// that never change. `id` is the caller's, 0 to 63. False when no texture could be made: then
// nothing was drawn and the caller draws the layer itself.
bool draw_picture(int id, const std::function<void()>& paint);

// Images ---------------------------------------------------------------------------------------
// A PNG from untrusted bytes, decoded only when it is at most `max_bytes` long and its header
// says at most max_side x max_side pixels; R, G, B, A bytes, rows top to bottom. False for
// anything else (not a PNG, damaged, too large).
bool decode_png(std::string_view bytes, size_t max_bytes, int max_side, std::vector<unsigned char>& rgba,
                int& width, int& height);
// Keeps an image of width x height R, G, B, A pixels; its id, or -1. Drawn scaled into `r`
// (linear filtering). Freed with free_image; an id is reused after that.
int add_image(std::vector<unsigned char> rgba, int width, int height);
void draw_image(int id, Rect r);
void free_image(int id);

// Text -----------------------------------------------------------------------------------------
// Fonts come from memory (the embedded TTF bytes, which must outlive the font).
int load_font(const unsigned char* ttf, size_t size);   // font id, or -1
// A font whose bytes are made when a glyph is first looked up in it (a large face unpacked
// only when its script is drawn). A source that gives no valid font leaves the font empty:
// its characters go on down the fallbacks.
int load_font_lazily(std::function<std::span<const unsigned char>()> source);
// Characters `font` lacks are drawn, one by one, from the first of `fallbacks` that has them,
// scaled to the same capital height and on the same baseline; a character none has is drawn
// as a box holding its hex code. A font without fallbacks draws its '?' for what it lacks.
void set_fallback_fonts(int font, std::vector<int> fallbacks);
void unload_fonts();
// Decodes one UTF-8 character at text[i], advancing i; malformed bytes read as U+FFFD one byte
// at a time, so any byte string draws and measures without reading past its end.
uint32_t next_codepoint(std::string_view text, size_t& i);
void draw_text(int font, std::string_view text, Vec2 pos, float size, float spacing, Color c);
Vec2 measure_text(int font, std::string_view text, float size, float spacing);

// Screenshots ----------------------------------------------------------------------------------
// Both read the frame on screen, the one most recently drawn by end_frame (kept, or drawn again
// off screen, so it stays readable after it was presented).
// The PNG is written whole under png_path + ".part" first and then renamed over png_path.
bool save_screenshot(const char* png_path);
// The pixels as R, G, B, A bytes, rows top to bottom.
bool read_frame(std::vector<unsigned char>& rgba, int& width, int& height);

// Testing --------------------------------------------------------------------------------------
// When recording is on, every text drawn in the current frame is kept (cleared at begin_frame).
struct Drawn_Text {
    std::string text;
    Vec2 pos;
    float size = 0;
    Color color;
    int font = 0;
};
void record_texts(bool on);
// time() returns `seconds` from now on; a negative value goes back to the real clock.
void set_test_time(double seconds);
const std::vector<Drawn_Text>& drawn_texts();

// Injected input for headless tests: queued like real SDL events, seen by the next begin_frame.
void inject_mouse_move(float x, float y);
void inject_mouse_button(Mouse_Button b, bool down);
void inject_wheel(float notches);
void inject_key(Key k, bool down, bool repeat = false);
void inject_text(std::string_view utf8);
void inject_modifiers(bool ctrl, bool alt, bool shift);
void inject_close();

}  // namespace gfx
