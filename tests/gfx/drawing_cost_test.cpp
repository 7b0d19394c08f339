// What a frame costs: only the pixels that change are drawn again, a window no one can see draws
// nothing, and the backdrop's cached picture is painted again at a new scale.
#include "gfx/state.h"
#include "support/headless.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

const gfx::Rect panels[] = {{28, 90, 644, 562}, {692, 90, 380, 562}};

// The window pixels the second frame redraws after the first: the whole window when the frame
// list cannot tell.
long redrawn_pixels(const headless::Draw& first, const headless::Draw& second, SDL_Rect& bounds) {
    gfx::Window_State& s = gfx::state();
    headless::frame(first);
    gfx::Frame_List before = s.shown;
    gfx::begin_frame();
    ui::begin_frame();
    second();
    std::vector<SDL_Rect> areas;
    bool partial = gfx::changed_areas(s.list, before, areas);
    gfx::end_frame();
    if (!partial) areas.assign(1, SDL_Rect{0, 0, s.pixel_width, s.pixel_height});
    long pixels = 0;
    bounds = areas[0];
    for (const SDL_Rect& r : areas) {
        pixels += long(r.w) * r.h;
        SDL_UnionRect(&bounds, &r, &bounds);
    }
    return pixels;
}

TEST(DrawingCost, AFrameRedrawsOnlyWhatChanged) {
    for (float scale : {1.0f, 2.0f}) {
        ASSERT_TRUE(headless::reopen_at_scale(scale));
        const long window = long(1100 * scale) * long(680 * scale);
        struct Case {
            const char* what;
            std::function<void()> first, second;
            SDL_Rect within;   // logical pixels
            long at_most;      // share of the window, in thousandths
        };
        auto bar = [](float w) {
            return [w] {
                ui::draw_backdrop(10);
                gfx::fill_rect({100, 300, 400, 12}, {40, 40, 40, 255});
                gfx::fill_rect({100, 300, w, 12}, {255, 176, 32, 255});
            };
        };
        const Case cases[] = {
            {"a progress bar grows", bar(120), bar(121.5f), {100, 300, 400, 12}, 10},
            {"the skyline steps", [] { ui::draw_backdrop(10); }, [] { ui::draw_backdrop(10.12); },
             {0, 0, 1100, 680}, 100},
            // Panels painted with the backdrop: the step still redraws only the blocks' edges.
            {"the skyline steps behind panels", [] { ui::draw_backdrop(10, panels); },
             [] { ui::draw_backdrop(10.12, panels); }, {0, 0, 1100, 680}, 100},
        };
        for (const Case& c : cases) {
            SDL_Rect bounds{};
            long pixels = redrawn_pixels(c.first, c.second, bounds);
            SDL_Rect within = gfx::to_pixels(c.within, scale, true);
            SDL_Rect both;
            SDL_UnionRect(&within, &bounds, &both);
            EXPECT_TRUE(SDL_RectEquals(&both, &within)) << c.what << " at scale " << scale;
            EXPECT_GT(pixels, 0) << c.what;
            EXPECT_LE(pixels * 1000, window * c.at_most) << c.what << " at scale " << scale;
        }
    }
    headless::reopen_at_scale(0);
}

TEST(DrawingCost, AHiddenWindowDrawsNothingAndIsPaintedWhenShownAgain) {
    ASSERT_TRUE(headless::open());
    SDL_Window* window = gfx::state().window;
    auto screen = [](gfx::Color c) { return [c] { gfx::fill_rect({0, 0, 1100, 680}, c); }; };
    headless::frame(screen({10, 20, 30, 255}));
    SDL_HideWindow(window);
    long drawn = gfx::frames_drawn();
    for (int k = 0; k < 5; ++k) headless::frame(screen({200, 20, 30, 255}));
    EXPECT_EQ(gfx::frames_drawn(), drawn);
    EXPECT_EQ(headless::pixel(500, 300).r, 10) << "the frame shown is kept";
    SDL_ShowWindow(window);
    headless::frame(screen({200, 20, 30, 255}));
    EXPECT_EQ(gfx::frames_drawn(), drawn + 1);
    EXPECT_EQ(headless::pixel(500, 300).r, 200);
}

// The backdrop's gradient is a picture painted once; at another scale it must be painted again
// at the window's new size, not stretched or left at the old one.
TEST(DrawingCost, TheBackdropPictureIsPaintedAgainAtANewScale) {
    std::vector<unsigned char> plain, cached;
    int w = 0, h = 0;
    for (float scale : {1.0f, 2.0f, 1.0f}) {
        ASSERT_TRUE(headless::reopen_at_scale(scale));
        auto gradient = [] {
            gfx::fill_gradient_v({0, 0, 1100, 680}, {0x1C, 0x28, 0x40, 255}, {0x0C, 0x0E, 0x14, 255});
        };
        headless::frame(gradient);
        ASSERT_TRUE(gfx::read_frame(plain, w, h));
        headless::frame([&] { ASSERT_TRUE(gfx::draw_picture(5, gradient)); });
        ASSERT_TRUE(gfx::read_frame(cached, w, h));
        EXPECT_EQ(w, int(1100 * scale));
        EXPECT_TRUE(cached == plain) << "scale " << scale;
    }
    headless::reopen_at_scale(0);
}

}  // namespace
