// Every tab drawn at scale 2 against scale 1: the same layout at twice the pixels, with text
// rasterised at the larger size rather than stretched.
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "support/folders.h"
#include "support/headless.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

// WCAG 2.1's contrast between two colours.
double luminance(int r, int g, int b) {
    auto lin = [](int c) {
        double v = c / 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
}
double contrast(double a, double b) { return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05); }

TEST(Scale_Shots, EveryTextAndControlEdgeKeepsItsContrastAtBothScales) {
    fs::path root = support::test_folder("contrast");
    support::use_data_home(root / "data");
    Launcher state;
    patcher_init(state.patcher, (root / "install").string(), "", "http://127.0.0.1:9");
    state.checked = true;
    state.offline.offered = true;   // the sign-in screen with its countdown and footer
    state.error = "Couldn't reach Tarnwick. Check your connection.";
    state.notice = "Tarnwick is installed and ready to play.";
    state.notice_good = true;
    state.news.push_back({"Winter update", "Dec 1", "New maps, a faster launcher and fixes all over."});
    struct Screen { Tab tab; bool downloading; } screens[] = {
        {Tab::Sign_In, false}, {Tab::Play, false}, {Tab::Play, true}, {Tab::Maps, false}, {Tab::Account, false}};
    for (float scale : {1.0f, 2.0f}) {
        for (double t : {3.0, 40.0, 95.0}) {   // the skyline at several places
            gfx::set_test_time(t);
            for (const Screen& sc : screens) {
                state.tab = sc.tab;
                state.session.phase = sc.tab == Tab::Sign_In ? backend::Session_Phase{} : backend::Session_Phase::Signed_In;
                state.patcher.state = sc.downloading ? Patch_State::Downloading : Patch_State::Idle;
                state.patcher.check.progress.total = 1000;
                state.patcher.check.progress.placed = sc.downloading ? 500 : 0;
                Shot s = shot_at(scale, state);
                auto lum = [&](float x, float y) {
                    int px = std::clamp(int(x * scale), 0, s.w - 1), py = std::clamp(int(y * scale), 0, s.h - 1);
                    return luminance(s.at(px, py, 0), s.at(px, py, 1), s.at(px, py, 2));
                };
                for (const gfx::Drawn_Text& text : gfx::drawn_texts()) {
                    if (text.text.empty() || text.color.a < 255) continue;
                    float w = gfx::measure_text(text.font, text.text, text.size, 0).x;
                    if (text.pos.x < 0 || text.pos.x + w > 1100 || text.pos.y + text.size > 680) continue;
                    // What is behind the text: the middle of the colours just around it.
                    std::vector<double> ring;
                    for (float x = text.pos.x - 2; x <= text.pos.x + w + 2; x += 3) {
                        ring.push_back(lum(x, text.pos.y - 2));
                        ring.push_back(lum(x, text.pos.y + text.size + 2));
                    }
                    std::nth_element(ring.begin(), ring.begin() + long(ring.size() / 2), ring.end());
                    double behind = ring[ring.size() / 2];
                    double own = luminance(text.color.r, text.color.g, text.color.b);
                    EXPECT_GE(contrast(own, behind), 4.5) << text.text << " at scale " << scale << " t " << t;
                }
                // Control edges: a field's border against the panel beside it; the progress fill
                // against its track.
                if (sc.tab == Tab::Account) {
                    EXPECT_GE(contrast(lum(52, 230), lum(46, 230)), 3.0) << scale;
                }
                if (sc.downloading) {
                    EXPECT_GE(contrast(lum(730, 205), lum(1040, 205)), 3.0) << scale;
                }
            }
        }
    }
    gfx::set_test_time(-1);
    headless::reopen_at_scale(0);
    patcher_destroy(state.patcher);
    fs::remove_all(root);
    paths::reset_user_dir_for_tests();
}

}  // namespace
