// The theme: fonts, the style table, themed text drawing and the per-frame widget state.
#include "ui/ui.h"

#include "ui/fonts.h"
#include "ui/state.h"

#include <cstdint>

namespace ui {

Widget_State& widgets() {
    static Widget_State w;
    return w;
}

// Style table ------------------------------------------------------------------------------------

namespace {

int table[Control_Count][Property_Count];
bool own[Control_Count][Property_Count];   // set for the control itself, not taken from DEFAULT

// The properties every control has; setting one of them on DEFAULT sets it on all controls.
constexpr int base_properties = TEXT_ALIGNMENT + 1;

struct Style_Entry {
    Control control;
    Property property;
    uint32_t value;
};

// raygui's own default look, which the launcher's table then overrides.
constexpr Style_Entry raygui_defaults[] = {
    {DEFAULT, BORDER_COLOR_NORMAL, 0x838383FF}, {DEFAULT, BASE_COLOR_NORMAL, 0xC9C9C9FF},
    {DEFAULT, TEXT_COLOR_NORMAL, 0x686868FF},   {DEFAULT, BORDER_COLOR_FOCUSED, 0x5BB2D9FF},
    {DEFAULT, BASE_COLOR_FOCUSED, 0xC9EFFEFF},  {DEFAULT, TEXT_COLOR_FOCUSED, 0x6C9BBCFF},
    {DEFAULT, BORDER_COLOR_PRESSED, 0x0492C7FF}, {DEFAULT, BASE_COLOR_PRESSED, 0x97E8FFFF},
    {DEFAULT, TEXT_COLOR_PRESSED, 0x368BAFFF},  {DEFAULT, BORDER_COLOR_DISABLED, 0xB5C1C2FF},
    {DEFAULT, BASE_COLOR_DISABLED, 0xE6E9E9FF}, {DEFAULT, TEXT_COLOR_DISABLED, 0xAEB7B8FF},
    {DEFAULT, BORDER_WIDTH, 1},                 {DEFAULT, TEXT_PADDING, 0},
    {DEFAULT, TEXT_ALIGNMENT, TEXT_ALIGN_CENTER},
    {DEFAULT, TEXT_SIZE, 10},                   {DEFAULT, TEXT_SPACING, 1},
    {DEFAULT, LINE_COLOR, 0x90ABB5FF},          {DEFAULT, BACKGROUND_COLOR, 0xF5F5F5FF},
};

// The launcher's look, applied in this order at start-up.
constexpr Style_Entry launcher_style[] = {
    {DEFAULT, TEXT_SIZE, 22},
    {DEFAULT, TEXT_SPACING, 1},
    {DEFAULT, BACKGROUND_COLOR, 0x101316E4},
    {DEFAULT, LINE_COLOR, 0xFFFFFF46},
    {DEFAULT, BORDER_COLOR_NORMAL, 0x464A4EFF},
    {DEFAULT, BASE_COLOR_NORMAL, 0x181C20EB},
    {DEFAULT, TEXT_COLOR_NORMAL, 0xEAE8E2FF},
    {DEFAULT, BORDER_COLOR_FOCUSED, 0xFFB020FF},
    {DEFAULT, BASE_COLOR_FOCUSED, 0x262A2EF5},
    {DEFAULT, TEXT_COLOR_FOCUSED, 0xFFFFFFFF},
    {DEFAULT, BORDER_COLOR_PRESSED, 0xFFB020FF},
    {DEFAULT, BASE_COLOR_PRESSED, 0xFFB02046},
    {DEFAULT, TEXT_COLOR_PRESSED, 0xFFFFFFFF},
    {DEFAULT, BORDER_COLOR_DISABLED, 0x323436FF},
    {DEFAULT, BASE_COLOR_DISABLED, 0x16181AC8},
    {DEFAULT, TEXT_COLOR_DISABLED, 0x5A5C5CFF},
    {DEFAULT, BORDER_WIDTH, 1},
    {DEFAULT, TEXT_PADDING, 8},
    {SLIDER, BASE_COLOR_PRESSED, 0xFFB020FF},
    {SLIDER, BORDER_COLOR_PRESSED, 0xFFB020FF},
    {SLIDER, SLIDER_WIDTH, 6},
    {CHECKBOX, BASE_COLOR_PRESSED, 0xFFB020FF},
    {CHECKBOX, CHECK_PADDING, 4},
    {TEXTBOX, TEXT_ALIGNMENT, TEXT_ALIGN_LEFT},
    {LABEL, TEXT_COLOR_NORMAL, 0x929490FF},
};

void reset_style() {
    for (int c = 0; c < Control_Count; ++c)
        for (int p = 0; p < Property_Count; ++p) {
            table[c][p] = 0;
            own[c][p] = false;
        }
    for (const Style_Entry& e : raygui_defaults) set_style(e.control, e.property, int(e.value));
}

}  // namespace

void set_style(Control c, Property p, int value) {
    if (c < 0 || c >= Control_Count || p < 0 || p >= Property_Count) return;
    table[c][p] = value;
    own[c][p] = true;
    if (c == DEFAULT && p < base_properties) {
        for (int k = 1; k < Control_Count; ++k) {
            table[k][p] = value;
            own[k][p] = true;
        }
    }
}

int style(Control c, Property p) {
    if (c < 0 || c >= Control_Count || p < 0 || p >= Property_Count) return 0;
    return own[c][p] ? table[c][p] : table[DEFAULT][p];
}

gfx::Color style_color(Control c, Property p) {
    auto v = uint32_t(style(c, p));
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// Theme ------------------------------------------------------------------------------------------

void load_theme() {
    load_fonts();
    reset_style();
    for (const Style_Entry& e : launcher_style) set_style(e.control, e.property, int(e.value));
}

void unload_theme() { unload_fonts(); }

// Frame and lock ---------------------------------------------------------------------------------

void begin_frame() {
    Widget_State& w = widgets();
    gfx::set_hand_cursor(w.hot);
    w.was_hot = w.hot;
    w.hot = false;
    w.clicked = false;
    w.boxes.clear();
    focus_begin_frame();
    // A drag holds the lock only while the left button is down. The holder releases it on the
    // frame of the release; should it forget, drop it one frame later so buttons never stay
    // dead (not on the release frame itself, where a button would take the drag's release).
    const gfx::Input& in = gfx::input();
    if (w.locked && !in.down[gfx::Mouse_Left] && !in.released[gfx::Mouse_Left]) w.locked = false;
}

void lock() { widgets().locked = true; }
void unlock() { widgets().locked = false; }
bool locked() { return widgets().locked; }
bool hot() { return widgets().hot; }
bool clicked() { return widgets().clicked; }

// Text -------------------------------------------------------------------------------------------

static float spacing_of(float size, int face) {
    return size * (face == Face_Title ? 0.06f : 0.02f);
}

void draw_text(std::string_view text, float x, float y, float size, gfx::Color c, int face) {
    gfx::draw_text(font_of(face), text, {x, y}, size, spacing_of(size, face), c);
}

gfx::Vec2 measure_text(std::string_view text, float size, int face) {
    return gfx::measure_text(font_of(face), text, size, spacing_of(size, face));
}

void caption(std::string_view text, float x, float y) {
    draw_text(text, x, y, 14, grey, Face_Interface);
}

}  // namespace ui
