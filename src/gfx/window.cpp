// The window, the frame loop's begin/end with pacing, the per-frame input snapshot, the
// clipboard and browser, and injected input for tests.
//
// Index:
//   Window           open_window, close_window, minimise/restore, time
//   Frame            begin_frame (event gathering), end_frame (drawing when the frame changed,
//                    presenting and pacing)
//   Clipboard, URL   clipboard_text, set_clipboard_text, open_url
//   Injected input   inject_* (real SDL events through SDL_PushEvent)
#include "gfx/state.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace gfx {

Window_State& state() {
    static Window_State s;
    return s;
}

// Window ----------------------------------------------------------------------------------------

// True when the current OpenGL context is drawn by the CPU: Mesa's llvmpipe, softpipe or swrast
// (virtual machines, remote desktops, missing drivers).
static bool software_opengl() {
    using Get_String = const unsigned char* (*)(unsigned);
    auto get = reinterpret_cast<Get_String>(SDL_GL_GetProcAddress("glGetString"));
    const unsigned char* name = get ? get(0x1F01 /* GL_RENDERER */) : nullptr;
    if (!name) return false;
    std::string lower(reinterpret_cast<const char*>(name));
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("llvmpipe") != std::string::npos || lower.find("softpipe") != std::string::npos ||
           lower.find("swrast") != std::string::npos;
}

static int software_driver_index() {
    for (int i = 0; i < SDL_GetNumRenderDrivers(); ++i) {
        SDL_RendererInfo info{};
        if (SDL_GetRenderDriverInfo(i, &info) == 0 && info.name && std::string_view(info.name) == "software")
            return i;
    }
    return -1;
}

// The renderer, and how frames reach the window. An OpenGL drawn by the CPU paints and copies the
// whole window for every frame; SDL's software renderer draws only what changed into the
// window's own surface and sends only those rectangles to the screen, which costs a fraction of
// that: a software OpenGL is replaced by it.
static bool make_renderer(Window_State& s, std::string_view video) {
    // Headless, no one sees the frames: an OpenGL there is Mesa's software one at best, and once
    // loaded its tens of megabytes stay mapped. Draw in software from the start unless a renderer
    // was asked for by name.
    if (video == "offscreen" && !SDL_GetHint(SDL_HINT_RENDER_DRIVER))
        s.renderer = SDL_CreateRenderer(s.window, software_driver_index(), SDL_RENDERER_SOFTWARE);
    else
        s.renderer = SDL_CreateRenderer(s.window, -1, SDL_RENDERER_ACCELERATED |
                                                         SDL_RENDERER_PRESENTVSYNC |
                                                         SDL_RENDERER_TARGETTEXTURE);
    SDL_RendererInfo info{};
    if (s.renderer && SDL_GetRendererInfo(s.renderer, &info) == 0 && info.name &&
        std::string_view(info.name).substr(0, 6) == "opengl" && software_opengl() &&
        !std::getenv("TARNWICK_KEEP_SOFTWARE_OPENGL")) {   // the bench's reference
        // A window of its own without OpenGL: destroying the OpenGL one unloads Mesa, which
        // would otherwise hold tens of megabytes for nothing.
        SDL_DestroyRenderer(s.renderer);
        Uint32 flags = SDL_GetWindowFlags(s.window) & (SDL_WINDOW_SHOWN | SDL_WINDOW_HIDDEN);
        int x = 0, y = 0, w = 0, h = 0;
        SDL_GetWindowPosition(s.window, &x, &y);
        SDL_GetWindowSize(s.window, &w, &h);
        std::string title = SDL_GetWindowTitle(s.window);
        SDL_DestroyWindow(s.window);
        s.window = SDL_CreateWindow(title.c_str(), x, y, w, h, flags);
        if (!s.window) return false;
        s.renderer = SDL_CreateRenderer(s.window, software_driver_index(), SDL_RENDERER_SOFTWARE);
    }
    if (!s.renderer) s.renderer = SDL_CreateRenderer(s.window, -1, SDL_RENDERER_SOFTWARE);
    if (!s.renderer) return false;
    SDL_SetRenderDrawBlendMode(s.renderer, SDL_BLENDMODE_BLEND);
    info = SDL_RendererInfo{};
    s.software = SDL_GetRendererInfo(s.renderer, &info) == 0 && info.name &&
                 std::string_view(info.name) == "software";
    // The software renderer draws into the window's surface, which keeps the frame on screen
    // readable. The others draw into a frame texture or straight to the screen (see end_frame).
    // Headless, Mesa's OpenGL holds some 36 MB more for drawing into the window than into a
    // texture, and no one sees the window: draw off screen there.
    s.off_screen = !s.software && video == "offscreen";
    make_frame_texture(s);   // the frame texture, or for the software renderer the sizes only
    return true;
}

bool open_window(int width, int height, const char* title) {
    Window_State& s = state();
    if (s.window) return true;
    // Docks group a window with its desktop entry, tarnwick.desktop, by the window's class (X11)
    // or application id (Wayland); SDL would take the program's file name. Read when the video
    // subsystem starts; a value set in the environment by the player wins.
    SDL_setenv("SDL_VIDEO_X11_WMCLASS", "tarnwick", 0);
    SDL_setenv("SDL_VIDEO_WAYLAND_WMCLASS", "tarnwick", 0);
    SDL_SetHint(SDL_HINT_APP_NAME, "tarnwick");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) return false;
    SDL_SetHint(SDL_HINT_RENDER_BATCHING, "1");
    SDL_SetHint(SDL_HINT_RENDER_VSYNC, "1");
    // SDL's software renderer would hand each frame to an OpenGL texture to show it (Mesa's
    // software rasteriser where there is no GPU), which cost more than drawing the frame. X11
    // and the headless driver show a window surface directly.
    std::string_view video = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
    if (video == "x11" || video == "offscreen") SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // Drivers that sleep on the window system's events; SDL polls the others every millisecond.
    bool waits = video == "x11" || video == "wayland" || video == "windows" || video == "cocoa";
    // The window is as many pixels as the layout at the display's scale: its contents are drawn
    // at that scale, not stretched.
    s.scale = chosen_scale(0, width, height);
    s.width = width;
    s.height = height;
    int pixel_width = int(std::lround(float(width) * s.scale));
    int pixel_height = int(std::lround(float(height) * s.scale));
    s.window = SDL_CreateWindow(title, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, pixel_width,
                                pixel_height, SDL_WINDOW_SHOWN);
    if (!s.window) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
        return false;
    }
    if (!make_renderer(s, video)) {
        SDL_DestroyWindow(s.window);
        s.window = nullptr;
        SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
        return false;
    }
    watch_covering(s.window);
    s.covered = false;
    s.redraw = true;
    s.frames_drawn = 0;
    s.list.clear();
    s.shown.clear();
    s.opened_at = SDL_GetPerformanceCounter();
    s.next_frame = 0;
    s.active_until = 0;
    s.waits_for_events = waits;
    s.close = false;
    s.in = Input{};
    s.injected_mod = KMOD_NONE;
    SDL_StartTextInput();
    return true;
}

void close_window() {
    Window_State& s = state();
    if (!s.window) return;
    SDL_StopTextInput();
    release_font_textures();
    release_pictures();
    forget_blends();
    if (s.frame) SDL_DestroyTexture(s.frame);
    if (s.arrow) SDL_FreeCursor(s.arrow);
    if (s.hand) SDL_FreeCursor(s.hand);
    SDL_DestroyRenderer(s.renderer);
    SDL_DestroyWindow(s.window);
    SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
    bool pacing = s.pacing, record = s.record, skipping = s.skipping;
    double fixed_time = s.fixed_time;
    float requested_scale = s.requested_scale;
    s = Window_State{};
    s.requested_scale = requested_scale;
    s.pacing = pacing;
    s.record = record;
    s.skipping = skipping;
    s.fixed_time = fixed_time;
}

bool window_open() { return state().window != nullptr; }
bool close_requested() { return state().close; }

double time() {
    Window_State& s = state();
    if (s.fixed_time >= 0) return s.fixed_time;
    if (!s.window) return 0;
    return double(SDL_GetPerformanceCounter() - s.opened_at) / double(SDL_GetPerformanceFrequency());
}

void minimize_window() {
    if (state().window) SDL_MinimizeWindow(state().window);
}

void restore_window() {
    if (!state().window) return;
    SDL_RestoreWindow(state().window);
    SDL_RaiseWindow(state().window);   // and to the front, over whatever the player had there
}

bool window_unseen() {
    Window_State& s = state();
    return s.window && (s.covered || (SDL_GetWindowFlags(s.window) & (SDL_WINDOW_MINIMIZED | SDL_WINDOW_HIDDEN)) != 0);
}

void set_hand_cursor(bool hand) {
    Window_State& s = state();
    if (!s.window) return;
    if (!s.arrow) s.arrow = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
    if (!s.hand) s.hand = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_HAND);
    SDL_Cursor* want = hand ? s.hand : s.arrow;
    if (want && SDL_GetCursor() != want) SDL_SetCursor(want);
}

void set_frame_pacing(bool on) { state().pacing = on; }
void redraw_at(double t) { state().wake_at = std::min(state().wake_at, t); }
void set_frame_skipping(bool on) { state().skipping = on; }
long frames_drawn() { return state().frames_drawn; }
void set_test_time(double seconds) { state().fixed_time = seconds < 0 ? -1 : seconds; }

// Frame -----------------------------------------------------------------------------------------

static int key_of(SDL_Keycode k) {
    switch (k) {
    case SDLK_RETURN: return Key_Enter;
    case SDLK_KP_ENTER: return Key_Kp_Enter;
    case SDLK_BACKSPACE: return Key_Backspace;
    case SDLK_DELETE: return Key_Delete;
    case SDLK_LEFT: return Key_Left;
    case SDLK_RIGHT: return Key_Right;
    case SDLK_HOME: return Key_Home;
    case SDLK_END: return Key_End;
    case SDLK_v: return Key_V;
    case SDLK_ESCAPE: return Key_Escape;
    case SDLK_TAB: return Key_Tab;
    case SDLK_a: return Key_A;
    case SDLK_c: return Key_C;
    case SDLK_x: return Key_X;
    case SDLK_SPACE: return Key_Space;
    default: return -1;
    }
}

static SDL_Keycode keycode_of(Key k) {
    static const SDL_Keycode codes[Key_Count] = {
        SDLK_RETURN, SDLK_KP_ENTER, SDLK_BACKSPACE, SDLK_DELETE, SDLK_LEFT, SDLK_RIGHT,
        SDLK_HOME, SDLK_END, SDLK_v, SDLK_ESCAPE, SDLK_TAB, SDLK_a, SDLK_c, SDLK_x, SDLK_SPACE};
    return codes[k];
}

static int button_of(uint8_t b) {
    switch (b) {
    case SDL_BUTTON_LEFT: return Mouse_Left;
    case SDL_BUTTON_RIGHT: return Mouse_Right;
    case SDL_BUTTON_MIDDLE: return Mouse_Middle;
    default: return -1;
    }
}

// Keeps only well-formed UTF-8 characters of codepoint 32 and above: typed text may come from
// injected events, and the widgets step through it character by character.
static void append_typed(std::string& out, const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned c = p[0];
        int n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0) { ++p; continue; }
        uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = true;
        for (int i = 1; i < n; ++i) {
            if ((p[i] & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (!ok) { ++p; continue; }
        static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        bool valid = cp >= least[n] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (valid && cp >= 32) out.append(reinterpret_cast<const char*>(p), size_t(n));
        p += n;
    }
}

static void set_modifiers(Input& in, uint16_t mod) {
    in.ctrl = (mod & KMOD_CTRL) != 0;
    in.alt = (mod & KMOD_ALT) != 0;
    in.shift = (mod & KMOD_SHIFT) != 0;
}

static void take_event(Window_State& s, const SDL_Event& e) {
    Input& in = s.in;
    switch (e.type) {
    case SDL_QUIT:
        s.close = true;
        break;
    case SDL_WINDOWEVENT:
        if (e.window.event == SDL_WINDOWEVENT_CLOSE) s.close = true;
        if (e.window.event == SDL_WINDOWEVENT_DISPLAY_CHANGED) rescale_window(e.window.data1);
        // The window's contents may have been lost or never shown: paint the frame again.
        if (e.window.event == SDL_WINDOWEVENT_EXPOSED || e.window.event == SDL_WINDOWEVENT_SHOWN ||
            e.window.event == SDL_WINDOWEVENT_RESTORED || e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
            s.redraw = true;
        // Keys released while another window had focus never reach us: forget what was held.
        if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST) {
            for (bool& d : in.key_down) d = false;
            set_modifiers(in, 0);
        }
        break;
    case SDL_RENDER_TARGETS_RESET:
    case SDL_RENDER_DEVICE_RESET:
        // Target textures lost their contents: the pictures are painted again, the frame redrawn.
        release_pictures();
        s.redraw = true;
        break;
    case SDL_MOUSEMOTION:
        in.mouse = to_logical(e.motion.x, e.motion.y, s.scale);
        break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        in.mouse = to_logical(e.button.x, e.button.y, s.scale);
        int b = button_of(e.button.button);
        if (b < 0) break;
        if (e.type == SDL_MOUSEBUTTONDOWN) {
            in.pressed[b] = true;
            in.down[b] = true;
        } else {
            in.released[b] = true;
            in.down[b] = false;
        }
        break;
    }
    case SDL_MOUSEWHEEL: {
        float y = e.wheel.preciseY != 0 ? e.wheel.preciseY : float(e.wheel.y);
        if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) y = -y;
        in.wheel += y;
        break;
    }
    case SDL_TEXTINPUT:
        append_typed(in.typed, e.text.text);
        break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
        // The event's own modifier state already includes (or excludes) the key itself.
        set_modifiers(in, e.key.keysym.mod);
        int k = key_of(e.key.keysym.sym);
        if (k < 0) break;
        if (e.type == SDL_KEYDOWN) {
            if (e.key.repeat) in.key_repeat[k] = true;
            else in.key_pressed[k] = true;
            in.key_down[k] = true;
            in.key_mods[k] = uint8_t((in.ctrl ? Mod_Ctrl : 0) | (in.alt ? Mod_Alt : 0) | (in.shift ? Mod_Shift : 0));
        } else {
            in.key_down[k] = false;
        }
        break;
    }
    default:
        break;
    }
}

void begin_frame() {
    Window_State& s = state();
    Input& in = s.in;
    for (int b = 0; b < Mouse_Count; ++b) in.pressed[b] = in.released[b] = false;
    for (int k = 0; k < Key_Count; ++k) {
        in.key_pressed[k] = in.key_repeat[k] = false;
        in.key_mods[k] = 0;
    }
    in.wheel = 0;
    in.typed.clear();
    s.texts.clear();
    s.clips.clear();
    s.list.clear();
    s.recording = &s.list;
    s.wake_at = HUGE_VAL;
    if (!s.window) return;

    SDL_Event e;
    // Tab moves the keyboard focus once this frame's fields have taken what came before it: the
    // events after it wait for the next frame, and so does what was typed after it, for the
    // field it moves to. (Kept here rather than in SDL's queue, whose poll stops at the marker
    // it left where this frame's events ended.)
    std::vector<SDL_Event> events;
    events.swap(s.deferred);
    while (SDL_PollEvent(&e)) {
        // A window-system event's message lives only until the next poll: read it now. Once
        // uncovered, the window system asks for its pixels again (EXPOSED).
        if (e.type == SDL_SYSWMEVENT) {
            covering_event(e, s.covered);
            continue;
        }
        events.push_back(e);
    }
    if (!events.empty()) s.active_until = time() + 0.5;
    for (size_t i = 0; i < events.size(); ++i) {
        take_event(s, events[i]);
        if (events[i].type == SDL_KEYDOWN && events[i].key.keysym.sym == SDLK_TAB) {
            s.deferred.assign(events.begin() + long(i) + 1, events.end());
            break;
        }
    }

    // Minimised, hidden or covered: nothing is visible, so nothing is drawn (the frame is painted
    // again when the window shows).
    s.skip_drawing = window_unseen();
    s.in_frame = true;
}

void end_frame() {
    Window_State& s = state();
    if (!s.window) return;
    s.in_frame = false;
    s.clips.clear();
    // Most frames of an idle launcher equal the one on screen: those are neither drawn nor
    // presented. A minimised window draws nothing and is painted again when restored.
    bool draw = !s.skip_drawing && (s.redraw || !s.skipping || !same_frame(s.list, s.shown));
    if (draw) {
        if (s.software) {
            // The window's surface holds the frame shown: only the pixels that can differ are
            // drawn again, and only those rectangles are sent to the screen.
            bool partial = !s.redraw && s.skipping && changed_areas(s.list, s.shown, s.areas);
            if (partial) draw_areas(s.list, s.areas);
            else draw_list(s.list);
            SDL_RenderFlush(s.renderer);
            if (partial) SDL_UpdateWindowSurfaceRects(s.window, s.areas.data(), int(s.areas.size()));
            else SDL_UpdateWindowSurface(s.window);
        } else if (s.frame && s.off_screen) {
            // Headless: drawn off screen and copied, so the frame stays readable.
            SDL_SetRenderTarget(s.renderer, s.frame);
            draw_list(s.list);
            SDL_SetRenderTarget(s.renderer, nullptr);
            SDL_RenderCopy(s.renderer, s.frame, nullptr, nullptr);
            SDL_RenderPresent(s.renderer);
        } else {
            // A GPU draws a whole frame for next to nothing: straight to the window, and off
            // screen only when the frame is read back.
            draw_list(s.list);
            s.frame_stale = s.frame != nullptr;
            SDL_RenderPresent(s.renderer);
        }
        std::swap(s.list, s.shown);
        s.redraw = false;
        ++s.frames_drawn;
    }
    if (!s.pacing) return;
    // Vsync alone does not pace us: a minimised window or a 144 Hz screen would run the loop
    // flat out. Sleep until the next 1/60 s slot instead of spinning. A still window sleeps on
    // until the next change it knows of (redraw_at), and one no one sees draws nothing: both
    // look at their work (answers, downloads, the game's watch) ten times a second, and input
    // wakes them at once where the driver can wait for it.
    const double period = 1.0 / 60.0;
    double now = time();
    if (s.next_frame < now - period) s.next_frame = now;   // fell behind: don't try to catch up
    s.next_frame += period;
    double until = s.next_frame;
    if (s.skip_drawing) until = now + 0.1;
    else if (now >= s.active_until) until = std::max(until, std::min(s.wake_at, now + 0.1));
    int wait_ms = int((until - now) * 1000.0);
    if (wait_ms <= 0) return;
    if (s.waits_for_events) SDL_WaitEventTimeout(nullptr, wait_ms);
    else SDL_Delay(uint32_t(wait_ms));
}

const Input& input() { return state().in; }

// Clipboard and browser -------------------------------------------------------------------------

std::string clipboard_text() {
    char* t = SDL_GetClipboardText();
    if (!t) return {};
    std::string out = t;
    SDL_free(t);
    return out;
}

void set_clipboard_text(std::string_view text) {
    std::string copy(text.substr(0, text.find('\0')));
    SDL_SetClipboardText(copy.c_str());
}

bool open_url(std::string_view url) {
    // Only web pages: the address is built from configuration and must never start a program.
    bool web = url.substr(0, 7) == "http://" || url.substr(0, 8) == "https://";
    if (!web || url.find('\0') != std::string_view::npos) return false;
    return SDL_OpenURL(std::string(url).c_str()) == 0;
}

// Injected input --------------------------------------------------------------------------------

static uint32_t window_id() {
    return state().window ? SDL_GetWindowID(state().window) : 0;
}

void inject_mouse_move(float x, float y) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.windowID = window_id();
    e.motion.x = int(std::floor(x * state().scale));
    e.motion.y = int(std::floor(y * state().scale));
    state().injected_mouse = {x, y};
    SDL_PushEvent(&e);
}

void inject_mouse_button(Mouse_Button b, bool down) {
    static const uint8_t sdl_buttons[Mouse_Count] = {SDL_BUTTON_LEFT, SDL_BUTTON_RIGHT,
                                                     SDL_BUTTON_MIDDLE};
    SDL_Event e{};
    e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    e.button.windowID = window_id();
    e.button.button = sdl_buttons[b];
    e.button.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.button.clicks = 1;
    // The position of the last injected move, which the next begin_frame has not seen yet.
    e.button.x = int(std::floor(state().injected_mouse.x * state().scale));
    e.button.y = int(std::floor(state().injected_mouse.y * state().scale));
    SDL_PushEvent(&e);
}

void inject_wheel(float notches) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.windowID = window_id();
    e.wheel.y = int(std::lround(notches));
    e.wheel.preciseY = notches;
    e.wheel.direction = SDL_MOUSEWHEEL_NORMAL;
    SDL_PushEvent(&e);
}

void inject_key(Key k, bool down, bool repeat) {
    if (k < 0 || k >= Key_Count) return;
    SDL_Event e{};
    e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.windowID = window_id();
    e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.key.repeat = down && repeat ? 1 : 0;
    e.key.keysym.sym = keycode_of(k);
    e.key.keysym.scancode = SDL_GetScancodeFromKey(e.key.keysym.sym);
    e.key.keysym.mod = uint16_t(state().injected_mod);
    SDL_PushEvent(&e);
}

void inject_text(std::string_view utf8) {
    // An SDL text event holds at most 31 bytes: split between whole characters.
    const size_t room = SDL_TEXTINPUTEVENT_TEXT_SIZE - 1;
    size_t i = 0;
    while (i < utf8.size()) {
        size_t n = std::min(room, utf8.size() - i);
        if (i + n < utf8.size()) {
            while (n > 1 && (static_cast<unsigned char>(utf8[i + n]) & 0xC0) == 0x80) --n;
        }
        SDL_Event e{};
        e.type = SDL_TEXTINPUT;
        e.text.windowID = window_id();
        utf8.copy(e.text.text, n, i);
        e.text.text[n] = '\0';
        SDL_PushEvent(&e);
        i += n;
    }
}

void inject_modifiers(bool ctrl, bool alt, bool shift) {
    Window_State& s = state();
    struct Mod { bool on; SDL_Keymod mod; SDL_Keycode key; };
    const Mod mods[3] = {{ctrl, KMOD_LCTRL, SDLK_LCTRL}, {alt, KMOD_LALT, SDLK_LALT},
                         {shift, KMOD_LSHIFT, SDLK_LSHIFT}};
    for (const Mod& m : mods) {
        bool was = (s.injected_mod & m.mod) != 0;
        if (was == m.on) continue;
        s.injected_mod = SDL_Keymod(m.on ? (s.injected_mod | m.mod) : (s.injected_mod & ~m.mod));
        SDL_Event e{};
        e.type = m.on ? SDL_KEYDOWN : SDL_KEYUP;
        e.key.windowID = window_id();
        e.key.state = m.on ? SDL_PRESSED : SDL_RELEASED;
        e.key.keysym.sym = m.key;
        e.key.keysym.scancode = SDL_GetScancodeFromKey(m.key);
        e.key.keysym.mod = uint16_t(s.injected_mod);
        SDL_PushEvent(&e);
    }
}

void inject_close() {
    SDL_Event e{};
    e.type = SDL_QUIT;
    SDL_PushEvent(&e);
}

}  // namespace gfx
