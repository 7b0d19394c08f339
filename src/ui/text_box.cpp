// The single-line text box over a fixed NUL-terminated buffer, and the password box.
#include "ui/ui.h"

#include "ui/fonts.h"
#include "ui/state.h"

#include <cmath>
#include <cstring>
#include <string>

namespace ui {

namespace {

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

// Clipboard text as it may enter a box: no control bytes (line breaks included) and only
// whole UTF-8 characters, so the caret can always step by character.
std::string pasteable(std::string_view clip) {
    std::string kept;
    for (char c : clip)
        if (static_cast<unsigned char>(c) >= 32) kept += c;
    std::string out;
    for (size_t i = 0; i < kept.size();) {
        size_t n = char_length(kept, i);
        if (n == 0) { ++i; continue; }
        out.append(kept, i, n);
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

size_t char_before(const std::string& s, size_t at) {
    if (at == 0) return 0;
    size_t p = at - 1;
    while (p > 0 && continuation(s[p])) --p;
    return p;
}

size_t char_after(const std::string& s, size_t at) {
    if (at >= s.size()) return s.size();
    size_t q = at + 1;
    while (q < s.size() && continuation(s[q])) ++q;
    return q;
}

void edit(std::string& text, size_t& caret, size_t capacity) {
    const gfx::Input& in = gfx::input();
    auto key = [&](gfx::Key k) { return in.key_pressed[k] || in.key_repeat[k]; };

    // Typed characters go in one by one; one that does not fit (with the terminator) is dropped.
    for (size_t i = 0; i < in.typed.size();) {
        size_t n = char_length(in.typed, i);
        if (n == 0) { ++i; continue; }
        if (text.size() + n + 1 <= capacity) {
            text.insert(caret, in.typed, i, n);
            caret += n;
        }
        i += n;
    }
    if (in.key_pressed[gfx::Key_V] && (in.key_mods[gfx::Key_V] & gfx::Mod_Ctrl)) {
        std::string clip = pasteable(gfx::clipboard_text());
        size_t room = capacity - 1 - text.size();
        size_t n = whole_prefix(clip, room);
        text.insert(caret, clip, 0, n);
        caret += n;
    }
    if (key(gfx::Key_Backspace)) {
        size_t from = (in.key_mods[gfx::Key_Backspace] & gfx::Mod_Ctrl) ? 0 : char_before(text, caret);
        text.erase(from, caret - from);
        caret = from;
    }
    if (key(gfx::Key_Delete)) text.erase(caret, char_after(text, caret) - caret);
    if (key(gfx::Key_Left)) caret = char_before(text, caret);
    if (key(gfx::Key_Right)) caret = char_after(text, caret);
    if (in.key_pressed[gfx::Key_Home]) caret = 0;
    if (in.key_pressed[gfx::Key_End]) caret = text.size();
}

enum State { Normal = 0, Focused = 1, Pressed = 2 };

gfx::Color state_color(Property normal, State s) {
    return style_color(TEXTBOX, Property(normal + 3 * s));
}

}  // namespace

bool enter_pressed() {
    const gfx::Input& in = gfx::input();
    auto without_alt = [&](gfx::Key k) { return in.key_pressed[k] && !(in.key_mods[k] & gfx::Mod_Alt); };
    return without_alt(gfx::Key_Enter) || without_alt(gfx::Key_Kp_Enter);
}

int tab_step() {
    const gfx::Input& in = gfx::input();
    // The screen behind a dialog is drawn locked: its fields must not take the dialog's Tab.
    if (widgets().locked || (!in.key_pressed[gfx::Key_Tab] && !in.key_repeat[gfx::Key_Tab])) return 0;
    return (in.key_mods[gfx::Key_Tab] & gfx::Mod_Shift) ? -1 : 1;
}

int next_field(const int* order, int count, int current, int step) {
    if (count <= 0) return current;
    for (int i = 0; i < count; ++i)
        if (order[i] == current) return order[((i + step) % count + count) % count];
    return step < 0 ? order[count - 1] : order[0];
}

bool text_box(gfx::Rect r, char* buffer, size_t capacity, bool active) {
    Widget_State& w = widgets();
    const gfx::Input& in = gfx::input();
    bool over = inside(r, in.mouse);
    bool usable = buffer != nullptr && capacity > 0;

    std::string text;
    if (usable) {
        size_t len = strnlen(buffer, capacity);
        if (len == capacity) {
            // No terminator inside the buffer: treat the last byte as one, on a whole character.
            len = whole_prefix(std::string_view(buffer, capacity), capacity - 1);
            if (active) buffer[len] = '\0';
        }
        text.assign(buffer, len);
    }

    bool result = false;
    State state = Normal;
    if (active && usable) {
        state = Pressed;
        if (w.editing != buffer) {
            w.editing = buffer;
            w.caret = text.size();
        }
        // The caller may have changed the text since the last frame: keep the caret inside it.
        if (w.caret > text.size()) w.caret = text.size();
        while (w.caret > 0 && w.caret < text.size() && continuation(text[w.caret])) --w.caret;
        edit(text, w.caret, capacity);
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        result = enter_pressed() || (in.pressed[gfx::Mouse_Left] && !over);
    } else if (over && !w.locked) {
        state = Focused;
        w.hot = true;
        result = in.pressed[gfx::Mouse_Left];
    }

    // Drawn as raygui draws its text box: filled only while editing, a one-pixel border otherwise.
    float border = state == Pressed ? float(style(TEXTBOX, BORDER_WIDTH)) : 1;
    if (state == Pressed) gfx::fill_rect(r, style_color(TEXTBOX, BASE_COLOR_PRESSED));
    gfx::draw_rect_lines(r, border, state_color(BORDER_COLOR_NORMAL, state));

    float size = float(style(TEXTBOX, TEXT_SIZE));
    float spacing = float(style(TEXTBOX, TEXT_SPACING));
    float pad = float(style(TEXTBOX, TEXT_PADDING));
    int font = font_of(Face_Interface);
    gfx::begin_clip({r.x + border, r.y + border, r.w - 2 * border, r.h - 2 * border});
    gfx::draw_text(font, text, {r.x + border + pad, r.y + r.h / 2 - size / 2}, size, spacing,
                   state_color(TEXT_COLOR_NORMAL, state));
    gfx::end_clip();

    if (state == Pressed) {
        float x = r.x + gfx::measure_text(font, std::string_view(text).substr(0, w.caret), size,
                                          spacing).x + border + pad;
        float right = r.x + r.w - border - 2;
        if (x > right) x = right;
        // Drawn transparent in the blink's off half rather than left out, so that a blink costs
        // the caret's own rectangle, not a redraw of the window.
        gfx::Color c = style_color(TEXTBOX, BORDER_COLOR_PRESSED);
        if (std::fmod(gfx::time(), 1.0) >= 0.5) c.a = 0;
        gfx::redraw_at((std::floor(gfx::time() * 2) + 1) / 2);   // the next blink
        gfx::fill_rect({x, r.y + r.h / 2 - size / 2 - 2, 2, size + 4}, c);
    }
    return result;
}

bool secret_box(gfx::Rect r, Secret& secret, bool focused) {
    Widget_State& w = widgets();
    const gfx::Input& in = gfx::input();
    const int64_t capacity = int64_t(sizeof secret.chars);
    if (secret.length < 0) secret.length = 0;
    if (secret.length > capacity) secret.length = capacity;

    if (focused) {
        // Printable ASCII only: a lead or continuation byte of any other character is >= 128.
        for (char ch : in.typed) {
            auto c = static_cast<unsigned char>(ch);
            if (c >= 32 && c <= 126 && secret.length < capacity) secret.chars[secret.length++] = ch;
        }
        if ((in.key_pressed[gfx::Key_Backspace] || in.key_repeat[gfx::Key_Backspace]) &&
            secret.length > 0)
            secret.chars[--secret.length] = 0;
    }

    gfx::fill_rect(r, field_fill);
    gfx::draw_rect_lines(r, 1, focused ? amber : field_border);
    draw_text(std::string(size_t(secret.length), '*'), r.x + 10, r.y + 9, 22, text_color);

    bool over = !w.locked && inside(r, in.mouse);
    if (over) w.hot = true;
    return over && in.pressed[gfx::Mouse_Left];   // on the press, as the other text boxes
}

}  // namespace ui
