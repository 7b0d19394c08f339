// Shapes, blending, clipping and screenshots, checked on the pixels of real frames.
#include "gfx/gfx.h"
#include "support/headless.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image.h>
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

void expect_color(gfx::Color got, gfx::Color want, int tolerance = 0) {
    EXPECT_NEAR(got.r, want.r, tolerance);
    EXPECT_NEAR(got.g, want.g, tolerance);
    EXPECT_NEAR(got.b, want.b, tolerance);
}

constexpr gfx::Color red{255, 0, 0, 255};
constexpr gfx::Color blue{0, 0, 255, 255};
constexpr gfx::Color black{0, 0, 0, 255};

class Draw : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(headless::open()); }
};

TEST_F(Draw, FilledRectangleCoversExactlyItsPixels) {
    headless::frame([] { gfx::fill_rect({100, 50, 20, 10}, red); });
    expect_color(headless::pixel(100, 50), red);
    expect_color(headless::pixel(119, 59), red);
    expect_color(headless::pixel(120, 55), black);
    expect_color(headless::pixel(110, 60), black);
    expect_color(headless::pixel(99, 50), black);
}

TEST_F(Draw, TranslucentFillBlendsOverWhatIsBelow) {
    headless::frame([] {
        gfx::fill_rect({0, 0, 50, 50}, blue);
        gfx::fill_rect({0, 0, 50, 50}, {255, 0, 0, 128});
    });
    expect_color(headless::pixel(25, 25), {128, 0, 127, 255}, 2);
}

TEST_F(Draw, EachFrameStartsFromAClearScreen) {
    headless::frame([] { gfx::fill_rect({0, 0, 10, 10}, red); });
    headless::frame(nullptr);
    expect_color(headless::pixel(5, 5), black);
}

TEST_F(Draw, OutlineIsInsideTheRectangleAndLeavesTheMiddle) {
    headless::frame([] { gfx::draw_rect_lines({10, 10, 40, 30}, 2, red); });
    expect_color(headless::pixel(10, 10), red);
    expect_color(headless::pixel(11, 25), red);
    expect_color(headless::pixel(49, 39), red);
    expect_color(headless::pixel(48, 20), red);
    expect_color(headless::pixel(12, 12), black);
    expect_color(headless::pixel(30, 25), black);
    expect_color(headless::pixel(50, 25), black);
    expect_color(headless::pixel(9, 25), black);
}

TEST_F(Draw, GradientRunsFromTopColourToBottomColour) {
    headless::frame([] { gfx::fill_gradient_v({0, 0, 100, 680}, {200, 0, 0, 255}, {0, 0, 200, 255}); });
    expect_color(headless::pixel(50, 0), {200, 0, 0, 255}, 2);
    expect_color(headless::pixel(50, 679), {0, 0, 200, 255}, 2);
    expect_color(headless::pixel(50, 340), {100, 0, 100, 255}, 3);
    expect_color(headless::pixel(100, 340), black);
}

TEST_F(Draw, ClipTruncatesToWholePixels) {
    headless::frame([] {
        gfx::begin_clip({10.7f, 20.9f, 20.9f, 10.5f});   // pixels 10..29 by 20..29
        gfx::fill_rect({0, 0, 1100, 680}, red);
        gfx::end_clip();
    });
    expect_color(headless::pixel(10, 20), red);
    expect_color(headless::pixel(29, 29), red);
    expect_color(headless::pixel(30, 25), black);
    expect_color(headless::pixel(20, 30), black);
    expect_color(headless::pixel(9, 25), black);
    expect_color(headless::pixel(20, 19), black);
}

TEST_F(Draw, NestedClipsIntersectAndEndingRestoresTheOuterOne) {
    headless::frame([] {
        gfx::begin_clip({0, 0, 100, 100});
        gfx::begin_clip({50, 50, 100, 100});
        gfx::fill_rect({0, 0, 1100, 680}, red);
        gfx::end_clip();
        gfx::fill_rect({0, 0, 1100, 680}, blue);
        gfx::end_clip();
        gfx::fill_rect({200, 200, 10, 10}, red);
    });
    expect_color(headless::pixel(60, 60), blue);   // red first, then blue within the outer clip
    expect_color(headless::pixel(10, 10), blue);
    expect_color(headless::pixel(120, 120), black);   // outside the outer clip
    expect_color(headless::pixel(205, 205), red);     // unclipped again
}

TEST_F(Draw, EmptyClipHidesEverything) {
    headless::frame([] {
        gfx::begin_clip({10, 10, 0.5f, 40});
        gfx::fill_rect({0, 0, 1100, 680}, red);
        gfx::end_clip();
    });
    expect_color(headless::pixel(10, 10), black);
    expect_color(headless::pixel(500, 300), black);
}

TEST_F(Draw, ClipDoesNotLeakIntoTheNextFrame) {
    headless::frame([] { gfx::begin_clip({0, 0, 10, 10}); });   // never ended
    headless::frame([] { gfx::fill_rect({0, 0, 1100, 680}, red); });
    expect_color(headless::pixel(500, 300), red);
}

std::string temp_path(const char* name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

TEST_F(Draw, ScreenshotIsAWholeWindowPngOfTheLastFrame) {
    headless::frame([] {
        gfx::fill_rect({0, 0, 1100, 680}, {10, 20, 30, 255});
        gfx::fill_rect({1000, 600, 100, 80}, {250, 128, 5, 255});
    });
    std::string path = temp_path("gfx_screenshot_test.png");
    std::remove(path.c_str());
    ASSERT_TRUE(gfx::save_screenshot(path.c_str()));
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));

    int w = 0, h = 0, n = 0;
    unsigned char* data = stbi_load(path.c_str(), &w, &h, &n, 4);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(w, 1100);
    EXPECT_EQ(h, 680);
    auto at = [&](int x, int y) {
        const unsigned char* p = data + (size_t(y) * size_t(w) + size_t(x)) * 4;
        return gfx::Color{p[0], p[1], p[2], p[3]};
    };
    expect_color(at(0, 0), {10, 20, 30, 255});
    expect_color(at(1099, 679), {250, 128, 5, 255});   // bottom right: rows are not flipped
    EXPECT_EQ(at(1050, 650).a, 255);
    stbi_image_free(data);
    std::remove(path.c_str());
}

TEST_F(Draw, ScreenshotReplacesAnOldFile) {
    std::string path = temp_path("gfx_screenshot_again.png");
    headless::frame(nullptr);
    ASSERT_TRUE(gfx::save_screenshot(path.c_str()));
    headless::frame([] { gfx::fill_rect({0, 0, 1100, 680}, red); });
    ASSERT_TRUE(gfx::save_screenshot(path.c_str()));
    int w = 0, h = 0, n = 0;
    unsigned char* data = stbi_load(path.c_str(), &w, &h, &n, 4);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 255);
    stbi_image_free(data);
    std::remove(path.c_str());
}

TEST_F(Draw, ScreenshotIntoAMissingFolderFailsCleanly) {
    headless::frame(nullptr);
    std::string path = temp_path("no_such_folder_for_gfx/shot.png");
    EXPECT_FALSE(gfx::save_screenshot(path.c_str()));
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    EXPECT_FALSE(gfx::save_screenshot(""));
}

}  // namespace
