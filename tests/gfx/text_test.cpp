// Text measuring (raylib's size and spacing rules) and drawing from the glyph atlases.
#include "gfx/gfx.h"
#include "support/headless.h"

#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_truetype.h>
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

extern const unsigned char embedded_BarlowCondensed_700Bold[];
extern const unsigned long embedded_BarlowCondensed_700Bold_size;
extern const unsigned char embedded_Barlow_500Medium[];
extern const unsigned long embedded_Barlow_500Medium_size;

namespace {

int bold() {
    static int id = gfx::load_font(embedded_BarlowCondensed_700Bold,
                                   embedded_BarlowCondensed_700Bold_size);
    return id;
}

int medium() {
    static int id = gfx::load_font(embedded_Barlow_500Medium, embedded_Barlow_500Medium_size);
    return id;
}

float width(int font, std::string_view s, float size, float spacing = 0) {
    return gfx::measure_text(font, s, size, spacing).x;
}

TEST(MeasureText, HeightIsTheSize) {
    ASSERT_GE(bold(), 0);
    for (float size : {10.0f, 22.0f, 33.5f, 96.0f}) {
        EXPECT_FLOAT_EQ(gfx::measure_text(bold(), "Tarnwick", size, 1).y, size);
        EXPECT_FLOAT_EQ(gfx::measure_text(bold(), "", size, 1).y, size);
    }
}

TEST(MeasureText, SpacingGoesBetweenCharactersOnly) {
    EXPECT_NEAR(width(bold(), "ABCD", 30, 3) - width(bold(), "ABCD", 30, 0), 9, 1e-3);
    EXPECT_FLOAT_EQ(width(bold(), "A", 30, 3), width(bold(), "A", 30, 0));
    EXPECT_FLOAT_EQ(width(bold(), "", 30, 3), 0);
    // Whole texts join like their parts plus one spacing.
    EXPECT_NEAR(width(medium(), "AB", 20, 2.5f),
                width(medium(), "A", 20, 2.5f) + 2.5f + width(medium(), "B", 20, 2.5f), 1e-3);
}

TEST(MeasureText, AdvancesScaleWithTheSize) {
    float small = width(medium(), "Hello, world", 20);
    EXPECT_GT(small, 20);
    EXPECT_NEAR(width(medium(), "Hello, world", 40), 2 * small, 1e-3);
    EXPECT_NEAR(width(medium(), "Hello, world", 21.5f), small * 21.5f / 20, 1e-3);
}

TEST(MeasureText, MultiByteCharacterIsOneCharacter) {
    EXPECT_FLOAT_EQ(width(medium(), "\xC3\xA9", 20, 5), width(medium(), "\xC3\xA9", 20, 0));
    EXPECT_NEAR(width(medium(), "a\xC3\xA9", 20, 5) - width(medium(), "a\xC3\xA9", 20, 0), 5, 1e-3);
    EXPECT_GT(width(medium(), "\xC3\xA9", 20), 0);
}

TEST(MeasureText, MissingGlyphsAndBrokenBytesMeasureAsQuestionMarks) {
    float q = width(medium(), "?", 20);
    EXPECT_FLOAT_EQ(width(medium(), "\xE4\xB8\xAD", 20), q);   // a CJK character the face lacks
    EXPECT_FLOAT_EQ(width(medium(), "\xFF", 20), q);
    EXPECT_FLOAT_EQ(width(medium(), "\xE2\x82", 20), 2 * q);    // cut-off sequence, byte by byte
}

TEST(MeasureText, UnknownFontMeasuresNothing) {
    EXPECT_FLOAT_EQ(gfx::measure_text(9999, "abc", 20, 1).x, 0);
    EXPECT_FLOAT_EQ(gfx::measure_text(-1, "abc", 20, 1).y, 20);
}

TEST(LoadFont, RejectsBytesThatAreNoFont) {
    static const unsigned char junk[64] = {1, 2, 3};
    EXPECT_EQ(gfx::load_font(junk, sizeof junk), -1);
    EXPECT_EQ(gfx::load_font(nullptr, 0), -1);
}

using headless::Ink;
using headless::ink;

constexpr gfx::Color white{255, 255, 255, 255};

class DrawText : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(headless::open()); }
};

TEST_F(DrawText, InkStaysWithinTheLineFromAscentToDescent) {
    // Size N is a line N pixels from ascent to descent: capitals and descenders fit in it and
    // fill most of it.
    headless::frame([] { gfx::draw_text(bold(), "HgjpQ|", {100, 100}, 100, 0, white); });
    Ink i = ink(0, 0, 1100, 680);
    ASSERT_TRUE(i.any());
    EXPECT_GE(i.y0, 100);
    EXPECT_LE(i.y1, 200);
    EXPECT_GT(i.y1 - i.y0, 70);
    float w = width(bold(), "HgjpQ|", 100);
    EXPECT_GE(i.x0, 100);
    EXPECT_LE(i.x1, 100 + w + 2);
    EXPECT_GT(i.x1, 100 + w - 30);
}

TEST_F(DrawText, SpacingMovesLaterCharactersRight) {
    headless::frame([] { gfx::draw_text(medium(), "II", {100, 100}, 40, 0, white); });
    Ink tight = ink(0, 0, 1100, 680);
    headless::frame([] { gfx::draw_text(medium(), "II", {100, 100}, 40, 20, white); });
    Ink wide = ink(0, 0, 1100, 680);
    EXPECT_EQ(wide.x0, tight.x0);
    EXPECT_NEAR(wide.x1 - tight.x1, 20, 1);
}

TEST_F(DrawText, TextTakesItsColour) {
    headless::frame([] { gfx::draw_text(bold(), "I", {100, 100}, 200, 0, {240, 200, 90, 255}); });
    // The middle of the stem of a 200 px "I" is fully covered.
    Ink i = ink(0, 0, 1100, 680);
    ASSERT_TRUE(i.any());
    gfx::Color c = headless::pixel((i.x0 + i.x1) / 2, (i.y0 + i.y1) / 2 + 5);
    EXPECT_NEAR(c.r, 240, 3);
    EXPECT_NEAR(c.g, 200, 3);
    EXPECT_NEAR(c.b, 90, 3);
}

TEST_F(DrawText, LargeTextIsRasterisedAtItsOwnSize) {
    // A crisp 300 px stem has one soft pixel at each edge; a scaled-up small raster has several.
    headless::frame([] { gfx::draw_text(bold(), "I", {100, 100}, 300, 0, white); });
    std::vector<unsigned char> rgba;
    int w = 0, h = 0;
    ASSERT_TRUE(gfx::read_frame(rgba, w, h));
    int row = 250, soft = 0, solid = 0;
    for (int x = 90; x < 400; ++x) {
        unsigned v = rgba[(size_t(row) * size_t(w) + size_t(x)) * 4];
        if (v >= 250) ++solid;
        else if (v > 5) ++soft;
    }
    EXPECT_GT(solid, 20);
    EXPECT_LE(soft, 4);
}

// Draws each text alone in its own cell of one frame and checks every pixel of each glyph's
// box (and a margin around it) against stb_truetype's own raster of that glyph at the same size: the atlas must hand back
// exactly the glyph that was put in, wherever the packer placed it.
void expect_glyphs_match_raster(const std::vector<std::string>& chars, const std::vector<uint32_t>& codepoints) {
    const float size = 100, cell_w = 180, cell_h = 130;   // wide glyphs stay in their cell
    headless::frame([&] {
        for (size_t i = 0; i < chars.size(); ++i)
            gfx::draw_text(bold(), chars[i], {10 + cell_w * float(i % 6), 10 + cell_h * float(i / 6)},
                           size, 0, white);
    });
    std::vector<unsigned char> rgba;
    int fw = 0, fh = 0;
    ASSERT_TRUE(gfx::read_frame(rgba, fw, fh));
    stbtt_fontinfo info;
    ASSERT_TRUE(stbtt_InitFont(&info, embedded_BarlowCondensed_700Bold, 0));
    int ascent = 0, descent = 0, gap = 0;
    stbtt_GetFontVMetrics(&info, &ascent, &descent, &gap);
    float scale = size / float(ascent - descent);
    for (size_t i = 0; i < chars.size(); ++i) {
        SCOPED_TRACE(chars[i]);
        int w = 0, h = 0, xoff = 0, yoff = 0;
        unsigned char* ref = stbtt_GetCodepointBitmap(&info, scale, scale, int(codepoints[i]), &w, &h,
                                                      &xoff, &yoff);
        float x = 10 + cell_w * float(i % 6), y = 10 + cell_h * float(i / 6);
        int left = int(std::lround(x + float(xoff)));
        int top = int(std::lround(y + float(ascent) * scale + float(yoff)));
        int wrong = 0;
        for (int cy = top - 3; cy < top + h + 3; ++cy)
            for (int cx = left - 3; cx < left + w + 3; ++cx) {
                int bx = cx - left, by = cy - top;
                int want = bx >= 0 && by >= 0 && bx < w && by < h ? ref[by * w + bx] : 0;
                int got = rgba[(size_t(cy) * size_t(fw) + size_t(cx)) * 4];
                if (std::abs(got - want) > 2) ++wrong;
            }
        EXPECT_EQ(wrong, 0);
        stbtt_FreeBitmap(ref, nullptr);
    }
}

TEST_F(DrawText, GlyphsMatchTheirRasterBeforeAndAfterTheAtlasGrows) {
    std::vector<std::string> chars = {"A", "g", "Q", "@", "%", "&", "W", "j", "y", "|", "_",
                                      "\xC3\xA9", "\xC3\x85", "\xC3\xBF"};
    std::vector<uint32_t> cps = {'A', 'g', 'Q', '@', '%', '&', 'W', 'j', 'y', '|', '_', 0xE9, 0xC5,
                                 0xFF};
    expect_glyphs_match_raster(chars, cps);

    // Hundreds of glyphs beyond Latin-1 at the same size: the atlas has to grow.
    std::string many;
    std::vector<std::string> extended;
    std::vector<uint32_t> extended_cps;
    stbtt_fontinfo info;
    ASSERT_TRUE(stbtt_InitFont(&info, embedded_BarlowCondensed_700Bold, 0));
    int present = 0;
    for (uint32_t cp = 0x100; cp < 0x2200; ++cp) {
        if (stbtt_FindGlyphIndex(&info, int(cp)) == 0) continue;
        std::string c = cp < 0x800 ? std::string{char(0xC0 | (cp >> 6)), char(0x80 | (cp & 0x3F))}
                                   : std::string{char(0xE0 | (cp >> 12)), char(0x80 | ((cp >> 6) & 0x3F)),
                                                 char(0x80 | (cp & 0x3F))};
        many += c;
        bool combining = cp >= 0x300 && cp < 0x370;   // marks sit left of their origin
        if (++present % 41 == 0 && !combining) {
            extended.push_back(c);
            extended_cps.push_back(cp);
        }
    }
    ASSERT_GT(present, 300);   // more than one page holds at this size
    headless::frame([&] { gfx::draw_text(bold(), many, {0, 300}, 100, 0, white); });
    EXPECT_TRUE(ink(0, 300, 1100, 100).any());
    expect_glyphs_match_raster(chars, cps);
    expect_glyphs_match_raster(extended, extended_cps);
}

TEST_F(DrawText, EveryDrawIsRecordedForTheFrame) {
    headless::frame([] {
        gfx::draw_text(bold(), "PLAY", {10.5f, 20}, 24, 1.44f, {1, 2, 3, 4});
        gfx::draw_text(9999, "no font", {0, 0}, 10, 0, white);
    });
    const auto& texts = gfx::drawn_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, "PLAY");
    EXPECT_FLOAT_EQ(texts[0].pos.x, 10.5f);
    EXPECT_FLOAT_EQ(texts[0].pos.y, 20);
    EXPECT_FLOAT_EQ(texts[0].size, 24);
    EXPECT_EQ(texts[0].color.b, 3);
    EXPECT_EQ(texts[0].font, bold());
    EXPECT_EQ(texts[1].text, "no font");
    headless::frame(nullptr);
    EXPECT_TRUE(gfx::drawn_texts().empty());
}

TEST_F(DrawText, SmallTextIsHintedOntoWholePixelRows) {
    // Sizes whose capital height (7/12 of the size) ends half way through a pixel: unhinted,
    // the top row of every capital is a faint half-covered line. Hinted, the capitals' tops
    // and the baseline sit on pixel edges, so the stems' first and last rows are solid.
    for (float size : {13.0f, 18.0f, 21.5f, 30.0f}) {
        SCOPED_TRACE(size);
        headless::frame([&] { gfx::draw_text(bold(), "HHHH", {100.3f, 100.4f}, size, 0, white); });
        std::vector<unsigned char> rgba;
        int fw = 0, fh = 0;
        ASSERT_TRUE(gfx::read_frame(rgba, fw, fh));
        Ink i = ink(0, 0, 1100, 680);
        ASSERT_TRUE(i.any());
        auto row_max = [&](int y) {
            int m = 0;
            for (int x = i.x0; x <= i.x1; ++x) m = std::max<int>(m, rgba[(size_t(y) * size_t(fw) + size_t(x)) * 4]);
            return m;
        };
        EXPECT_GE(row_max(i.y0), 230);
        EXPECT_GE(row_max(i.y1), 230);
        EXPECT_LE(row_max(i.y0 - 1), 40);
        EXPECT_NEAR(i.y1 - i.y0 + 1, size * 7 / 12, 1);   // hinting moves the edge by under a pixel
    }
}

}  // namespace
