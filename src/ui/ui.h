// ui: the launcher's theme and widgets, drawn with gfx.
//
// Immediate mode: each widget draws itself for this frame and returns what happened this frame.
// The little state that must persist (the active text box and its caret, the widget lock) lives
// in one module-level record. Main thread only.
#pragma once
#include "gfx/gfx.h"
#include "lang/lang.h"
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// Palette ---------------------------------------------------------------------------------------
inline constexpr gfx::Color amber{0xFF, 0xB0, 0x20, 0xFF};
inline constexpr gfx::Color text_color{0xEA, 0xE8, 0xE2, 0xFF};
inline constexpr gfx::Color grey{0x92, 0x94, 0x90, 0xFF};
inline constexpr gfx::Color dark_text{0x14, 0x10, 0x08, 0xFF};
inline constexpr gfx::Color good{0x7A, 0xCC, 0x5C, 0xFF};
inline constexpr gfx::Color bad{0xF2, 0x60, 0x4E, 0xFF};   // 4.5:1 on the darkest backgrounds
inline constexpr gfx::Color field_fill{0x10, 0x12, 0x18, 0xFF};
// An unfocused field's edge keeps 3:1 against the darkest panel it sits on.
inline constexpr gfx::Color field_border{0x6E, 0x74, 0x80, 0xFF};
inline constexpr gfx::Color field_border_hover{0xA0, 0xA6, 0xB0, 0xFF};

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
// The width a button (filled or flat) of height `h` needs for `label` with its margins, and at
// least `at_least`: the layout's own width where the label fits, more where a language runs long.
float button_width(std::string_view label, float h, float at_least);

// The box each button drew its label in this frame (cleared by begin_frame), so that a test can
// tell a label that runs out of its button.
struct Label_Box {
    std::string label;
    gfx::Rect box;
};
const std::vector<Label_Box>& label_boxes();

// Focus -----------------------------------------------------------------------------------------
// One focused control for the whole window (focus.cpp). Tab and Shift+Tab move it through the
// controls in the order they drew last frame; a press on a control focuses it, a press on
// nothing lets it go; a control not drawn in a frame loses it.
using Id = uint32_t;
enum class Focus_Kind : uint8_t { Button, Field };
Id id_of(gfx::Rect r);   // a control is known by its place
// Registers the control at `r` in this frame's order (not while locked); true when it is focused.
bool take_focus(gfx::Rect r, Focus_Kind kind);
bool focused(gfx::Rect r);
// Gives the control at `r` the focus; a screen or dialog calls it for its first field as it
// opens. A field that starts filled selects its text (`select_text`), so that typing replaces it.
void set_focus(gfx::Rect r, bool select_text = true);
void clear_focus();
// The ring around a focused button, shown only while the focus moves by keyboard.
void draw_focus_ring(gfx::Rect r);
// Enter or Space (no Alt, no Ctrl) pressed on the focused button at `r`.
bool button_keyed(gfx::Rect r);
// Enter or keypad Enter went down this frame with Alt up (Alt+Enter is not a submit), while no
// button holds the focus (a focused button takes Enter for itself).
bool enter_pressed();
// Tab without Ctrl went down (or repeated) this frame: +1, or -1 with Shift held; else 0.
int tab_step();
// Ctrl+Tab: +1, Ctrl+Shift+Tab: -1 (the next or previous tab); 0 otherwise or while locked.
int page_step();

// Text fields -----------------------------------------------------------------------------------
// Single-line editor over a NUL-terminated buffer of `capacity` bytes, focused through the focus
// record: UTF-8 typing and paste, selection (Shift with the arrows, Home and End; the mouse;
// Ctrl+A), copy and cut, Ctrl+Backspace and Ctrl+Delete by word, Ctrl+arrows by word; the view
// scrolls to keep the caret in sight. Unfocused, a text too long shows its start, or its end
// with `show_end` (a path). True when Enter or keypad Enter is pressed without Alt while focused.
bool text_box(gfx::Rect r, char* buffer, size_t capacity, bool show_end = false);

// The password: up to 128 bytes of UTF-8, shown as one asterisk a character unless `shown`.
struct Secret {
    char chars[128] = {};
    int64_t length = 0;
    bool shown = false;   // the player asked to see it (the Show / Hide control in the box)
};
// Edits as the text box does, except that nothing is copied or cut out of it; draws the Show /
// Hide control just right of the box, secret_toggle_width(r.h) wide (64, or more for a longer
// word: the caller narrows the box by as much). True on Enter as text_box.
float secret_toggle_width(float h);
bool secret_box(gfx::Rect r, Secret& secret);

// Frame chrome ----------------------------------------------------------------------------------
// The gradient, the three-layer block skyline scrolling with `t` seconds, and the overlay.
// `panels` are the screen's translucent content panels: their fill goes into the backdrop's
// picture and the blocks behind them are drawn in the colour the fill leaves over them, so that
// a skyline step blends nothing. The screen then draws only their outlines (panel_in_backdrop).
void draw_backdrop(double t, std::span<const gfx::Rect> panels = {});
// The colour of the content panels' fill.
inline constexpr gfx::Color panel_fill{0x10, 0x13, 0x16, 228};
// True when this frame's backdrop holds the fill of the panel `r`.
bool panel_in_backdrop(gfx::Rect r);

}  // namespace ui
