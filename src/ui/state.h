// ui internals: the widget input state shared by the widget files; not for use outside src/ui.
#pragma once
#include "gfx/gfx.h"

#include "ui/ui.h"

#include <cstddef>
#include <vector>

namespace ui {

struct Widget_State {
    bool hot = false;           // some widget is under the pointer this frame
    bool was_hot = false;       // last frame's hot, which picks the pointer shape
    bool clicked = false;       // some button fired this frame
    bool locked = false;
    std::vector<Label_Box> boxes;   // this frame's button labels and their boxes

    // Focus (focus.cpp): one focused control for the whole window.
    Id focus = 0;
    Focus_Kind focus_kind = Focus_Kind::Button;   // what the focused control is, as it last drew
    bool focus_visible = false;   // moved by the keyboard: buttons draw their ring
    bool focus_fresh = false;     // given by a screen that wants the field's text selected
    bool keep_unseen = false;     // set_focus before its control drew: keep it one frame
    std::vector<Id> order;        // this frame's focus order, as the controls drew
    int pending_step = 0;         // this frame's Tab, applied when the next frame begins
    bool press_seen = false, press_claimed = false;   // a left press this frame, and on a control

    // The text field being edited (text_box.cpp)
    const void* editing = nullptr;   // the buffer of the focused text field
    size_t caret = 0;                // byte offset into its text, on a character boundary
    size_t anchor = 0;               // the selection's other end; == caret: nothing selected
    float scroll = 0;                // pixels of the text scrolled out on the left
    bool selecting = false;          // the left button went down in the field and is held
};

Widget_State& widgets();
// Called by begin_frame: applies last frame's Tab and lets go of a focus nothing claims.
void focus_begin_frame();
// A screen gave the focus asking for the text selected, since this was last asked (cleared).
bool take_fresh_focus();

inline bool inside(gfx::Rect r, gfx::Vec2 p) {
    return p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h;
}

}  // namespace ui
