// Keyboard focus: one record for every control that can take it.
//
// As Dear ImGui keeps one focus and navigation state, the launcher keeps one focused control for
// buttons, tabs, toggles, rows and text fields alike. A control registers itself in the frame's
// focus order as it draws (take_focus); Tab and Shift+Tab, seen in one frame, move the focus
// along that frame's order when the next frame begins, after every field took what was typed
// before the key. A control is known by its place on the screen, which stays put from frame to
// frame; a focused control that was not drawn in a frame (its screen closed) loses the focus.
#include "ui/ui.h"

#include "ui/state.h"

#include <algorithm>
#include <cstring>

namespace ui {

Id id_of(gfx::Rect r) {
    // FNV-1a over the rectangle's bits; 0 is kept for "nothing focused".
    uint32_t bits[4];
    std::memcpy(bits, &r, sizeof bits);
    uint32_t h = 2166136261u;
    for (uint32_t b : bits)
        for (int i = 0; i < 4; ++i) h = (h ^ ((b >> (8 * i)) & 0xFF)) * 16777619u;
    return h == 0 ? 1 : h;
}

bool take_focus(gfx::Rect r, Focus_Kind kind) {
    Widget_State& w = widgets();
    if (w.locked) return false;   // behind a dialog: out of the order
    Id id = id_of(r);
    w.order.push_back(id);
    const gfx::Input& in = gfx::input();
    if (in.pressed[gfx::Mouse_Left] && inside(r, in.mouse)) {
        w.press_claimed = true;
        if (w.focus != id) w.focus_fresh = false;   // a click places the caret itself
        w.focus = id;
        w.focus_visible = false;   // the pointer is where the player looks: no ring
    }
    if (w.focus == id) w.focus_kind = kind;
    return w.focus == id;
}

bool focused(gfx::Rect r) { return widgets().focus == id_of(r); }

void set_focus(gfx::Rect r, bool select_text) {
    Widget_State& w = widgets();
    Id id = id_of(r);
    if (w.focus == id) return;
    w.focus = id;
    w.focus_fresh = select_text;
    w.keep_unseen = true;   // it may draw for the first time in the next frame
}

void clear_focus() { widgets().focus = 0; }

bool take_fresh_focus() {
    Widget_State& w = widgets();
    bool fresh = w.focus_fresh;
    w.focus_fresh = false;
    return fresh;
}

void draw_focus_ring(gfx::Rect r) {
    if (!widgets().focus_visible) return;
    // Outside the control and in the text colour, so that it never reads as the amber hover.
    gfx::draw_rect_lines({r.x - 3, r.y - 3, r.w + 6, r.h + 6}, 2, text_color);
}

int tab_step() {
    const gfx::Input& in = gfx::input();
    if (!in.key_pressed[gfx::Key_Tab] && !in.key_repeat[gfx::Key_Tab]) return 0;
    if (in.key_mods[gfx::Key_Tab] & gfx::Mod_Ctrl) return 0;   // Ctrl+Tab changes tabs
    return (in.key_mods[gfx::Key_Tab] & gfx::Mod_Shift) ? -1 : 1;
}

int page_step() {
    const gfx::Input& in = gfx::input();
    if (widgets().locked || !(in.key_pressed[gfx::Key_Tab] || in.key_repeat[gfx::Key_Tab])) return 0;
    if (!(in.key_mods[gfx::Key_Tab] & gfx::Mod_Ctrl)) return 0;
    return (in.key_mods[gfx::Key_Tab] & gfx::Mod_Shift) ? -1 : 1;
}

bool enter_pressed() {
    // A focused button takes Enter for itself: it is no submit of the form around it.
    if (widgets().focus != 0 && widgets().focus_kind == Focus_Kind::Button) return false;
    const gfx::Input& in = gfx::input();
    auto without_alt = [&](gfx::Key k) { return in.key_pressed[k] && !(in.key_mods[k] & gfx::Mod_Alt); };
    return without_alt(gfx::Key_Enter) || without_alt(gfx::Key_Kp_Enter);
}

bool button_keyed(gfx::Rect r) {
    if (!focused(r) || widgets().focus_kind != Focus_Kind::Button) return false;
    const gfx::Input& in = gfx::input();
    auto plain = [&](gfx::Key k) { return in.key_pressed[k] && !(in.key_mods[k] & (gfx::Mod_Alt | gfx::Mod_Ctrl)); };
    return plain(gfx::Key_Enter) || plain(gfx::Key_Kp_Enter) || plain(gfx::Key_Space);
}

void focus_begin_frame() {
    Widget_State& w = widgets();
    // What last frame saw: its Tab moves along its order; a focused control it did not draw, or
    // a press that landed on no control, lets the focus go.
    const std::vector<Id>& order = w.order;
    auto at = std::find(order.begin(), order.end(), w.focus);
    if (w.pending_step != 0 && !order.empty()) {
        long n = long(order.size());
        long i = at == order.end() ? (w.pending_step > 0 ? -1 : n) : long(at - order.begin());
        w.focus = order[size_t(((i + w.pending_step) % n + n) % n)];
        w.focus_visible = true;
        w.focus_fresh = false;   // tabbing into a field puts the caret at its end
    } else if (at == order.end() && !w.keep_unseen) {
        w.focus = 0;
    } else if (w.press_seen && !w.press_claimed) {
        w.focus = 0;
    }
    w.keep_unseen = false;
    w.order.clear();
    w.press_claimed = false;
    const gfx::Input& in = gfx::input();
    w.press_seen = in.pressed[gfx::Mouse_Left];
    w.pending_step = tab_step();
}

}  // namespace ui
