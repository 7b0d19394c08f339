// ui: the launcher's theme and widgets, drawn with gfx.
//
// Immediate mode: each widget draws itself for this frame and returns what happened this frame.
// The little state that must persist (the active text box and its caret, the widget lock) lives
// in one module-level record. Main thread only.
#pragma once
#include "gfx/gfx.h"
#include <cstddef>
#include <string>
#include <string_view>

namespace ui {

// Palette ---------------------------------------------------------------------------------------
inline constexpr gfx::Color amber{0xFF, 0xB0, 0x20, 0xFF};
inline constexpr gfx::Color text_color{0xEA, 0xE8, 0xE2, 0xFF};
inline constexpr gfx::Color grey{0x92, 0x94, 0x90, 0xFF};
inline constexpr gfx::Color dark_text{0x14, 0x10, 0x08, 0xFF};
inline constexpr gfx::Color good{0x7A, 0xCC, 0x5C, 0xFF};
inline constexpr gfx::Color bad{0xE8, 0x4A, 0x3A, 0xFF};
inline constexpr gfx::Color field_fill{0x10, 0x12, 0x18, 0xFF};
inline constexpr gfx::Color field_border{0x46, 0x4C, 0x58, 0xFF};

// Faces: 0 interface (Barlow Condensed SemiBold), 1 titles and filled buttons (Barlow Condensed
// Bold), 2 body text (Barlow Medium).
enum Face : int { Face_Interface = 0, Face_Title = 1, Face_Body = 2 };

// Loads the three embedded faces and sets the style table; once, after the window opens.
void load_theme();
void unload_theme();

// Style table: raygui's controls and properties, kept as data that the widgets read.
enum Control : int { DEFAULT, LABEL, BUTTON, TOGGLE, SLIDER, PROGRESSBAR, CHECKBOX, COMBOBOX,
                     DROPDOWNBOX, TEXTBOX, VALUEBOX, SPINNER, LISTVIEW, COLORPICKER, SCROLLBAR,
                     STATUSBAR, Control_Count };
enum Property : int {
    BORDER_COLOR_NORMAL, BASE_COLOR_NORMAL, TEXT_COLOR_NORMAL, BORDER_COLOR_FOCUSED,
    BASE_COLOR_FOCUSED, TEXT_COLOR_FOCUSED, BORDER_COLOR_PRESSED, BASE_COLOR_PRESSED,
    TEXT_COLOR_PRESSED, BORDER_COLOR_DISABLED, BASE_COLOR_DISABLED, TEXT_COLOR_DISABLED,
    BORDER_WIDTH, TEXT_PADDING, TEXT_ALIGNMENT,
    // DEFAULT-only and control-specific properties
    TEXT_SIZE, TEXT_SPACING, LINE_COLOR, BACKGROUND_COLOR, SLIDER_WIDTH, CHECK_PADDING,
    Property_Count
};
enum { TEXT_ALIGN_LEFT = 0, TEXT_ALIGN_CENTER = 1, TEXT_ALIGN_RIGHT = 2 };
// A control's own value, or DEFAULT's when the control has none set.
int style(Control c, Property p);
gfx::Color style_color(Control c, Property p);   // an RRGGBBAA property as a colour
// Sets a control's property; a common property (up to TEXT_ALIGNMENT) set on DEFAULT is set on
// every control, as raygui does. load_theme applies the launcher's table through this.
void set_style(Control c, Property p, int value);

// Frame -----------------------------------------------------------------------------------------
// Resets the hot and clicked flags, after showing last frame's hot flag as the pointer shape
// (a hand over widgets). Call after gfx::begin_frame.
void begin_frame();
bool hot();       // a widget is under the pointer this frame
bool clicked();   // a button fired this frame

// Widget lock: while held, every button ignores the pointer (held by a dragged scrollbar).
// The holder unlocks when the left button is released; a lock still held on a later frame with
// the button up is dropped by begin_frame.
void lock();
void unlock();
bool locked();

// Text ------------------------------------------------------------------------------------------
// Letter spacing is 0.02 × size for faces 0 and 2, 0.06 × size for face 1.
void draw_text(std::string_view text, float x, float y, float size, gfx::Color c, int face = Face_Interface);
gfx::Vec2 measure_text(std::string_view text, float size, int face = Face_Interface);
void caption(std::string_view text, float x, float y);   // grey, size 14
// Draws `text` in face 2 broken between words to fit `width`; line pitch size + 6. Returns the height.
// Lines that would start below `bottom` are neither measured nor drawn, so a huge text costs only
// what is seen; the height returned then reaches past `bottom`, all that a caller placing what
// follows needs to know.
float wrap_text(std::string_view text, float x, float y, float width, float size, gfx::Color c,
                float bottom = 1e30f);
// `text` as it fits in `width` on one line: whole, or cut on a character boundary and ended with
// "…".
std::string shortened(std::string_view text, float width, float size, int face = Face_Interface);

// Buttons ---------------------------------------------------------------------------------------
// raylib's ColorBrightness: factor in -1..1, towards white when positive, black when negative.
gfx::Color brightness(gfx::Color c, float factor);
bool button(gfx::Rect r, std::string_view label);                          // filled amber
bool nav_button(gfx::Rect r, std::string_view label, bool enabled = true); // flat navigation

// Text boxes ------------------------------------------------------------------------------------
// Enter or keypad Enter went down this frame with Alt up at that moment (Alt+Enter is not a submit).
bool enter_pressed();
// Tab went down (or repeated) this frame: +1, or -1 with Shift held; 0 otherwise, and 0 while
// the widgets are locked.
int tab_step();
// Keyboard focus over a screen's text fields, numbered by the caller: the field after `current`
// in `order` (step +1) or before it (step -1), wrapping around; from a field not in `order`
// (none focused), the first one (step +1) or the last one (step -1).
int next_field(const int* order, int count, int current, int step);
// Single-line editor over a NUL-terminated buffer of `capacity` bytes. Not active: true when
// clicked (the caller activates it). Active: takes the keyboard; true when Enter or keypad Enter
// is pressed without Alt, or the left button is pressed outside the box.
bool text_box(gfx::Rect r, char* buffer, size_t capacity, bool active);

// The password box: up to 128 printable ASCII characters, shown as asterisks.
struct Secret {
    char chars[128] = {};
    int64_t length = 0;
};
// Takes typing while `focused`; true when the left button is pressed over it (give it focus).
bool secret_box(gfx::Rect r, Secret& secret, bool focused);

// Frame chrome ----------------------------------------------------------------------------------
// The gradient, the three-layer block skyline scrolling with `t` seconds, and the overlay.
void draw_backdrop(double t);

}  // namespace ui
