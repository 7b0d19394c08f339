// ui internals: the widget input state shared by the widget files; not for use outside src/ui.
#pragma once
#include "gfx/gfx.h"

#include <cstddef>

namespace ui {

struct Widget_State {
    bool hot = false;           // some widget is under the pointer this frame
    bool was_hot = false;       // last frame's hot, which picks the pointer shape
    bool clicked = false;       // some button fired this frame
    bool locked = false;
    const char* editing = nullptr;   // the buffer of the active text box
    size_t caret = 0;                // byte offset into `editing`, on a character boundary
};

Widget_State& widgets();

inline bool inside(gfx::Rect r, gfx::Vec2 p) {
    return p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h;
}

}  // namespace ui
