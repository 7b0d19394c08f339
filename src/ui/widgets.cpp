// Buttons and the wrapping text block.
#include "ui/ui.h"

#include "ui/state.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

namespace ui {

gfx::Color brightness(gfx::Color c, float factor) {
    // raylib's ColorBrightness: towards white for a positive factor, towards black for a
    // negative one, truncated to whole channel values.
    if (factor > 1) factor = 1;
    if (factor < -1) factor = -1;
    auto channel = [factor](uint8_t v) {
        float f = float(v);
        f = factor < 0 ? f * (1 + factor) : (255 - f) * factor + f;
        return uint8_t(f);
    };
    return {channel(c.r), channel(c.g), channel(c.b), c.a};
}

std::string shortened(std::string_view text, float width, float size, int face) {
    if (measure_text(text, size, face).x <= width) return std::string(text);
    auto cut = [&](size_t n) { return std::string(text.substr(0, n)) + "\xE2\x80\xA6"; };
    size_t lo = 0, hi = text.size();   // the longest prefix that fits with the ellipsis: lo fits (or is 0)
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        (measure_text(cut(mid), size, face).x <= width ? lo : hi) = mid;
    }
    while (lo > 0 && (static_cast<unsigned char>(text[lo]) & 0xC0) == 0x80) --lo;   // whole characters
    return cut(lo);
}

float button_width(std::string_view label, float h, float at_least) {
    float flat = measure_text(label, 0.62f * h).x + 22;   // the hovered label's inset
    float filled = measure_text(label, 0.55f * h, Face_Title).x + 16;
    return std::max(at_least, std::max(flat, filled));
}

const std::vector<Label_Box>& label_boxes() { return widgets().boxes; }

bool button(gfx::Rect r, std::string_view label) {
    Widget_State& w = widgets();
    w.boxes.push_back({std::string(label), r});
    const gfx::Input& in = gfx::input();
    bool over = !w.locked && inside(r, in.mouse);
    bool focus = take_focus(r, Focus_Kind::Button);
    if (over) w.hot = true;
    gfx::fill_rect(r, over ? brightness(amber, 0.12f) : amber);
    if (focus) draw_focus_ring(r);
    float size = 0.55f * r.h;
    gfx::Vec2 m = measure_text(label, size, Face_Title);
    draw_text(label, r.x + (r.w - m.x) / 2, r.y + (r.h - size) / 2, size, dark_text, Face_Title);
    bool fired = (over && in.released[gfx::Mouse_Left]) || button_keyed(r);
    if (fired) w.clicked = true;
    return fired;
}

bool nav_button(gfx::Rect r, std::string_view label, bool enabled) {
    Widget_State& w = widgets();
    w.boxes.push_back({std::string(label), r});
    const gfx::Input& in = gfx::input();
    bool over = enabled && !w.locked && inside(r, in.mouse);
    bool focus = enabled && take_focus(r, Focus_Kind::Button);
    if (focus) draw_focus_ring(r);
    float size = 0.62f * r.h;
    float y = r.y + (r.h - size) / 2;
    if (over) {
        w.hot = true;
        gfx::fill_rect(r, {255, 255, 255, 14});
        gfx::fill_rect({r.x, r.y, 4, r.h}, amber);
        draw_text(label, r.x + 22, y, size, {255, 255, 255, 255});
    } else {
        draw_text(label, r.x + 16, y, size, enabled ? text_color : grey);
    }
    bool fired = (over && in.released[gfx::Mouse_Left]) || (focus && button_keyed(r));
    if (fired) w.clicked = true;
    return fired;
}

static bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Chinese, Japanese and Korean run without spaces: a line may end between any two of their
// characters, but not before closing punctuation or the long-vowel mark.
static bool is_cjk(uint32_t cp) {
    return (cp >= 0x2E80 && cp <= 0x9FFF) || (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFF00 && cp <= 0xFFEF) || (cp >= 0x20000 && cp <= 0x3FFFF);
}
static bool starts_no_line(uint32_t cp) {
    static constexpr uint32_t closing[] = {0x3001, 0x3002, 0x300D, 0x300F, 0x3011, 0x30FC, 0xFF01, 0xFF09,
                                           0xFF0C, 0xFF0E, 0xFF1A, 0xFF1B, 0xFF1F, 0x2026};
    return std::find(std::begin(closing), std::end(closing), cp) != std::end(closing);
}

// The end of the piece of text that starts at i and may not be split: up to a space, or to the
// next place a line may end between two characters.
static size_t piece_end(std::string_view text, size_t i) {
    uint32_t before = gfx::next_codepoint(text, i);
    while (i < text.size() && !is_space(text[i])) {
        size_t next = i;
        uint32_t cp = gfx::next_codepoint(text, next);
        if ((is_cjk(before) || is_cjk(cp)) && !starts_no_line(cp)) break;
        before = cp;
        i = next;
    }
    return i;
}

float wrap_text(std::string_view text, float x, float y, float width, float size, gfx::Color c, float bottom) {
    float pitch = size + 6;
    float height = 0;
    std::string line;
    auto flush = [&] {
        draw_text(line, x, y + height, size, c, Face_Body);
        height += pitch;
        line.clear();
    };
    size_t i = 0;
    while (i < text.size()) {
        if (y + height > bottom) return height + pitch;   // the line being built starts unseen
        size_t spaces = i;
        while (i < text.size() && is_space(text[i])) ++i;
        if (i == text.size()) break;
        bool spaced = i > spaces;
        size_t start = i;
        i = piece_end(text, i);
        std::string_view piece = text.substr(start, i - start);
        if (line.empty()) {
            line = piece;   // a piece wider than the block still gets a line of its own
            continue;
        }
        size_t before = line.size();
        if (spaced) line += ' ';
        line += piece;
        if (measure_text(line, size, Face_Body).x > width) {
            line.resize(before);
            flush();
            line = piece;
        }
    }
    if (!line.empty()) flush();
    return height;
}

}  // namespace ui
