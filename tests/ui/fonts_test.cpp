// The fallback fonts: every script the launcher may show draws real glyphs beside Barlow's,
// characters no font has draw as hex boxes, and damaged font data draws boxes, not a crash.
#include "support/headless.h"
#include "ui/fonts.h"
#include "ui/ui.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <string>

extern const unsigned char embedded_Barlow_500Medium[];
extern const unsigned long embedded_Barlow_500Medium_size;

namespace {

constexpr gfx::Color white{255, 255, 255, 255};

using headless::Ink;
using headless::ink;

Ink drawn(int font, std::string_view text, float size) {
    headless::frame([&] { gfx::draw_text(font, text, {100, 100}, size, 0, white); });
    return ink(0, 0, 1100, 680);
}

float width(int font, std::string_view text, float size = 30) {
    return gfx::measure_text(font, text, size, 0).x;
}

class Fonts : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(headless::open()); }
};

TEST_F(Fonts, EveryScriptDrawsItsOwnGlyphsInEveryFace) {
    struct Case { const char* script; const char* text; int chars; };
    const Case cases[] = {
        {"Cyrillic", "Привет, Мир", 11},
        {"Greek", "Καλημέρα", 8},
        {"Latin Extended", "Łódź Ærøskøbing Đặng", 20},
        {"Japanese", "こんにちはカタカナ漢字", 11},
        {"Chinese", "你好世界简体中文", 8},
        {"Korean", "안녕하세요", 5},
    };
    for (int face : {ui::Face_Interface, ui::Face_Title, ui::Face_Body}) {
        const int font = ui::font_of(face);
        const float box = width(font, "\xEE\x80\x80"), question = width(font, "?");
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.script) + " in face " + std::to_string(face));
            // Neither all boxes nor all question marks: real advances of real glyphs.
            float w = width(font, c.text);
            EXPECT_GT(w, 0);
            EXPECT_NE(w, box * float(c.chars));
            EXPECT_NE(w, question * float(c.chars));
            Ink i = drawn(font, c.text, 30);
            EXPECT_GT(i.lit, c.chars * 20);
            EXPECT_GE(i.y0, 100 - 2);     // within the line from ascent to descent
            EXPECT_LE(i.y1, 130 + 2);
        }
    }
}

TEST_F(Fonts, FallbackCapitalsShareBarlowsHeightAndBaseline) {
    // Capitals without descenders or accents: the same rows, whatever the script.
    struct Case { const char* barlow; const char* other; };
    const Case cases[] = {{"HNKA", "НИКА"}, {"HNKA", "ΗΝΚΑ"}, {"HNKA", "ＨＮＫＡ"}};
    const int font = ui::font_of(ui::Face_Body);
    for (float size : {16.0f, 40.0f}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.other) + " at " + std::to_string(size));
            Ink latin = drawn(font, c.barlow, size);
            Ink other = drawn(font, c.other, size);
            EXPECT_NEAR(other.y1, latin.y1, 1);   // baseline
            EXPECT_NEAR(other.y0, latin.y0, 1);   // capital height
        }
    }
}

TEST_F(Fonts, ACharacterNoFontHasIsABoxShowingItsCode) {
    const int font = ui::font_of(ui::Face_Body);
    // Private use and an unassigned plane-2 codepoint: no font draws them.
    Ink a = drawn(font, "\xEE\x80\x80", 40);      // U+E000
    Ink b = drawn(font, "\xEE\x80\x81", 40);      // U+E001
    Ink wide = drawn(font, "\xF0\xAF\xA8\x9F", 40);   // U+2FA1F
    for (const Ink* i : {&a, &b, &wide}) {
        ASSERT_GT(i->lit, 0);
        EXPECT_GT(i->y1 - i->y0, 25);   // about the height of a capital and more
        EXPECT_GT(i->x1 - i->x0, 20);
    }
    EXPECT_NE(a.rows, b.rows);   // the digits differ: not one empty box for every character
    EXPECT_GT(wide.x1 - wide.x0, a.x1 - a.x0);   // six digits need a third column
    EXPECT_FLOAT_EQ(width(font, "\xEE\x80\x80\xEE\x80\x81"), 2 * width(font, "\xEE\x80\x80"));
}

TEST_F(Fonts, BarlowTextMeasuresAsWithoutFallbacks) {
    const int plain = gfx::load_font(embedded_Barlow_500Medium, embedded_Barlow_500Medium_size);
    ASSERT_GE(plain, 0);
    for (const char* text : {"PLAY", "Sign in", "Éléonore Müller-Ødegård", "120 MB of 302 MB", "\xC3\xBF\xC2\xA0!"})
        for (float size : {13.0f, 18.75f, 44.0f}) {
            SCOPED_TRACE(text);
            EXPECT_EQ(gfx::measure_text(ui::font_of(ui::Face_Body), text, size, 1.5f).x,
                      gfx::measure_text(plain, text, size, 1.5f).x);
        }
}

TEST(UnpackFont, GivesTheBytesOrNothing) {
    std::vector<unsigned char> raw(5000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<unsigned char>(i * 7 % 251);
    std::vector<unsigned char> packed(ZSTD_compressBound(raw.size()));
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);   // as the zstd tool writes them
    packed.resize(ZSTD_compress2(cctx, packed.data(), packed.size(), raw.data(), raw.size()));
    ZSTD_freeCCtx(cctx);
    std::vector<unsigned char> unchecked(ZSTD_compressBound(raw.size()));
    unchecked.resize(ZSTD_compress(unchecked.data(), unchecked.size(), raw.data(), raw.size(), 3));
    std::vector<unsigned char> flipped = packed;
    flipped[flipped.size() / 2] ^= 0x55;
    const std::vector<unsigned char> junk(64, 0xAB);
    struct Case { const char* name; std::span<const unsigned char> bytes; size_t raw_size; bool good; };
    const Case cases[] = {
        {"whole", packed, raw.size(), true},
        {"cut short", std::span(packed).first(packed.size() - 10), raw.size(), false},
        {"another size recorded", packed, raw.size() + 1, false},
        {"a byte changed", flipped, raw.size(), false},
        {"not zstd", junk, raw.size(), false},
        {"without a checksum", unchecked, raw.size(), false},
        {"nothing", {}, raw.size(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> out = ui::unpack_font(c.bytes, c.raw_size);
        if (c.good) EXPECT_EQ(out, raw);
        else EXPECT_TRUE(out.empty());
    }
}

TEST_F(Fonts, AFallbackThatIsNoFontLeavesBoxes) {
    static const unsigned char junk[256] = {0, 1, 0, 0, 0, 9};
    struct Case { const char* name; std::span<const unsigned char> bytes; };
    const Case cases[] = {{"absent", {}}, {"damaged", junk}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int font = gfx::load_font(embedded_Barlow_500Medium, embedded_Barlow_500Medium_size);
        int asked = 0;
        const int broken = gfx::load_font_lazily([&] { ++asked; return c.bytes; });
        gfx::set_fallback_fonts(font, {broken});
        EXPECT_EQ(asked, 0);   // not before a character needs it
        EXPECT_FLOAT_EQ(width(font, "Жж"), 2 * width(font, "\xEE\x80\x80"));
        EXPECT_GT(drawn(font, "Жж", 30).lit, 0);
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(width(font, "Hello"), width(ui::font_of(ui::Face_Body), "Hello"));
    }
}

}  // namespace
