// The theme's fonts, style table, colour helpers, text spacing rule and the backdrop.
#include "support/headless.h"
#include "ui/fonts.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

class Theme : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(headless::open()); }
    void TearDown() override { ui::load_theme(); }   // undo any style changes
};

TEST_F(Theme, ThreeDistinctFacesAreLoaded) {
    ASSERT_TRUE(ui::fonts_loaded());
    int a = ui::font_of(ui::Face_Interface), b = ui::font_of(ui::Face_Title),
        c = ui::font_of(ui::Face_Body);
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    EXPECT_GE(c, 0);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    // Different typefaces measure differently.
    EXPECT_NE(gfx::measure_text(a, "Tarnwick", 40, 0).x, gfx::measure_text(c, "Tarnwick", 40, 0).x);
}

TEST_F(Theme, StyleTableHoldsTheLaunchersValues) {
    EXPECT_EQ(ui::style(ui::TEXTBOX, ui::TEXT_SIZE), 22);
    EXPECT_EQ(ui::style(ui::TEXTBOX, ui::TEXT_SPACING), 1);
    EXPECT_EQ(ui::style(ui::TEXTBOX, ui::BORDER_WIDTH), 1);
    EXPECT_EQ(ui::style(ui::TEXTBOX, ui::TEXT_PADDING), 8);
    EXPECT_EQ(ui::style(ui::TEXTBOX, ui::TEXT_ALIGNMENT), ui::TEXT_ALIGN_LEFT);
    EXPECT_EQ(ui::style(ui::BUTTON, ui::TEXT_ALIGNMENT), ui::TEXT_ALIGN_CENTER);
    EXPECT_EQ(uint32_t(ui::style(ui::TEXTBOX, ui::BORDER_COLOR_PRESSED)), 0xFFB020FFu);
    EXPECT_EQ(uint32_t(ui::style(ui::TEXTBOX, ui::BASE_COLOR_PRESSED)), 0xFFB02046u);
    EXPECT_EQ(uint32_t(ui::style(ui::SLIDER, ui::BASE_COLOR_PRESSED)), 0xFFB020FFu);
    EXPECT_EQ(uint32_t(ui::style(ui::LABEL, ui::TEXT_COLOR_NORMAL)), 0x929490FFu);
    EXPECT_EQ(uint32_t(ui::style(ui::BUTTON, ui::TEXT_COLOR_NORMAL)), 0xEAE8E2FFu);
    EXPECT_EQ(uint32_t(ui::style(ui::TEXTBOX, ui::BORDER_COLOR_DISABLED)), 0x323436FFu);
    EXPECT_EQ(ui::style(ui::SLIDER, ui::SLIDER_WIDTH), 6);
    EXPECT_EQ(ui::style(ui::CHECKBOX, ui::CHECK_PADDING), 4);
}

TEST_F(Theme, StyleColourSplitsRrggbbaa) {
    gfx::Color c = ui::style_color(ui::DEFAULT, ui::BACKGROUND_COLOR);   // 0x101316E4
    EXPECT_EQ(c.r, 0x10);
    EXPECT_EQ(c.g, 0x13);
    EXPECT_EQ(c.b, 0x16);
    EXPECT_EQ(c.a, 0xE4);
}

TEST_F(Theme, DefaultsReachEveryControlAndLaterOverridesWin) {
    ui::set_style(ui::LABEL, ui::TEXT_PADDING, 3);
    EXPECT_EQ(ui::style(ui::LABEL, ui::TEXT_PADDING), 3);
    EXPECT_EQ(ui::style(ui::BUTTON, ui::TEXT_PADDING), 8);
    ui::set_style(ui::DEFAULT, ui::TEXT_PADDING, 5);   // a common property set on DEFAULT
    EXPECT_EQ(ui::style(ui::LABEL, ui::TEXT_PADDING), 5);
    EXPECT_EQ(ui::style(ui::STATUSBAR, ui::TEXT_PADDING), 5);
    ui::set_style(ui::DEFAULT, ui::TEXT_SIZE, 30);     // DEFAULT-only: read through
    EXPECT_EQ(ui::style(ui::TEXTBOX, ui::TEXT_SIZE), 30);
    ui::load_theme();
    EXPECT_EQ(ui::style(ui::LABEL, ui::TEXT_PADDING), 8);
    EXPECT_EQ(ui::style(ui::TEXTBOX, ui::TEXT_SIZE), 22);
}

TEST(Brightness, FollowsRaylib) {
    gfx::Color up = ui::brightness(ui::amber, 0.12f);
    EXPECT_EQ(up.r, 255);
    EXPECT_EQ(up.g, 185);
    EXPECT_EQ(up.b, 58);
    EXPECT_EQ(up.a, 255);
    gfx::Color down = ui::brightness({100, 50, 201, 7}, -0.5f);
    EXPECT_EQ(down.r, 50);
    EXPECT_EQ(down.g, 25);
    EXPECT_EQ(down.b, 100);
    EXPECT_EQ(down.a, 7);
    gfx::Color white = ui::brightness({10, 20, 30, 255}, 3);   // clamped to 1
    EXPECT_EQ(white.r, 255);
    EXPECT_EQ(white.b, 255);
}

TEST_F(Theme, LetterSpacingDependsOnTheFace) {
    auto extra = [](int face, float size) {
        return ui::measure_text("AB", size, face).x -
               gfx::measure_text(ui::font_of(face), "AB", size, 0).x;
    };
    EXPECT_NEAR(extra(ui::Face_Title, 50), 3.0, 1e-3);
    EXPECT_NEAR(extra(ui::Face_Interface, 50), 1.0, 1e-3);
    EXPECT_NEAR(extra(ui::Face_Body, 50), 1.0, 1e-3);
    headless::frame([] { ui::draw_text("TARNWICK", 28, 16, 34, ui::text_color, ui::Face_Title); });
    const gfx::Drawn_Text* t = headless::find_text("TARNWICK");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->font, ui::font_of(ui::Face_Title));
    EXPECT_FLOAT_EQ(t->size, 34);
}

// Backdrop --------------------------------------------------------------------------------------

// Blending rounds differently per renderer (the software one truncates): allow 2 per channel.
gfx::Color over(gfx::Color below, gfx::Color above, int alpha) {
    auto mix = [alpha](int b, int a) { return uint8_t(std::lround((a * alpha + b * (255 - alpha)) / 255.0)); };
    return {mix(below.r, above.r), mix(below.g, above.g), mix(below.b, above.b), 255};
}

gfx::Color gradient_at(int y) {
    double f = (y + 0.5) / 680.0;
    auto mix = [f](int top, int bottom) { return uint8_t(std::lround(top + (bottom - top) * f)); };
    return {mix(0x1C, 0x0C), mix(0x28, 0x0E), mix(0x40, 0x14), 255};
}

constexpr gfx::Color overlay{0x08, 0x0A, 0x0E, 255};

#define expect_near(got, want, tolerance) \
    do { SCOPED_TRACE(#got); expect_near_at(got, want, tolerance); } while (0)

void expect_near_at(gfx::Color got, gfx::Color want, int tolerance) {
    EXPECT_NEAR(got.r, want.r, tolerance);
    EXPECT_NEAR(got.g, want.g, tolerance);
    EXPECT_NEAR(got.b, want.b, tolerance);
}

TEST_F(Theme, BackdropAtTimeZero) {
    headless::frame([] { ui::draw_backdrop(0); });
    // The gradient's top under the overlay.
    expect_near(headless::pixel(0, 0), over({0x1C, 0x28, 0x40, 255}, overlay, 60), 2);
    expect_near(headless::pixel(205, 405), over(gradient_at(405), overlay, 60), 2);
    // Skyline: the back layer's top block, the middle layer's top block and the one below it,
    // the front layer's top block, and a one-pixel gap between blocks.
    expect_near(headless::pixel(65, 425), over({40, 70, 38, 255}, overlay, 60), 2);
    expect_near(headless::pixel(5, 445), over({58, 82, 56, 255}, overlay, 60), 2);
    expect_near(headless::pixel(5, 485), over({48, 56, 52, 255}, overlay, 60), 2);
    expect_near(headless::pixel(5, 545), over({76, 94, 74, 255}, overlay, 60), 2);
    expect_near(headless::pixel(19, 665), over(gradient_at(665), overlay, 60), 2);
}

TEST_F(Theme, BackdropScrollsEachLayerAtItsOwnSpeed) {
    // After one second the front layer has moved 9 px left: its block now covers x 11..29.
    headless::frame([] { ui::draw_backdrop(1.0); });
    expect_near(headless::pixel(19, 665), over({66, 74, 70, 255}, overlay, 60), 2);
    expect_near(headless::pixel(5, 545), over({76, 94, 74, 255}, overlay, 60), 2);
    // After 20/3 s the middle layer has moved two whole columns and covers what the front
    // layer's top showed at time zero.
    headless::frame([] { ui::draw_backdrop(20.0 / 3.0); });
    expect_near(headless::pixel(5, 545), over({48, 56, 52, 255}, overlay, 60), 2);
}

}  // namespace
