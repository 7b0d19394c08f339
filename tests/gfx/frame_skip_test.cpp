// Frames that would not change the screen are skipped: the pixels on screen at any t stay those
// of a frame drawn at that t, and input shows in the very next frame.
#include "gfx/gfx.h"
#include "support/files.h"
#include "support/headless.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <SDL.h>
#include <SDL_syswm.h>   // last: Xlib's macros (None, Bool) would break the headers above

namespace {

std::vector<unsigned char> frame_pixels() {
    std::vector<unsigned char> rgba;
    int w = 0, h = 0;
    EXPECT_TRUE(gfx::read_frame(rgba, w, h));
    return rgba;
}

// A screen with everything that moves by less than a pixel per frame: the skyline, a growing
// bar and a rectangle at fractional positions, over text.
void moving_screen(double t) {
    ui::draw_backdrop(t);
    ui::draw_text("TARNWICK", 64, 120, 72, ui::text_color, ui::Face_Title);
    gfx::fill_rect({100, 500, float(std::fmod(t * 7.3, 300.0)), 12.5f}, {255, 176, 32, 200});
    gfx::fill_rect({100.25f + float(std::fmod(t * 2.1, 1.0)), 530.6f, 30.3f, 10.2f}, ui::bad);
}

class Frame_Skip : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(headless::open()); }
    void TearDown() override {
        gfx::set_frame_skipping(true);
        gfx::set_test_time(-1);
    }
};

TEST_F(Frame_Skip, EveryFrameShowsWhatAFrameDrawnAtItsTimeShows) {
    const int frames = 60;
    const std::string dir = testing::TempDir();
    std::vector<std::vector<unsigned char>> shown[2];
    long drawn[2] = {};
    for (int skipping = 1; skipping >= 0; --skipping) {
        gfx::set_frame_skipping(skipping == 1);
        headless::frame([] { gfx::fill_rect({0, 0, 1100, 680}, ui::amber); });   // start apart
        long before = gfx::frames_drawn();
        for (int k = 0; k < frames; ++k) {
            double t = 3.0 + k / 60.0 + (k % 3) * 0.004;
            gfx::set_test_time(t);
            headless::frame([t] { moving_screen(t); });
            shown[skipping].push_back(frame_pixels());
        }
        drawn[skipping] = gfx::frames_drawn() - before;
        ASSERT_TRUE(gfx::save_screenshot((dir + "skip" + std::to_string(skipping) + ".png").c_str()));
    }
    EXPECT_EQ(drawn[0], frames);
    EXPECT_LT(drawn[1], frames / 2) << "most frames of a slow skyline are the same";
    EXPECT_GT(drawn[1], 5) << "the skyline still moves";
    for (int k = 0; k < frames; ++k) EXPECT_TRUE(shown[1][k] == shown[0][k]) << "frame " << k;
    EXPECT_EQ(support::slurp(dir + "skip1.png"), support::slurp(dir + "skip0.png"));
    std::remove((dir + "skip1.png").c_str());
    std::remove((dir + "skip0.png").c_str());
}

// The backdrop as it was first written: gradient, every block and then the overlay, drawn plainly,
// each layer scrolled by whole pixels on the front layer's steps (scale 1).
void plain_backdrop(double t) {
    gfx::fill_gradient_v({0, 0, 1100, 680}, {0x1C, 0x28, 0x40, 255}, {0x0C, 0x0E, 0x14, 255});
    for (int i = 0; i < 3; ++i) {
        double s = std::floor(std::floor(9 * t) * (i + 1) / 3);
        double shift = std::fmod(s, 20.0);
        double first = std::floor(s / 20);
        gfx::Color top{uint8_t(40 + 18 * i), uint8_t(70 + 12 * i), uint8_t(38 + 18 * i), 255};
        gfx::Color body{uint8_t(30 + 18 * i), uint8_t(38 + 18 * i), uint8_t(34 + 18 * i), 255};
        for (int c = 0; c < 57; ++c) {
            double u = c + first;
            double n = std::round(3 + 2 * std::sin(0.37 * u + 2 * i) + 3 * std::sin(0.11 * u + i));
            double y0 = 540 + 40 * i - 20 * n;
            for (double y = y0; y < 680; y += 20)
                gfx::fill_rect({float(20 * c - shift), float(y), 19, 19}, y == y0 ? top : body);
        }
    }
    gfx::fill_rect({0, 0, 1100, 680}, {0x08, 0x0A, 0x0E, 60});
}

TEST_F(Frame_Skip, BackdropFromAPictureHasThePixelsOfThePlainDrawing) {
    for (double t : {0.0, 0.05, 1.0 / 3, 6.66, 19.999, 123.456, 4000.25}) {
        headless::frame([t] { plain_backdrop(t); });
        std::vector<unsigned char> plain = frame_pixels();
        headless::frame([t] { ui::draw_backdrop(t); });
        EXPECT_TRUE(frame_pixels() == plain) << "t = " << t;
    }
}

// Panels painted with the backdrop (their fill in the picture, the blocks behind them drawn in
// the colour the fill leaves) give the pixels of the panels drawn over the plain backdrop.
TEST_F(Frame_Skip, PanelsInTheBackdropHaveThePixelsOfPanelsDrawnOverIt) {
    static const gfx::Rect panels[] = {{28, 90, 644, 562}, {692, 90, 380, 562}};
    const gfx::Color outline{255, 255, 255, 30};
    for (double t : {0.0, 1.0 / 3, 19.999, 4000.25}) {
        headless::frame([t] {
            plain_backdrop(t);
            for (const gfx::Rect& p : panels) {
                gfx::fill_rect(p, ui::panel_fill);
                gfx::draw_rect_lines(p, 1, {255, 255, 255, 30});
            }
        });
        std::vector<unsigned char> plain = frame_pixels();
        headless::frame([t, outline] {
            ui::draw_backdrop(t, panels);
            for (const gfx::Rect& p : panels) {
                EXPECT_TRUE(ui::panel_in_backdrop(p));
                gfx::draw_rect_lines(p, 1, outline);
            }
        });
        EXPECT_TRUE(frame_pixels() == plain) << "t = " << t;
    }
    headless::frame([] { ui::draw_backdrop(0); });
    EXPECT_FALSE(ui::panel_in_backdrop(panels[0]));   // a screen without them draws its own
}

TEST_F(Frame_Skip, InputIsDrawnInTheNextFrame) {
    static char box[32] = "player";
    gfx::set_test_time(10.2);   // a still screen, the caret shown
    auto screen = [] {
        ui::draw_backdrop(10.2);
        ui::set_focus({660, 198, 352, 38}, false);
        ui::text_box({660, 198, 352, 38}, box, sizeof box);
        ui::button({660, 300, 352, 44}, "Sign in");
    };
    headless::frame(screen);
    long still = gfx::frames_drawn();
    headless::frame(screen);
    EXPECT_EQ(gfx::frames_drawn(), still) << "nothing changed: no frame drawn";

    struct Case { const char* what; std::function<void()> input; };
    const Case cases[] = {
        {"typed", [] { gfx::inject_text("x"); }},
        {"hover", [] { gfx::inject_mouse_move(700, 320); }},
        {"backspace", [] { gfx::inject_key(gfx::Key_Backspace, true); }},
    };
    for (const Case& c : cases) {
        long before = gfx::frames_drawn();
        c.input();
        headless::frame(screen);
        EXPECT_EQ(gfx::frames_drawn(), before + 1) << c.what;
        std::vector<unsigned char> after = frame_pixels();
        gfx::set_frame_skipping(false);
        headless::frame(screen);
        gfx::set_frame_skipping(true);
        EXPECT_TRUE(frame_pixels() == after) << c.what;
    }
    gfx::inject_key(gfx::Key_Backspace, false);
    headless::frame(screen);
}

#if defined(SDL_VIDEO_DRIVER_X11)
// What X11 says when other windows cover ours whole, or uncover it.
void send_visibility(int visibility) {
    SDL_SysWMmsg msg{};
    SDL_VERSION(&msg.version);
    msg.subsystem = SDL_SYSWM_X11;
    msg.msg.x11.event.type = VisibilityNotify;
    msg.msg.x11.event.xvisibility.state = visibility;
    SDL_Event e{};
    e.type = SDL_SYSWMEVENT;
    e.syswm.msg = &msg;
    SDL_PushEvent(&e);   // copies the message
}

TEST_F(Frame_Skip, ACoveredWindowDrawsNothingUntilUncovered) {
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);   // what the window asks for on X11
    auto screen_at = [](double t) { return [t] { moving_screen(t); }; };
    headless::frame(screen_at(1));
    send_visibility(VisibilityFullyObscured);
    long before = gfx::frames_drawn();
    for (int k = 0; k < 20; ++k) headless::frame(screen_at(2 + k));
    EXPECT_EQ(gfx::frames_drawn(), before) << "frames that change everything, and none drawn";
    EXPECT_TRUE(gfx::window_unseen());

    send_visibility(VisibilityPartiallyObscured);
    headless::frame(screen_at(2));
    EXPECT_FALSE(gfx::window_unseen());
    EXPECT_EQ(gfx::frames_drawn(), before + 1);
    std::vector<unsigned char> uncovered = frame_pixels();
    gfx::set_frame_skipping(false);
    headless::frame(screen_at(2));
    EXPECT_TRUE(frame_pixels() == uncovered) << "the frames skipped while covered are made up for";
}
#endif

}  // namespace
