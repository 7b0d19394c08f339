// The text box driven headless by arbitrary input events. The input is read as a sequence of
// events, one opcode byte each, followed by its arguments:
//   0 type text (length byte, bytes)     1 press a key (key byte, flag byte: ctrl/alt/shift/repeat)
//   2 mouse move (x byte, y byte)        3 left button down or up (flag byte)
//   4 set the clipboard (length, bytes)  5 run a frame
//   6 set the buffer to new text (length, bytes, possibly without a terminator)
//   7 switch between the two boxes
// After every frame in which the box was active (or its buffer was terminated) the buffer must
// end inside its capacity and, when it held whole UTF-8 characters before, hold whole ones still.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "support/headless.h"
#include "ui/ui.h"

namespace {

bool whole_utf8(const char* s, size_t n) {
    for (size_t i = 0; i < n;) {
        unsigned c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > n) return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!headless::open()) fuzz::broken("no offscreen window");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Stream in{data, size};
    // Capacities as the screens use them (a 48-byte search, a 32-byte name) and tiny ones.
    static const size_t capacities[] = {48, 32, 1, 2, 5};
    size_t capacity = capacities[in.byte() % 5];
    // Heap buffers of exactly `capacity` bytes, so that any write past the end is caught.
    std::vector<char*> boxes = {new char[capacity](), new char[capacity]()};
    size_t current = 0;
    bool active = true;
    gfx::Rect rect{100, 100, 300, 36};

    int frames = 0;
    while (!in.empty() && frames < 64) {
        switch (in.byte() % 8) {
        case 0: gfx::inject_text(in.short_text()); break;
        case 1: {
            gfx::Key k = gfx::Key(in.byte() % gfx::Key_Count);
            uint8_t flags = in.byte();
            gfx::inject_modifiers(flags & 1, flags & 2, flags & 4);
            gfx::inject_key(k, true, flags & 8);
            gfx::inject_key(k, false);
            break;
        }
        case 2: gfx::inject_mouse_move(float(in.byte()) * 4.3f, float(in.byte()) * 2.7f); break;
        case 3: gfx::inject_mouse_button(gfx::Mouse_Left, in.byte() & 1); break;
        case 4: gfx::set_clipboard_text(in.short_text()); break;
        case 5: {
            char* buffer = boxes[current];
            bool was_terminated = strnlen(buffer, capacity) < capacity;
            bool was_whole = was_terminated && whole_utf8(buffer, strnlen(buffer, capacity));
            bool was_active = active;
            bool done = false;
            headless::frame([&] { done = ui::text_box(rect, buffer, capacity, active); });
            ++frames;
            if (done) active = !active;
            size_t len = strnlen(buffer, capacity);
            // An inactive box only reads: a buffer handed over without a terminator stays so
            // (it is drawn cut), but one that edits must end inside its capacity.
            if (was_terminated || was_active)
                fuzz::check(len < capacity, "text box left no terminator inside its buffer");
            if (was_whole) fuzz::check(whole_utf8(buffer, len), "text box split a character");
            break;
        }
        case 6: {
            std::string_view text = in.short_text();
            char* buffer = boxes[current];
            std::memset(buffer, 0, capacity);
            std::memcpy(buffer, text.data(), std::min(text.size(), capacity));
            break;
        }
        case 7: current ^= 1; active = true; break;
        }
    }
    // Leave no key or button held for the next input.
    gfx::inject_modifiers(false, false, false);
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame([&] { ui::text_box(rect, boxes[current], capacity, false); });
    for (char* b : boxes) delete[] b;
    return 0;
}
