// Every tab drawn at scale 2 against scale 1: the same layout at twice the pixels, with text
// rasterised at the larger size rather than stretched.
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "support/folders.h"
#include "support/headless.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

using namespace launcher;
namespace fs = std::filesystem;

namespace {

struct Shot {
    std::vector<unsigned char> rgba;
    int w = 0, h = 0;
    int at(int x, int y, int c = -1) const {   // a channel, or the brightness
        const unsigned char* p = &rgba[(size_t(y) * size_t(w) + size_t(x)) * 4];
        return c >= 0 ? p[c] : (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000;
    }
};

Shot shot_at(float scale, Launcher& state) {
    EXPECT_TRUE(headless::reopen_at_scale(scale));
    headless::frame([&] { draw_screens(state); });
    Shot s;
    EXPECT_TRUE(gfx::read_frame(s.rgba, s.w, s.h));
    return s;
}

// Steps between neighbours past half the brightness range: a smoothly stretched frame has none.
long hard_edges(const Shot& s) {
    long n = 0;
    for (int y = 0; y + 1 < s.h; ++y)
        for (int x = 0; x + 1 < s.w; ++x)
            n += (std::abs(s.at(x, y) - s.at(x + 1, y)) > 128) + (std::abs(s.at(x, y) - s.at(x, y + 1)) > 128);
    return n;
}

TEST(Scale_Shots, EachTabAtScaleTwoIsTheSameLayoutWithSharperText) {
    fs::path root = support::test_folder("scale-shots");
    support::use_data_home(root / "data");
    Launcher state;
    patcher_init(state.patcher, (root / "install").string(), "", "http://127.0.0.1:9");
    state.checked = true;
    gfx::set_test_time(3);   // the same moment of every animation at both scales
    for (Tab tab : {Tab::Sign_In, Tab::Play, Tab::Maps, Tab::Account}) {
        SCOPED_TRACE(int(tab));
        state.tab = tab;
        state.session.phase = tab == Tab::Sign_In ? backend::Session_Phase{} : backend::Session_Phase::Signed_In;
        Shot one = shot_at(1, state), two = shot_at(2, state);
        ASSERT_TRUE(one.w == 1100 && one.h == 680 && two.w == 2200 && two.h == 1360);
        // Layout: each 2 x 2 block of the scale-2 frame averages to the scale-1 pixel. Sharpness:
        // near twice the hard edges of the scale-1 frame (crisp text gives 1.7 to 1.9 times,
        // text stretched from scale 1 0.7 to 1.4), and blocks with detail inside (a frame
        // enlarged pixel by pixel has none).
        double diff = 0;
        long detailed = 0;
        for (int y = 0; y < one.h; ++y)
            for (int x = 0; x < one.w; ++x) {
                for (int c = 0; c < 3; ++c)
                    diff += std::abs((two.at(2 * x, 2 * y, c) + two.at(2 * x + 1, 2 * y, c) + two.at(2 * x, 2 * y + 1, c) +
                                      two.at(2 * x + 1, 2 * y + 1, c)) / 4.0 - one.at(x, y, c));
                auto [lo, hi] = std::minmax({two.at(2 * x, 2 * y), two.at(2 * x + 1, 2 * y), two.at(2 * x, 2 * y + 1),
                                             two.at(2 * x + 1, 2 * y + 1)});
                detailed += hi - lo > 64;
            }
        long edges_one = hard_edges(one);
        EXPECT_LT(diff / (one.w * one.h * 3), 3.0);
        EXPECT_GT(hard_edges(two), edges_one * 16 / 10);
        EXPECT_GT(detailed, edges_one / 4);
    }
    gfx::set_test_time(-1);
    headless::reopen_at_scale(0);
    patcher_destroy(state.patcher);
    fs::remove_all(root);
    paths::reset_user_dir_for_tests();
}

}  // namespace
