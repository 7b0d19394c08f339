// The per-frame input snapshot, fed by injected SDL events, and the window's close request.
#include "gfx/gfx.h"
#include "support/headless.h"

#include <gtest/gtest.h>

namespace {

class Input : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(headless::open());
        headless::frame(nullptr);   // start from a frame with nothing pending
    }
};

TEST_F(Input, MouseButtonGoesDownThenUpAcrossFrames) {
    gfx::inject_mouse_move(120.5f, 40);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame(nullptr);
    const gfx::Input& in = gfx::input();
    EXPECT_FLOAT_EQ(in.mouse.x, 120);
    EXPECT_FLOAT_EQ(in.mouse.y, 40);
    EXPECT_TRUE(in.pressed[gfx::Mouse_Left]);
    EXPECT_TRUE(in.down[gfx::Mouse_Left]);
    EXPECT_FALSE(in.released[gfx::Mouse_Left]);
    EXPECT_FALSE(in.pressed[gfx::Mouse_Right]);

    headless::frame(nullptr);   // held: no new press
    EXPECT_FALSE(gfx::input().pressed[gfx::Mouse_Left]);
    EXPECT_TRUE(gfx::input().down[gfx::Mouse_Left]);

    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(nullptr);
    EXPECT_TRUE(gfx::input().released[gfx::Mouse_Left]);
    EXPECT_FALSE(gfx::input().down[gfx::Mouse_Left]);

    headless::frame(nullptr);
    EXPECT_FALSE(gfx::input().released[gfx::Mouse_Left]);
}

TEST_F(Input, ClickInOneFrameIsPressedAndReleased) {
    gfx::inject_mouse_move(10, 10);
    gfx::inject_mouse_button(gfx::Mouse_Right, true);
    gfx::inject_mouse_button(gfx::Mouse_Right, false);
    headless::frame(nullptr);
    EXPECT_TRUE(gfx::input().pressed[gfx::Mouse_Right]);
    EXPECT_TRUE(gfx::input().released[gfx::Mouse_Right]);
    EXPECT_FALSE(gfx::input().down[gfx::Mouse_Right]);
}

TEST_F(Input, WheelNotchesAddUpWithinAFrameAndReset) {
    gfx::inject_wheel(1);
    gfx::inject_wheel(-3);
    headless::frame(nullptr);
    EXPECT_FLOAT_EQ(gfx::input().wheel, -2);
    headless::frame(nullptr);
    EXPECT_FLOAT_EQ(gfx::input().wheel, 0);
}

TEST_F(Input, TypedTextKeepsUtf8AndDropsControlCharacters) {
    gfx::inject_text("h\xC3\xA9llo\tw\x01" "\xE2\x82\xAC");   // "héllo", tab, "w", ^A, "€"
    headless::frame(nullptr);
    EXPECT_EQ(gfx::input().typed, "h\xC3\xA9llow\xE2\x82\xAC");
    headless::frame(nullptr);
    EXPECT_EQ(gfx::input().typed, "");
}

TEST_F(Input, LongTypedTextArrivesWholeAcrossSeveralEvents) {
    // Longer than one SDL text event, with multi-byte characters across the split points.
    std::string text;
    for (int i = 0; i < 20; ++i) text += "a\xC3\xA9\xE2\x82\xAC";
    gfx::inject_text(text);
    headless::frame(nullptr);
    EXPECT_EQ(gfx::input().typed, text);
}

TEST_F(Input, MalformedTypedBytesAreDropped) {
    gfx::inject_text("a\xC3(b\xFF" "c\xE2\x82");
    headless::frame(nullptr);
    EXPECT_EQ(gfx::input().typed, "a(bc");
}

TEST_F(Input, KeysArePressedRepeatedHeldAndModified) {
    gfx::inject_modifiers(true, false, true);
    gfx::inject_key(gfx::Key_Backspace, true);
    headless::frame(nullptr);
    const gfx::Input& in = gfx::input();
    EXPECT_TRUE(in.key_pressed[gfx::Key_Backspace]);
    EXPECT_FALSE(in.key_repeat[gfx::Key_Backspace]);
    EXPECT_TRUE(in.key_down[gfx::Key_Backspace]);
    EXPECT_TRUE(in.ctrl);
    EXPECT_FALSE(in.alt);
    EXPECT_TRUE(in.shift);

    gfx::inject_key(gfx::Key_Backspace, true, true);
    headless::frame(nullptr);
    EXPECT_FALSE(gfx::input().key_pressed[gfx::Key_Backspace]);
    EXPECT_TRUE(gfx::input().key_repeat[gfx::Key_Backspace]);
    EXPECT_TRUE(gfx::input().ctrl);   // still held

    gfx::inject_key(gfx::Key_Backspace, false);
    gfx::inject_modifiers(false, false, false);
    headless::frame(nullptr);
    EXPECT_FALSE(gfx::input().key_down[gfx::Key_Backspace]);
    EXPECT_FALSE(gfx::input().key_repeat[gfx::Key_Backspace]);
    EXPECT_FALSE(gfx::input().ctrl);
    EXPECT_FALSE(gfx::input().shift);
}

TEST_F(Input, EachKeyMapsToItsOwnSlot) {
    for (int k = 0; k < gfx::Key_Count; ++k) {
        gfx::inject_key(gfx::Key(k), true);
        headless::frame(nullptr);
        for (int j = 0; j < gfx::Key_Count; ++j)
            EXPECT_EQ(gfx::input().key_pressed[j], j == k) << "injected " << k << ", saw " << j;
        gfx::inject_key(gfx::Key(k), false);
    }
}

TEST_F(Input, EscapeNeverClosesButTheCloseRequestDoes) {
    gfx::inject_key(gfx::Key_Escape, true);
    gfx::inject_key(gfx::Key_Escape, false);
    headless::frame(nullptr);
    EXPECT_FALSE(gfx::close_requested());
    EXPECT_TRUE(gfx::window_open());

    gfx::inject_close();
    headless::frame(nullptr);
    EXPECT_TRUE(gfx::close_requested());
}

TEST_F(Input, ClipboardRoundTrips) {
    gfx::set_clipboard_text("line one\nline \xC3\xA9");
    EXPECT_EQ(gfx::clipboard_text(), "line one\nline \xC3\xA9");
}

TEST(OpenUrl, RefusesAnythingButWebAddresses) {
    EXPECT_FALSE(gfx::open_url(""));
    EXPECT_FALSE(gfx::open_url("file:///etc/passwd"));
    EXPECT_FALSE(gfx::open_url("/usr/bin/xterm"));
    EXPECT_FALSE(gfx::open_url(std::string_view("https://x\0y", 11)));
}

TEST(Time, CountsUpFromTheWindowOpening) {
    ASSERT_TRUE(headless::open());
    double a = gfx::time();
    headless::frame(nullptr);
    double b = gfx::time();
    EXPECT_GE(a, 0);
    EXPECT_GE(b, a);
    EXPECT_LT(b, 600);   // since this test program opened the window, not since boot
}

}  // namespace
