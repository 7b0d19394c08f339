// gfx internals shared by the layer's own files (window, shapes, text, frame list, screenshots);
// not for use outside src/gfx.
#pragma once
#include "gfx/gfx.h"
#include <SDL.h>

#include <map>
#include <utility>
#include <vector>

namespace gfx {

// One recorded draw call. A frame's calls are recorded first and drawn at end_frame, and only
// when they differ from the calls of the frame on screen.
struct Command {
    enum Kind : uint8_t { Fill, Clip, Text, Picture, Image } kind = Fill;
    Color color;
    Rect rect;            // Fill, Image: the rectangle; Text: x, y = position, w = size, h = spacing
    SDL_Rect pixels{};    // Fill, Image: what decides the pixels it covers; Clip: the clip (w < 0: none)
    int id = 0;           // Text: the font; Picture: the picture; Image: the image
    uint32_t text = 0, length = 0;   // Text: its bytes in the list's text store
};

struct Frame_List {
    std::vector<Command> commands;
    std::string text;
    bool certain = true;   // false when a rectangle's pixels could not be told for sure
    void clear() {
        commands.clear();
        text.clear();
        certain = true;
    }
};

// An image given by its pixels; its texture is made when it is first drawn (and again after the
// renderer lost its textures).
struct Image_Slot {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    SDL_Texture* texture = nullptr;
    bool used = false;
};

struct Window_State {
    SDL_Window* window = nullptr;
    std::vector<SDL_Event> deferred;   // input after a Tab, for the next frame (begin_frame)
    SDL_Renderer* renderer = nullptr;
    // The frame on screen, readable after it was presented (screenshots): the software renderer
    // (and any headless one) draws every frame into it and copies it to the screen; the others
    // draw straight to the screen and draw the frame into it again when it is read while stale.
    SDL_Texture* frame = nullptr;
    bool frame_stale = false;
    SDL_Cursor* arrow = nullptr;
    SDL_Cursor* hand = nullptr;
    int width = 0, height = 0;               // logical pixels: what the screens lay out
    float scale = 1;                         // window pixels per logical pixel
    float requested_scale = 0;               // -scale: option; 0 follows the display
    int pixel_width = 0, pixel_height = 0;   // the window and frame in pixels
    uint64_t opened_at = 0;       // performance counter when the window opened
    double fixed_time = -1;       // tests: time() returns this when >= 0
    double next_frame = 0;        // time() at which the next frame may begin
    double wake_at = 0;           // the earliest redraw_at of this frame (infinity: none)
    double active_until = 0;      // time() until which input keeps the full frame rate
    bool waits_for_events = false;   // the video driver can sleep until an event arrives
    bool pacing = true;
    bool close = false;
    bool in_frame = false;
    bool skip_drawing = false;    // minimised, hidden or covered: nothing is visible, so nothing is rendered
    bool covered = false;         // fully covered by other windows (covered.cpp)
    // Frame skipping: `list` records this frame, `shown` is what the frame texture holds.
    bool skipping = true;
    bool software = false;        // SDL's software renderer (pixel snapping by truncation), drawing
                                  // into the window's surface
    bool off_screen = true;       // frames drawn into `frame` and copied, not straight to the window
    std::vector<SDL_Rect> areas;  // software: the window pixels the frame being drawn may change
    bool redraw = true;           // the screen needs a frame whatever the lists say
    Frame_List list, shown;
    Frame_List* recording = &list;
    long frames_drawn = 0;
    std::vector<SDL_Texture*> pictures;
    std::vector<Image_Slot> images;
    std::map<std::pair<uint32_t, uint32_t>, Color> blends;
    Input in;
    SDL_Keymod injected_mod = KMOD_NONE;
    Vec2 injected_mouse;
    std::vector<SDL_Rect> clips;
    bool record = false;
    std::vector<Drawn_Text> texts;
};

Window_State& state();

// True when draw calls should be recorded this frame.
inline bool drawing() {
    Window_State& s = state();
    return s.renderer != nullptr && !s.skip_drawing;
}

// Frame list (frame_list.cpp): recording, and drawing a list to the current render target.
void record_fill(Rect r, Color c);
void record_clip(const SDL_Rect* clip);
void record_text(int font, std::string_view text, Vec2 pos, float size, float spacing, Color c);
bool same_frame(const Frame_List& a, const Frame_List& b);
// Rectangles outside which `a` and `b` give the same pixels (possibly overlapping); false when
// that cannot be told or nothing would be saved. Software renderer only.
bool changed_areas(const Frame_List& a, const Frame_List& b, std::vector<SDL_Rect>& areas);
// Draws the list on a black frame, only within `area` when given.
void draw_list(const Frame_List& list, const SDL_Rect* area = nullptr);
// Draws the list within each of the areas only, each on black.
void draw_areas(const Frame_List& list, const std::vector<SDL_Rect>& areas);
void release_pictures();
// images.cpp: the image's texture, made on first use (null when it cannot be), and dropping them all.
SDL_Texture* image_texture(int id);
void release_image_textures();
void forget_blends();

// Text rendering (text.cpp), called when a list is drawn: in window pixels (position, size and
// spacing already scaled), rasterised at that size.
void render_text(int font, std::string_view text, Vec2 pos, float size, float spacing, Color c);
// A rectangle of window pixels holding every pixel a recorded text (rect: x, y, size, spacing,
// logical) may touch.
SDL_Rect text_bounds(int font, std::string_view text, Rect rect);

// Display scale (scale.cpp). Commands are recorded in logical pixels; what decides their pixels
// (fills, clips, text bounds) and what draws them is in window pixels.
float scale_for_display(float dpi, const char* gdk_scale);
float chosen_scale(int display, int width, int height);
// A logical rectangle in window pixels: edges rounded, or floor/ceil outward (bounds).
SDL_Rect to_pixels(const SDL_Rect& r, float scale, bool outward);
Vec2 to_logical(int x, int y, float scale);
// (Re)makes the frame texture at the window's pixel size for the current scale.
bool make_frame_texture(Window_State& s);
// The window moved to `display`: follows its scale (unless -scale: fixed one).
void rescale_window(int display);

// Text atlases hold renderer textures and must go before the renderer does.
void release_font_textures();

// covered.cpp: asks the window system to say when the window is fully covered (where it can),
// and reads such an event: true when `e` was one, with `covered` set.
void watch_covering(SDL_Window* window);
bool covering_event(const SDL_Event& e, bool& covered);

}  // namespace gfx
