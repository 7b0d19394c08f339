// Editing in the text box and the password box, through real frames and injected input.
#include "support/headless.h"
#include "ui/fonts.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr gfx::Rect box_rect{100, 100, 352, 38};

// A text box on its own buffer, drawn every frame, remembering what it returned.
template <size_t N>
struct Box {
    char buffer[N] = {};
    bool active = true;
    gfx::Rect rect = box_rect;
    bool result = false;

    explicit Box(const char* text = "") { std::strncpy(buffer, text, N - 1); }
    headless::Draw draw() {
        return [this] {
            if (active) ui::set_focus(rect, false);
            else if (ui::focused(rect)) ui::clear_focus();
            result = ui::text_box(rect, buffer, N);
        };
    }
    std::string text() const { return buffer; }
};

class TextBox : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(headless::open());
        // Boxes of earlier tests may have lived at the same address: make another buffer the
        // active one so that each test's box starts as a newly activated one.
        static char other[2];
        headless::frame([] {
            ui::set_focus({0, 0, 10, 10}, false);
            ui::text_box({0, 0, 10, 10}, other, sizeof other);
        });
    }
    template <size_t N>
    void keys(Box<N>& b, gfx::Key k, int times = 1, bool ctrl = false) {
        for (int i = 0; i < times; ++i) headless::key(k, b.draw(), ctrl);
    }
};

TEST_F(TextBox, TypingAppendsAtTheEnd) {
    Box<32> b("ab");
    headless::type("c\xC3\xA9", b.draw());
    EXPECT_EQ(b.text(), "abc\xC3\xA9");
    EXPECT_FALSE(b.result);
}

TEST_F(TextBox, ArrowsStepOverWholeUtf8Characters) {
    Box<32> b("a\xC3\xA9\xE2\x82\xAC" "b");   // a é € b
    keys(b, gfx::Key_Left, 2);
    headless::type("X", b.draw());
    EXPECT_EQ(b.text(), "a\xC3\xA9X\xE2\x82\xAC" "b");
    keys(b, gfx::Key_Left, 2);   // before X, then before é
    headless::type("Y", b.draw());
    EXPECT_EQ(b.text(), "aY\xC3\xA9X\xE2\x82\xAC" "b");
    keys(b, gfx::Key_Right, 3);   // over é, X and €
    headless::type("Z", b.draw());
    EXPECT_EQ(b.text(), "aY\xC3\xA9X\xE2\x82\xAC" "Zb");
}

TEST_F(TextBox, AutoRepeatedArrowsMoveToo) {
    Box<32> b("abc");
    headless::key(gfx::Key_Left, b.draw(), false, false, false, true);
    headless::type("X", b.draw());
    EXPECT_EQ(b.text(), "abXc");
}

TEST_F(TextBox, ArrowsStopAtBothEnds) {
    Box<32> b("ab");
    keys(b, gfx::Key_Right, 3);
    headless::type("]", b.draw());
    keys(b, gfx::Key_Left, 9);
    headless::type("[", b.draw());
    EXPECT_EQ(b.text(), "[ab]");
}

TEST_F(TextBox, HomeAndEndJumpToTheEnds) {
    Box<32> b("abc");
    keys(b, gfx::Key_Left);
    keys(b, gfx::Key_Home);
    headless::type("<", b.draw());
    keys(b, gfx::Key_End);
    headless::type(">", b.draw());
    EXPECT_EQ(b.text(), "<abc>");
}

TEST_F(TextBox, BackspaceDeletesTheWholeCharacterBeforeTheCaret) {
    Box<32> b("a\xC3\xA9\xE2\x82\xAC" "b");
    keys(b, gfx::Key_Left, 2);   // between é and €
    keys(b, gfx::Key_Backspace);
    EXPECT_EQ(b.text(), "a\xE2\x82\xAC" "b");
    headless::key(gfx::Key_Backspace, b.draw(), false, false, false, true);   // auto-repeat
    EXPECT_EQ(b.text(), "\xE2\x82\xAC" "b");
    keys(b, gfx::Key_Backspace);   // at the start: nothing left of the caret
    EXPECT_EQ(b.text(), "\xE2\x82\xAC" "b");
}

TEST_F(TextBox, CtrlBackspaceDeletesTheWordLeftOfTheCaret) {
    Box<32> b("one two world");
    keys(b, gfx::Key_Left, 5);
    keys(b, gfx::Key_Backspace, 1, true);
    EXPECT_EQ(b.text(), "one world");
    headless::type("X", b.draw());
    EXPECT_EQ(b.text(), "one Xworld");
}

TEST_F(TextBox, DeleteRemovesTheWholeCharacterAfterTheCaret) {
    Box<32> b("a\xE2\x82\xAC" "b");
    keys(b, gfx::Key_Home);
    keys(b, gfx::Key_Right);
    keys(b, gfx::Key_Delete);
    EXPECT_EQ(b.text(), "ab");
    keys(b, gfx::Key_End);
    keys(b, gfx::Key_Delete);
    EXPECT_EQ(b.text(), "ab");
}

TEST_F(TextBox, PasteDropsLineBreaksAndControlBytes) {
    Box<64> b("[]");
    keys(b, gfx::Key_Left);
    gfx::set_clipboard_text("one\r\ntwo\tthree\n");
    keys(b, gfx::Key_V, 1, true);
    EXPECT_EQ(b.text(), "[onetwothree]");
    headless::type("!", b.draw());   // the caret sits after the pasted text
    EXPECT_EQ(b.text(), "[onetwothree!]");
}

TEST_F(TextBox, VWithoutCtrlDoesNotPaste) {
    Box<32> b("x");
    gfx::set_clipboard_text("pasted");
    keys(b, gfx::Key_V);
    EXPECT_EQ(b.text(), "x");
}

TEST_F(TextBox, TypingStopsAtTheCapacityKeepingTheTerminator) {
    Box<8> b("abcde");
    headless::type("fgh", b.draw());
    EXPECT_EQ(b.text(), "abcdefg");
    // A character that does not fit is dropped; a later smaller one still goes in.
    Box<8> c("abcdef");
    headless::type("\xE2\x82\xAC" "x", c.draw());
    EXPECT_EQ(c.text(), "abcdefx");
}

TEST_F(TextBox, PasteIsCutAtTheLastWholeCharacterThatFits) {
    Box<8> b("abcd");
    gfx::set_clipboard_text("\xC3\xA9\xE2\x82\xAC" "z");   // é € z: only é fits in 3 bytes
    keys(b, gfx::Key_V, 1, true);
    EXPECT_EQ(b.text(), "abcd\xC3\xA9");
    EXPECT_EQ(b.buffer[6], '\0');
}

TEST_F(TextBox, CaretGoesToTheEndWhenAnotherBufferBecomesActive) {
    Box<32> a("first");
    Box<32> b("second");
    keys(a, gfx::Key_Home);
    headless::type("1", a.draw());   // the caret stays put while the same box is active
    EXPECT_EQ(a.text(), "1first");

    headless::type("2", b.draw());   // another buffer: its caret starts at its end
    EXPECT_EQ(b.text(), "second2");
    keys(b, gfx::Key_Home);

    headless::type("3", a.draw());
    EXPECT_EQ(a.text(), "1first3");
}

TEST_F(TextBox, CaretFollowsTextThatTheCallerShortened) {
    Box<32> b("abcdef");
    headless::frame(b.draw());
    std::strcpy(b.buffer, "ab");   // e.g. the screen cleared the box after a rename
    headless::type("X", b.draw());
    EXPECT_EQ(b.text(), "abX");
}

TEST_F(TextBox, UnterminatedBufferIsCutToItsCapacity) {
    Box<4> b;
    std::memcpy(b.buffer, "abcd", 4);
    headless::type("x", b.draw());
    EXPECT_EQ(std::string(b.buffer, 3), "abc");
    EXPECT_EQ(b.buffer[3], '\0');
}

TEST_F(TextBox, UnfocusedBoxTakesNoTyping) {
    Box<32> b("abc");
    b.active = false;
    headless::type("x", b.draw());
    keys(b, gfx::Key_Backspace);
    EXPECT_EQ(b.text(), "abc");
}

TEST_F(TextBox, APressFocusesTheBoxAndAPressOnNothingLetsItGo) {
    char buffer[32] = "abc";
    auto draw = [&] { ui::text_box(box_rect, buffer, sizeof buffer); };
    headless::click(600, 600, draw);
    headless::move(120, 110, draw);   // hovering alone gives no focus
    EXPECT_FALSE(ui::focused(box_rect));
    headless::click(120, 110, draw);
    EXPECT_TRUE(ui::focused(box_rect));
    headless::click(700, 400, draw);
    headless::frame(draw);
    EXPECT_FALSE(ui::focused(box_rect));
}

TEST_F(TextBox, FocusedBoxReportsEnterWithoutAlt) {
    Box<32> b("abc");
    headless::key(gfx::Key_Enter, b.draw());
    EXPECT_TRUE(b.result);
    headless::key(gfx::Key_Kp_Enter, b.draw());
    EXPECT_TRUE(b.result);
    headless::key(gfx::Key_Enter, b.draw(), false, true);
    EXPECT_FALSE(b.result);
    headless::frame(b.draw());
    EXPECT_FALSE(b.result);
}

TEST_F(TextBox, TextIsDrawnLeftAlignedAndCentredInItsStateColour) {
    Box<32> b("hello");
    headless::frame(b.draw());
    const gfx::Drawn_Text* t = headless::find_text("hello");
    ASSERT_NE(t, nullptr);
    EXPECT_FLOAT_EQ(t->pos.x, box_rect.x + 1 + 8);
    EXPECT_FLOAT_EQ(t->pos.y, box_rect.y + box_rect.h / 2 - 11);
    EXPECT_FLOAT_EQ(t->size, 22);
    EXPECT_EQ(t->font, ui::font_of(ui::Face_Interface));
    EXPECT_EQ(t->color.r, 0xFF);   // editing: the pressed text colour, white

    b.active = false;
    headless::move(700, 400, b.draw());
    t = headless::find_text("hello");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->color.r, 0xEA);   // normal
    headless::move(120, 110, b.draw());
    EXPECT_EQ(headless::find_text("hello")->color.g, 0xFF);   // under the pointer: focused
}

// Password box ----------------------------------------------------------------------------------

struct Password {
    ui::Secret secret;
    bool focused = true;
    bool result = false;
    headless::Draw draw() {
        return [this] {
            if (focused) ui::set_focus({660, 268, 352, 38}, false);
            else if (ui::focused({660, 268, 352, 38})) ui::clear_focus();
            result = ui::secret_box({660, 268, 352, 38}, secret);
        };
    }
    std::string text() const { return std::string(secret.chars, size_t(secret.length)); }
};

TEST_F(TextBox, PasswordTakesUtf8AndPaste) {
    Password p;
    headless::type("p\xC3\xA4ss w\xC3\xB6rd", p.draw());
    EXPECT_EQ(p.text(), "p\xC3\xA4ss w\xC3\xB6rd");
    EXPECT_NE(headless::find_text("*********"), nullptr);   // one asterisk a character, not a byte
    gfx::set_clipboard_text("!x");
    headless::key(gfx::Key_V, p.draw(), true);
    EXPECT_EQ(p.text(), "p\xC3\xA4ss w\xC3\xB6rd!x");
}

TEST_F(TextBox, PasswordIgnoresThe129thCharacter) {
    Password p;
    std::string typed(130, 'k');
    typed[127] = 'L';
    typed[128] = 'M';
    headless::type(typed, p.draw());
    EXPECT_EQ(p.secret.length, 128);
    EXPECT_EQ(p.secret.chars[127], 'L');
    headless::type("z", p.draw());
    EXPECT_EQ(p.secret.length, 128);
}

TEST_F(TextBox, PasswordBackspaceRemovesTheLastAndStopsWhenEmpty) {
    Password p;
    headless::type("ab", p.draw());
    headless::key(gfx::Key_Backspace, p.draw());
    EXPECT_EQ(p.text(), "a");
    headless::key(gfx::Key_Backspace, p.draw(), false, false, false, true);
    EXPECT_EQ(p.text(), "");
    headless::key(gfx::Key_Backspace, p.draw());
    EXPECT_EQ(p.secret.length, 0);
    headless::type("c", p.draw());
    EXPECT_EQ(p.text(), "c");
}

TEST_F(TextBox, PasswordWithoutFocusTakesNothing) {
    Password p;
    p.focused = false;
    headless::type("abc", p.draw());
    EXPECT_EQ(p.secret.length, 0);
}

TEST_F(TextBox, PasswordShowsOneAsteriskPerCharacter) {
    Password p;
    headless::type("hunter2", p.draw());
    const gfx::Drawn_Text* t = headless::find_text("*******");
    ASSERT_NE(t, nullptr);
    EXPECT_FLOAT_EQ(t->pos.x, 669);   // where the text box draws its text
    EXPECT_FLOAT_EQ(t->pos.y, 276);
    EXPECT_FLOAT_EQ(t->size, 22);
    EXPECT_EQ(headless::find_text_containing("hunter"), nullptr);
}

TEST_F(TextBox, BackspaceRemovesWholeThreeAndFourByteCharacters) {
    Box<32> b("a\xE2\x82\xAC\xF0\x9F\x98\x80");   // a, the euro sign, a grinning face
    keys(b, gfx::Key_Backspace);
    EXPECT_EQ(b.text(), "a\xE2\x82\xAC");
    keys(b, gfx::Key_Backspace);
    EXPECT_EQ(b.text(), "a");
}

TEST_F(TextBox, PasteDropsBrokenUtf8AndKeepsWholeCharacters) {
    struct Case { const char* clip; const char* kept; };
    const Case cases[] = {
        {"a\xE2\x82" "b", "ab"},                      // a three-byte character cut short
        {"\x80" "c\xBF", "c"},                          // lone continuation bytes
        {"\xC0\xAF" "d", "d"},                          // an overlong '/'
        {"\xED\xA0\x80" "e", "e"},                      // a surrogate
        {"\xF4\x90\x80\x80" "f", "f"},                  // past U+10FFFF
        {"\xF0\x9F\x98\x80\xE2\x82\xAC", "\xF0\x9F\x98\x80\xE2\x82\xAC"},   // a grinning face and the euro sign stay
    };
    for (const Case& c : cases) {
        Box<32> b;
        gfx::set_clipboard_text(c.clip);
        keys(b, gfx::Key_V, 1, true);
        EXPECT_EQ(b.text(), c.kept) << c.clip;
    }
}

TEST_F(TextBox, KeysKeepTheModifiersHeldWhenTheyWentDown) {
    // Alt held for Enter and Ctrl for V, both let go again within the same frame (a key macro).
    Box<32> b("x");
    gfx::set_clipboard_text("pasted");
    gfx::inject_modifiers(true, true, false);
    gfx::inject_key(gfx::Key_Enter, true);
    gfx::inject_key(gfx::Key_V, true);
    gfx::inject_modifiers(false, false, false);
    headless::frame(b.draw());
    EXPECT_FALSE(b.result);   // Alt+Enter is no submit
    EXPECT_EQ(b.text(), "xpasted");
    gfx::inject_key(gfx::Key_Enter, false);
    gfx::inject_key(gfx::Key_V, false);
    headless::frame(nullptr);
}

// Each editing key in each kind of field ------------------------------------------------------------

TEST_F(TextBox, EditingKeysInTheTextBoxAndThePasswordBox) {
    struct Press { gfx::Key key; bool ctrl = false, shift = false; };
    using K = gfx::Key;
    struct Case {
        const char* start;
        std::vector<Press> keys;
        const char* typed;          // typed after the keys
        const char* text;           // then in a text box ...
        const char* clip;           // ... and on the clipboard
        const char* secret_text;    // the same in the password box (nothing leaves it)
    } cases[] = {
        {"abcd", {{K::Key_Left, false, true}, {K::Key_Left, false, true}}, "X", "abX", "-", "abX"},
        {"old text", {{K::Key_A, true}}, "new", "new", "-", "new"},
        {"old text", {{K::Key_A, true}, {K::Key_C, true}}, "", "old text", "old text", "old text"},
        {"old text", {{K::Key_A, true}, {K::Key_X, true}}, "", "", "old text", "old text"},
        {"old", {{K::Key_A, true}, {K::Key_V, true}}, "", "-", "-", "-"},   // the clipboard's "-" replaces it
        {"one two", {{K::Key_Backspace, true}}, "", "one ", "-", "one "},
        {"one two", {{K::Key_Home}, {K::Key_Delete, true}}, "", " two", "-", " two"},
        {"one two", {{K::Key_Home, false, true}, {K::Key_Backspace}}, "", "", "-", ""},
        {"one two", {{K::Key_Left, true}}, "X", "one Xtwo", "-", "one Xtwo"},
        {"abc", {{K::Key_Left, false, true}, {K::Key_Left}}, "X", "abXc", "-", "abXc"},
        {"abc", {{K::Key_Home}, {K::Key_End, false, true}, {K::Key_Delete}}, "", "", "-", ""},
    };
    for (const Case& c : cases) {
        for (bool secret : {false, true}) {
            gfx::set_clipboard_text("-");
            Box<32> b(c.start);
            Password p;
            std::memcpy(p.secret.chars, c.start, std::strlen(c.start));
            p.secret.length = int64_t(std::strlen(c.start));
            headless::Draw draw = secret ? p.draw() : b.draw();
            headless::frame(draw);
            for (const Press& k : c.keys) headless::key(k.key, draw, k.ctrl, false, k.shift);
            if (*c.typed) headless::type(c.typed, draw);
            std::string where = std::string(c.start) + (secret ? " (password)" : "");
            EXPECT_EQ(secret ? p.text() : b.text(), secret ? c.secret_text : c.text) << where;
            EXPECT_EQ(gfx::clipboard_text(), secret ? "-" : c.clip) << where;
        }
    }
}

TEST_F(TextBox, TheViewScrollsToKeepTheCaretInSightAndTheMouseSelects) {
    Box<128> b;
    headless::type(std::string(60, 'w') + "END", b.draw());
    const gfx::Drawn_Text* t = headless::find_text_containing("END");
    ASSERT_NE(t, nullptr);
    float right = t->pos.x + gfx::measure_text(ui::font_of(ui::Face_Interface), t->text, 22, 1).x;
    EXPECT_LT(t->pos.x, box_rect.x);                       // the start scrolled out
    EXPECT_LE(right, box_rect.x + box_rect.w);             // the end, with the caret, in sight
    EXPECT_GT(right, box_rect.x + box_rect.w - 40);
    keys(b, gfx::Key_Home);
    EXPECT_FLOAT_EQ(headless::find_text_containing("END")->pos.x, box_rect.x + 9);

    // Pressed at the start and dragged past the end: everything selected, typing replaces it.
    std::strcpy(b.buffer, "drag me");
    gfx::inject_mouse_move(box_rect.x + 9, 110);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame(b.draw());
    headless::move(box_rect.x + box_rect.w + 200, 110, b.draw());
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(b.draw());
    headless::type("Z", b.draw());
    EXPECT_EQ(b.text(), "Z");
}

}  // namespace
