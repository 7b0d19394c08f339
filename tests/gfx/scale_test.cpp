// The display scale: chosen from the display, logical pixels to window pixels and the mouse
// back, and frame skipping at fractional scales.
#include "gfx/state.h"
#include "support/headless.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(DisplayScale, ComesFromGdkScaleElseTheDpiInQuarterSteps) {
    struct Case { float dpi; const char* gdk; float want; };
    for (const Case& c : {Case{96, nullptr, 1}, {NAN, nullptr, 1}, {72, nullptr, 1}, {110, nullptr, 1.25f},
                          {192, nullptr, 2}, {2000, nullptr, 4}, {96, "2", 2}, {192, "1", 1}, {96, "2x", 1}, {96, "9", 1}})
        EXPECT_EQ(gfx::scale_for_display(c.dpi, c.gdk), c.want) << c.dpi << " " << (c.gdk ? c.gdk : "-");
}

TEST(DisplayScale, LogicalRectanglesMapToWindowPixels) {
    struct Case { SDL_Rect in; float scale; bool outward; SDL_Rect want; };
    for (const Case& c : {Case{{3, 4, 5, 6}, 1, false, {3, 4, 5, 6}}, {{3, 4, 5, 6}, 2, true, {6, 8, 10, 12}},
                          {{1, 1, 3, 3}, 1.25f, false, {1, 1, 4, 4}}, {{1, 1, 3, 3}, 1.5f, true, {1, 1, 5, 5}},
                          {{1, 1, 1, 1}, 1.5f, false, {2, 2, 1, 1}}, {{-2, -2, 1, 1}, 2, false, {-4, -4, 2, 2}}}) {
        SDL_Rect got = gfx::to_pixels(c.in, c.scale, c.outward);
        EXPECT_TRUE(got.x == c.want.x && got.y == c.want.y && got.w == c.want.w && got.h == c.want.h)
            << c.in.x << "," << c.in.y << " at " << c.scale << ": " << got.x << "," << got.y << " " << got.w << "x" << got.h;
    }
}

TEST(DisplayScale, TheMouseInWindowPixelsIsReadInLogicalPixels) {
    ASSERT_TRUE(headless::reopen_at_scale(2));
    struct Case { int x, y; float want_x, want_y; };
    for (const Case& c : {Case{0, 0, 0, 0}, {301, 99, 150.5f, 49.5f}, {2199, 1359, 1099.5f, 679.5f}}) {
        SDL_Event e{};
        e.type = SDL_MOUSEMOTION;
        e.motion.x = c.x;
        e.motion.y = c.y;
        SDL_PushEvent(&e);
        headless::frame({});
        EXPECT_EQ(gfx::input().mouse.x, c.want_x);
        EXPECT_EQ(gfx::input().mouse.y, c.want_y);
    }
    headless::reopen_at_scale(0);
}

// Skipping decides on window pixels: with it, each frame on screen is the one drawn without it.
TEST(DisplayScale, SkippedFramesShowWhatDrawnFramesShow) {
    ASSERT_TRUE(headless::reopen_at_scale(1.5f));
    std::vector<std::vector<unsigned char>> shown[2];
    for (int skipping = 0; skipping < 2; ++skipping) {
        gfx::set_frame_skipping(skipping == 1);
        for (int k = 0; k < 30; ++k) {
            double t = 3.0 + k / 60.0 + (k % 3) * 0.004;
            gfx::set_test_time(t);
            headless::frame([t] {
                ui::draw_backdrop(t);
                ui::draw_text("TARNWICK", 64, 120, 72, ui::text_color, ui::Face_Title);
                gfx::begin_clip({90.5f, 490, 400, 60});
                gfx::fill_rect({100.25f + float(std::fmod(t * 2.1, 1.0)), 530.6f, 30.3f, 10.2f}, ui::bad);
                gfx::end_clip();
            });
            int w = 0, h = 0;
            shown[skipping].emplace_back();
            ASSERT_TRUE(gfx::read_frame(shown[skipping].back(), w, h));
        }
    }
    for (size_t k = 0; k < shown[0].size(); ++k) EXPECT_TRUE(shown[1][k] == shown[0][k]) << "frame " << k;
    gfx::set_test_time(-1);
    headless::reopen_at_scale(0);
}

}  // namespace
