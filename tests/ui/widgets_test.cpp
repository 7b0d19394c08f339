// Buttons, the widget lock and the wrapping text block.
#include "support/headless.h"
#include "ui/fonts.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void expect_color(gfx::Color got, gfx::Color want, int tolerance = 1) {
    EXPECT_NEAR(got.r, want.r, tolerance);
    EXPECT_NEAR(got.g, want.g, tolerance);
    EXPECT_NEAR(got.b, want.b, tolerance);
}

class Widgets : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(headless::open());
        ui::unlock();
        gfx::inject_mouse_move(1099, 679);
        headless::frame(nullptr);
    }
};

constexpr gfx::Rect ok_rect{100, 100, 200, 40};

// Buttons ---------------------------------------------------------------------------------------

TEST_F(Widgets, ButtonFiresOnTheReleaseOverIt) {
    std::vector<bool> fired;
    headless::click(150, 120, [&] { fired.push_back(ui::button(ok_rect, "OK")); });
    EXPECT_EQ(fired, (std::vector<bool>{false, true}));
}

TEST_F(Widgets, ButtonIgnoresAReleaseElsewhere) {
    bool fired = false;
    auto draw = [&] { fired |= ui::button(ok_rect, "OK"); };
    gfx::inject_mouse_move(150, 120);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame(draw);
    gfx::inject_mouse_move(400, 300);
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(draw);
    EXPECT_FALSE(fired);
    gfx::inject_mouse_move(150, 120);
    gfx::inject_mouse_button(gfx::Mouse_Right, true);
    gfx::inject_mouse_button(gfx::Mouse_Right, false);
    headless::frame(draw);
    EXPECT_FALSE(fired);   // not the right button
}

TEST_F(Widgets, ButtonBrightensUnderThePointer) {
    auto draw = [] { ui::button(ok_rect, "OK"); };
    headless::frame(draw);
    expect_color(headless::pixel(105, 105), ui::amber, 0);
    headless::move(150, 120, draw);
    expect_color(headless::pixel(105, 105), {255, 185, 58, 255}, 0);   // ColorBrightness 0.12
    EXPECT_TRUE(ui::hot());
}

TEST_F(Widgets, ButtonLabelIsCentredInTheTitleFace) {
    headless::frame([] { ui::button(ok_rect, "Sign in"); });
    const gfx::Drawn_Text* t = headless::find_text("Sign in");
    ASSERT_NE(t, nullptr);
    float size = 0.55f * ok_rect.h;
    EXPECT_FLOAT_EQ(t->size, size);
    EXPECT_EQ(t->font, ui::font_of(ui::Face_Title));
    gfx::Vec2 m = ui::measure_text("Sign in", size, ui::Face_Title);
    EXPECT_NEAR(t->pos.x + m.x / 2, ok_rect.x + ok_rect.w / 2, 0.01);
    EXPECT_NEAR(t->pos.y + size / 2, ok_rect.y + ok_rect.h / 2, 0.01);
    EXPECT_EQ(t->color.r, ui::dark_text.r);
}

TEST_F(Widgets, NavigationButtonShowsHoverAndFires) {
    constexpr gfx::Rect r{456, 14, 120, 36};
    std::vector<bool> fired;
    auto draw = [&] { fired.push_back(ui::nav_button(r, "Maps")); };
    headless::frame(draw);
    const gfx::Drawn_Text* t = headless::find_text("Maps");
    ASSERT_NE(t, nullptr);
    EXPECT_FLOAT_EQ(t->pos.x, r.x + 16);
    EXPECT_NEAR(t->size, 0.62f * r.h, 1e-4);
    EXPECT_NEAR(t->pos.y + t->size / 2, r.y + r.h / 2, 1e-4);
    EXPECT_EQ(t->color.r, ui::text_color.r);
    expect_color(headless::pixel(r.x + 1, r.y + 2), {0, 0, 0, 255}, 0);

    headless::click(500, 30, draw);
    EXPECT_EQ(fired, (std::vector<bool>{false, false, true}));
    t = headless::find_text("Maps");
    EXPECT_FLOAT_EQ(t->pos.x, r.x + 22);
    EXPECT_EQ(t->color.r, 255);
    EXPECT_EQ(t->color.b, 255);
    expect_color(headless::pixel(int(r.x) + 1, int(r.y) + 2), ui::amber, 0);   // the bar
    expect_color(headless::pixel(int(r.x) + 6, int(r.y) + 2), {14, 14, 14, 255});
}

TEST_F(Widgets, DisabledNavigationButtonNeverReacts) {
    constexpr gfx::Rect r{456, 14, 120, 36};
    bool fired = false;
    auto draw = [&] { fired |= ui::nav_button(r, "Check files", false); };
    headless::click(500, 30, draw);
    EXPECT_FALSE(fired);
    EXPECT_FALSE(ui::hot());
    const gfx::Drawn_Text* t = headless::find_text("Check files");
    ASSERT_NE(t, nullptr);
    EXPECT_FLOAT_EQ(t->pos.x, r.x + 16);
    EXPECT_EQ(t->color.r, ui::grey.r);
    expect_color(headless::pixel(int(r.x) + 1, int(r.y) + 2), {0, 0, 0, 255}, 0);
}

TEST_F(Widgets, LockedButtonsIgnoreThePointer) {
    bool a = false, b = false;
    auto draw = [&] {
        a |= ui::button(ok_rect, "OK");
        b |= ui::nav_button({100, 200, 200, 40}, "Go");
    };
    ui::lock();
    headless::click(150, 120, draw);
    EXPECT_FALSE(a);
    EXPECT_FALSE(ui::hot());
    expect_color(headless::pixel(105, 105), ui::amber, 0);   // no hover look either
    ui::lock();
    headless::click(150, 220, draw);
    EXPECT_FALSE(b);
    ui::unlock();
    headless::click(150, 120, draw);
    EXPECT_TRUE(a);
    EXPECT_TRUE(ui::clicked());
}

TEST_F(Widgets, ForgottenLockDropsTheFrameAfterTheRelease) {
    bool fired = false;
    auto draw = [&] { fired |= ui::button(ok_rect, "OK"); };
    // A drag starts elsewhere, holds the lock and ends over the button.
    gfx::inject_mouse_move(600, 600);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame([&] { ui::lock(); draw(); });
    headless::move(150, 120, draw);
    EXPECT_TRUE(ui::locked());
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(draw);
    EXPECT_FALSE(fired);             // the drag's release is not a click
    EXPECT_TRUE(ui::locked());       // the holder may still release it on this frame
    headless::frame(draw);
    EXPECT_FALSE(ui::locked());
    headless::click(150, 120, draw);
    EXPECT_TRUE(fired);
}

TEST_F(Widgets, HotAndClickedResetEachFrame) {
    headless::click(150, 120, [] { ui::button(ok_rect, "OK"); });
    EXPECT_TRUE(ui::hot());
    EXPECT_TRUE(ui::clicked());
    headless::frame([] { ui::button({500, 500, 10, 10}, "far"); });
    EXPECT_FALSE(ui::hot());
    EXPECT_FALSE(ui::clicked());
}

// Wrapping --------------------------------------------------------------------------------------

std::vector<gfx::Drawn_Text> lines() { return gfx::drawn_texts(); }

TEST_F(Widgets, WrapBreaksBetweenWordsWithinTheWidth) {
    float width = ui::measure_text("alpha beta", 16, ui::Face_Body).x;   // exactly fits
    float height = 0;
    headless::frame([&] { height = ui::wrap_text("alpha beta gamma", 48, 144, width, 16, ui::grey); });
    auto l = lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].text, "alpha beta");
    EXPECT_EQ(l[1].text, "gamma");
    EXPECT_FLOAT_EQ(l[0].pos.x, 48);
    EXPECT_FLOAT_EQ(l[0].pos.y, 144);
    EXPECT_FLOAT_EQ(l[1].pos.y, 144 + 22);
    EXPECT_FLOAT_EQ(height, 2 * 22);
    EXPECT_EQ(l[0].font, ui::font_of(ui::Face_Body));
    EXPECT_EQ(l[1].color.r, ui::grey.r);

    headless::frame([&] { height = ui::wrap_text("alpha beta gamma", 0, 0, width - 0.5f, 16, ui::grey); });
    l = lines();
    ASSERT_EQ(l.size(), 3u);   // one pixel too narrow: every word alone
    EXPECT_FLOAT_EQ(height, 3 * 22);
}

TEST_F(Widgets, WrapJoinsWordsWithOneSpaceWhateverTheWhiteSpace) {
    float height = 0;
    headless::frame([&] { height = ui::wrap_text("  one\n\ntwo \t three  ", 0, 0, 1000, 15, ui::grey); });
    auto l = lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].text, "one two three");
    EXPECT_FLOAT_EQ(height, 21);
}

TEST_F(Widgets, WrapGivesAnOverlongWordALineOfItsOwn) {
    headless::frame([] { ui::wrap_text("a incomprehensibilities b c", 0, 0, 40, 16, ui::grey); });
    auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].text, "a");
    EXPECT_EQ(l[1].text, "incomprehensibilities");
    EXPECT_EQ(l[2].text, "b c");
}

TEST_F(Widgets, WrapBreaksTextWithoutSpacesBetweenCjkCharactersButNotBeforeClosingMarks) {
    // "The new map is out. Try it." in Japanese: no spaces, and the full stop stays on its line.
    const std::string text = "\u65B0\u3057\u3044\u30DE\u30C3\u30D7\u3002\u904A\u3093\u3067";
    float width = ui::measure_text("\u65B0\u3057\u3044\u30DE\u30C3\u30D7", 16, ui::Face_Body).x;
    headless::frame([&] { ui::wrap_text(text, 0, 0, width, 16, ui::grey); });
    auto l = lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].text, "\u65B0\u3057\u3044\u30DE\u30C3");   // the mark takes the last character with it
    EXPECT_EQ(l[1].text, "\u30D7\u3002\u904A\u3093\u3067");

    headless::frame([&] { ui::wrap_text("Tarnwick\u306E\u30DE\u30C3\u30D7 v2", 0, 0, 1000, 16, ui::grey); });
    l = lines();
    ASSERT_EQ(l.size(), 1u);   // no space is added where the text had none
    EXPECT_EQ(l[0].text, "Tarnwick\u306E\u30DE\u30C3\u30D7 v2");
}

TEST_F(Widgets, WrapOfNothingTakesNoHeight) {
    float a = -1, b = -1;
    headless::frame([&] {
        a = ui::wrap_text("", 0, 0, 300, 16, ui::grey);
        b = ui::wrap_text(" \n\t ", 0, 0, 300, 16, ui::grey);
    });
    EXPECT_FLOAT_EQ(a, 0);
    EXPECT_FLOAT_EQ(b, 0);
    EXPECT_TRUE(lines().empty());
}

TEST_F(Widgets, CaptionIsSmallGreyInterfaceText) {
    headless::frame([] { ui::caption("PASSWORD", 660, 250); });
    const gfx::Drawn_Text* t = headless::find_text("PASSWORD");
    ASSERT_NE(t, nullptr);
    EXPECT_FLOAT_EQ(t->size, 14);
    EXPECT_EQ(t->color.r, ui::grey.r);
    EXPECT_EQ(t->font, ui::font_of(ui::Face_Interface));
}

}  // namespace
