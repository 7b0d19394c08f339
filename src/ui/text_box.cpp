// Text fields: the single-line text box over a NUL-terminated buffer, and the password box.
//
// Sections: UTF-8 steps - the editor (typing, paste, selection, copy and cut, word erasing) -
// the field (focus, mouse, scrolling, drawing) - the text box - the password box.
#include "ui/ui.h"

#include "ui/fonts.h"
#include "ui/state.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace ui {

namespace {

// UTF-8 steps ------------------------------------------------------------------------------------

bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Length in bytes of the UTF-8 character starting at s[i], or 0 when it is not a whole,
// well-formed character: overlong forms, surrogates and values past U+10FFFF are not.
size_t char_length(std::string_view s, size_t i) {
    unsigned c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    uint32_t cp = n == 1 ? c : c & (0x7Fu >> n);
    for (size_t k = 1; k < n; ++k) {
        if (!continuation(s[i + k])) return 0;
        cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    }
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// Text as it may enter a field: no control bytes (line breaks included) and only whole UTF-8
// characters, so the caret can always step by character.
std::string enterable(std::string_view in) {
    std::string out;
    for (size_t i = 0; i < in.size();) {
        size_t n = static_cast<unsigned char>(in[i]) < 32 ? 0 : char_length(in, i);
        if (n == 0) { ++i; continue; }
        out.append(in, i, n);
        i += n;
    }
    return out;
}

// The longest prefix of whole characters of `s` that is at most `room` bytes.
size_t whole_prefix(std::string_view s, size_t room) {
    if (s.size() <= room) return s.size();
    size_t n = room;
    while (n > 0 && continuation(s[n])) --n;
    return n;
}

size_t char_before(std::string_view s, size_t at) {
    if (at == 0) return 0;
    size_t p = at - 1;
    while (p > 0 && continuation(s[p])) --p;
    return p;
}

size_t char_after(std::string_view s, size_t at) {
    if (at >= s.size()) return s.size();
    size_t q = at + 1;
    while (q < s.size() && continuation(s[q])) ++q;
    return q;
}

bool is_space(char c) { return c == ' '; }

// Word steps: over the spaces next to the caret, then over the word beyond them.
size_t word_before(std::string_view s, size_t at) {
    while (at > 0 && is_space(s[at - 1])) --at;
    while (at > 0 && !is_space(s[at - 1])) --at;
    return at;
}

size_t word_after(std::string_view s, size_t at) {
    while (at < s.size() && is_space(s[at])) ++at;
    while (at < s.size() && !is_space(s[at])) ++at;
    return at;
}

size_t characters(std::string_view s) {
    size_t n = 0;
    for (char c : s) n += !continuation(c);
    return n;
}

// The editor --------------------------------------------------------------------------------------

struct Edit {
    std::string& text;
    size_t& caret;
    size_t& anchor;
    size_t room;     // bytes the text may hold
    bool secret;     // nothing leaves a password for the clipboard

    bool selected() const { return caret != anchor; }
    size_t from() const { return std::min(caret, anchor); }
    size_t to() const { return std::max(caret, anchor); }
    void erase_selection() {
        text.erase(from(), to() - from());
        caret = anchor = from();
    }
    void insert(std::string_view s) {
        if (selected()) erase_selection();
        size_t n = whole_prefix(s, room - std::min(room, text.size()));
        text.insert(caret, s.data(), n);
        caret += n;
        anchor = caret;
    }
    // Moves the caret; with Shift the anchor stays and the selection grows or shrinks.
    void move(size_t to_where, bool extend) {
        caret = to_where;
        if (!extend) anchor = caret;
    }
};

void edit(Edit& e) {
    const gfx::Input& in = gfx::input();
    auto key = [&](gfx::Key k) { return in.key_pressed[k] || in.key_repeat[k]; };
    auto mods = [&](gfx::Key k) { return in.key_mods[k]; };
    auto ctrl = [&](gfx::Key k) { return key(k) && (mods(k) & gfx::Mod_Ctrl); };
    auto shift = [&](gfx::Key k) { return (mods(k) & gfx::Mod_Shift) != 0; };

    // Typed characters go in whole; one that does not fit is dropped.
    std::string typed = enterable(in.typed);
    for (size_t i = 0; i < typed.size();) {
        size_t n = char_length(typed, i);
        if (e.text.size() - (e.to() - e.from()) + n <= e.room) e.insert(std::string_view(typed).substr(i, n));
        i += n;
    }
    if (ctrl(gfx::Key_A)) {
        e.anchor = 0;
        e.caret = e.text.size();
    }
    if ((ctrl(gfx::Key_C) || ctrl(gfx::Key_X)) && e.selected() && !e.secret) {
        gfx::set_clipboard_text(std::string_view(e.text).substr(e.from(), e.to() - e.from()));
        if (ctrl(gfx::Key_X)) e.erase_selection();
    }
    if (ctrl(gfx::Key_V)) e.insert(enterable(gfx::clipboard_text()));
    if (key(gfx::Key_Backspace)) {
        if (!e.selected())
            e.anchor = (mods(gfx::Key_Backspace) & gfx::Mod_Ctrl) ? word_before(e.text, e.caret) : char_before(e.text, e.caret);
        e.erase_selection();
    }
    if (key(gfx::Key_Delete)) {
        if (!e.selected())
            e.anchor = (mods(gfx::Key_Delete) & gfx::Mod_Ctrl) ? word_after(e.text, e.caret) : char_after(e.text, e.caret);
        e.erase_selection();
    }
    if (key(gfx::Key_Left)) {
        bool word = mods(gfx::Key_Left) & gfx::Mod_Ctrl;
        if (e.selected() && !shift(gfx::Key_Left) && !word) e.move(e.from(), false);   // to the selection's start
        else e.move(word ? word_before(e.text, e.caret) : char_before(e.text, e.caret), shift(gfx::Key_Left));
    }
    if (key(gfx::Key_Right)) {
        bool word = mods(gfx::Key_Right) & gfx::Mod_Ctrl;
        if (e.selected() && !shift(gfx::Key_Right) && !word) e.move(e.to(), false);
        else e.move(word ? word_after(e.text, e.caret) : char_after(e.text, e.caret), shift(gfx::Key_Right));
    }
    if (in.key_pressed[gfx::Key_Home]) e.move(0, shift(gfx::Key_Home));
    if (in.key_pressed[gfx::Key_End]) e.move(e.text.size(), shift(gfx::Key_End));
}

// The field ---------------------------------------------------------------------------------------

struct Look {
    float size, spacing, pad;
    int font;
};

Look field_look() {
    return {float(style(TEXTBOX, TEXT_SIZE)), float(style(TEXTBOX, TEXT_SPACING)), float(style(TEXTBOX, TEXT_PADDING)),
            font_of(Face_Interface)};
}

// What the field shows for `text`: the text, or one asterisk a character for a hidden password.
std::string shown_text(std::string_view text, bool hidden) {
    return hidden ? std::string(characters(text), '*') : std::string(text);
}

// Where the byte offset `at` of `text` lies in what the field shows.
float x_of(std::string_view text, size_t at, bool hidden, const Look& k) {
    return gfx::measure_text(k.font, shown_text(text.substr(0, at), hidden), k.size, k.spacing).x;
}

// The character boundary nearest the pointer's `x` (relative to the text's start).
size_t offset_at(std::string_view text, float x, bool hidden, const Look& k) {
    size_t best = 0;
    float best_d = std::fabs(x);
    for (size_t i = char_after(text, 0); i <= text.size() && !text.empty(); i = char_after(text, i)) {
        float d = std::fabs(x_of(text, i, hidden, k) - x);
        if (d < best_d) best = i, best_d = d;
        if (i == text.size()) break;
    }
    return best;
}

enum State { Normal = 0, Focused = 1, Pressed = 2 };

gfx::Color state_color(Property normal, State s) { return style_color(TEXTBOX, Property(normal + 3 * s)); }

// Edits `text` while the field at `r` has the focus and draws it; `inner` is the text's room
// inside the box. True when Enter submitted it.
bool field(gfx::Rect r, gfx::Rect inner, const void* key, std::string& text, size_t room, bool secret, bool hidden,
           bool show_end) {
    Widget_State& w = widgets();
    const gfx::Input& in = gfx::input();
    bool over = !w.locked && inside(r, in.mouse);
    bool focus = take_focus(r, Focus_Kind::Field);
    Look k = field_look();
    bool result = false;

    if (focus) {
        if (w.editing != key) {   // newly focused: the caret at the end
            w.editing = key;
            w.caret = w.anchor = text.size();
            w.scroll = 0;
            w.selecting = false;
        }
        if (take_fresh_focus()) w.anchor = 0, w.caret = text.size();
        // The caller may have changed the text since the last frame: keep the caret inside it.
        w.caret = std::min(w.caret, text.size());
        w.anchor = std::min(w.anchor, text.size());
        while (w.caret > 0 && w.caret < text.size() && continuation(text[w.caret])) --w.caret;
        while (w.anchor > 0 && w.anchor < text.size() && continuation(text[w.anchor])) --w.anchor;

        float origin = inner.x - w.scroll;
        if (in.pressed[gfx::Mouse_Left] && over) {   // a press places the caret; Shift keeps the anchor
            w.caret = offset_at(text, in.mouse.x - origin, hidden, k);
            if (!in.shift) w.anchor = w.caret;
            w.selecting = true;
        } else if (w.selecting && in.down[gfx::Mouse_Left]) {
            w.caret = offset_at(text, in.mouse.x - origin, hidden, k);   // dragging selects
        }
        if (!in.down[gfx::Mouse_Left]) w.selecting = false;

        Edit e{text, w.caret, w.anchor, room, secret};
        edit(e);
        result = enter_pressed();

        // Scroll so that the caret stays in sight, and no more than the text needs.
        float caret_x = x_of(text, w.caret, hidden, k);
        float whole = x_of(text, text.size(), hidden, k);
        if (caret_x - w.scroll > inner.w - 2) w.scroll = caret_x - inner.w + 2;
        if (caret_x < w.scroll) w.scroll = caret_x;
        w.scroll = std::max(0.0f, std::min(w.scroll, whole - inner.w + 2));
    }
    if (over) w.hot = true;

    // The focused field: an amber border two pixels wide; hover only lightens the border.
    State state = focus ? Pressed : over ? Focused : Normal;
    gfx::fill_rect(r, focus ? gfx::Color{0x1C, 0x1A, 0x16, 0xFF} : field_fill);
    gfx::Color edge = focus ? amber : over ? field_border_hover : field_border;
    gfx::draw_rect_lines(r, focus ? 2 : 1, edge);

    std::string shown = shown_text(text, hidden);
    float whole = gfx::measure_text(k.font, shown, k.size, k.spacing).x;
    float scroll = focus ? w.scroll : (show_end && whole > inner.w ? whole - inner.w + 2 : 0);
    float ty = r.y + r.h / 2 - k.size / 2;
    gfx::begin_clip(inner);
    if (focus && w.caret != w.anchor) {
        float a = x_of(text, std::min(w.caret, w.anchor), hidden, k), b = x_of(text, std::max(w.caret, w.anchor), hidden, k);
        gfx::fill_rect({inner.x - scroll + a, ty - 2, b - a, k.size + 4}, {0xFF, 0xB0, 0x20, 90});
    }
    gfx::draw_text(k.font, shown, {inner.x - scroll, ty}, k.size, k.spacing, state_color(TEXT_COLOR_NORMAL, state));
    gfx::end_clip();

    if (focus) {
        float x = std::min(inner.x - w.scroll + x_of(text, w.caret, hidden, k), inner.x + inner.w - 2);
        // Drawn transparent in the blink's off half rather than left out, so that a blink costs
        // the caret's own rectangle, not a redraw of the window.
        gfx::Color c = amber;
        if (std::fmod(gfx::time(), 1.0) >= 0.5) c.a = 0;
        gfx::redraw_at((std::floor(gfx::time() * 2) + 1) / 2);   // the next blink
        gfx::fill_rect({x, ty - 2, 2, k.size + 4}, c);
    }
    return result;
}

gfx::Rect inner_of(gfx::Rect r, float right_reserved) {
    float pad = float(style(TEXTBOX, TEXT_PADDING));
    return {r.x + 2 + pad - 1, r.y + 2, r.w - 2 * (2 + pad - 1) - right_reserved, r.h - 4};
}

}  // namespace

// The text box ------------------------------------------------------------------------------------

bool text_box(gfx::Rect r, char* buffer, size_t capacity, bool show_end) {
    if (buffer == nullptr || capacity == 0) return false;
    size_t len = strnlen(buffer, capacity);
    // No terminator inside the buffer: treat the last byte as one, on a whole character.
    if (len == capacity) len = whole_prefix(std::string_view(buffer, capacity), capacity - 1);
    std::string text(buffer, len);
    bool result = field(r, inner_of(r, 0), buffer, text, capacity - 1, false, false, show_end);
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return result;
}

// The password box --------------------------------------------------------------------------------

float secret_toggle_width(float h) {
    // TRANSLATORS: beside the password: shows or hides its characters. A word longer than about
    // five letters takes its room from the password box.
    return button_width(tr("Show"), h, button_width(tr("Hide"), h, 64));
}

bool secret_box(gfx::Rect r, Secret& secret) {
    const int64_t capacity = int64_t(sizeof secret.chars);
    secret.length = std::clamp<int64_t>(secret.length, 0, capacity);
    std::string text(secret.chars, size_t(secret.length));
    bool result = field(r, inner_of(r, 0), &secret, text, size_t(capacity), true, !secret.shown, false);
    std::memset(secret.chars, 0, sizeof secret.chars);
    std::memcpy(secret.chars, text.data(), text.size());
    secret.length = int64_t(text.size());
    // Beside the box, so that a press on it never lands in the field.
    gfx::Rect toggle{r.x + r.w + 4, r.y, secret_toggle_width(r.h), r.h};
    if (nav_button(toggle, secret.shown ? tr("Hide") : tr("Show"))) {
        secret.shown = !secret.shown;
        // Clicked, the typing goes on in the box; pressed by the keyboard, the focus stays put.
        if (gfx::input().released[gfx::Mouse_Left]) widgets().focus = id_of(r);
    }
    return result;
}

}  // namespace ui
