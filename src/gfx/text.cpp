// TrueType and OpenType text: fonts loaded from memory, one glyph atlas per (font, pixel size),
// drawing in one batched call per atlas page, and raylib-sized measuring.
//
// stb_truetype reads the fonts (glyph indices, advances, vertical metrics: all measuring) and
// rasterises large sizes; FreeType rasterises the sizes up to hinted_max_px with its light
// auto-hinter, which puts horizontal stems and the x-height on whole pixel rows, so that a
// small button label at scale 1 is as crisp as at scale 2. Light hinting moves nothing
// sideways, so the unhinted advances measured here still place the hinted glyphs.
//
// Index:
//   Fonts      load_font, load_font_lazily, set_fallback_fonts, unload_fonts, metrics per
//              codepoint (from the font, a fallback font, a hex box, or '?')
//   Atlases    shelf packing into pages, filled on first use and grown as codepoints appear;
//              hex boxes for characters no font has
//   Drawing    draw_text, measure_text, the text record for tests
#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb_truetype.h>
#pragma GCC diagnostic pop

#include "gfx/state.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <unordered_map>

namespace gfx {

namespace {

// Fonts ------------------------------------------------------------------------------------------

// Where a character's glyph comes from when not from the font itself.
constexpr int own_glyph = -1, hex_box = -2;

struct Metrics {
    int glyph = -1;     // glyph index to draw, or -1 for nothing (control characters); for a
                        // hex box, the codepoint
    float advance = 0;  // in the measured font's units
    int from = own_glyph;   // own_glyph, hex_box, or the id of the fallback font drawing it
};

struct Glyph {
    bool ready = false;
    int page = -1;      // -1: nothing to draw (blank glyph, or too big for any page)
    SDL_Rect src{};
    int xoff = 0, yoff = 0;   // bitmap corner relative to the pen on the baseline, atlas pixels
};

struct Page {
    SDL_Texture* texture = nullptr;
    int w = 0, h = 0;
    int x = 1, y = 1, row_h = 0;   // shelf packer cursor
};

struct Atlas {
    int px = 0;
    float scale = 0;   // font units to atlas pixels
    std::vector<Page> pages;
    // By glyph index: a CJK face has tens of thousands, of which a screen draws a few dozen.
    std::unordered_map<int, Glyph> glyphs;
    bool prefilled = false;      // sized for the whole of Latin-1 up front
    std::unordered_map<uint32_t, Glyph> boxes;   // hex boxes by codepoint
};

struct Face_Done {
    void operator()(FT_Face face) const { FT_Done_Face(face); }
};

struct Font {
    std::unique_ptr<FT_FaceRec_, Face_Done> face;   // FreeType's view of the same bytes
    int face_eighths = 0;            // the size `face` is set to, in eighths of a pixel
    // A lazily loaded font's bytes come from here on first use; cleared once asked.
    std::function<std::span<const unsigned char>()> source;
    bool usable = false;             // `info` describes a valid font
    bool is_fallback = false;        // only stands in for other fonts: no Latin-1 prefill
    stbtt_fontinfo info{};
    float ascent = 0, descent = 0;   // font units; descent is negative
    float cap = 0;                   // capital height, font units: fallbacks are matched on it
    std::vector<int> fallbacks;
    Metrics latin[256];
    bool latin_known[256] = {};       // looked up on first use: a fallback is loaded only when needed
    std::unordered_map<uint32_t, Metrics> other;
    std::map<int, Atlas> atlases;    // by pixel size in eighths of a pixel
};

std::vector<std::unique_ptr<Font>> fonts;

// The largest pixel size given its own raster; bigger texts scale this one up.
constexpr int max_raster_px = 512;
constexpr int max_page = 4096;
// Up to this pixel size glyphs are hinted (FreeType); above, hinting changes nothing visible and
// stb_truetype rasterises the outline as it is.
constexpr int hinted_max_px = 64;
// Up to this pixel size an atlas starts with all printable ASCII and Latin-1 glyphs.
constexpr int prefill_max_px = 128;

Font* font_of(int id) {
    if (id < 0 || size_t(id) >= fonts.size()) return nullptr;
    return fonts[size_t(id)].get();
}

// A box is wider for codepoints past U+FFFF, which need a third column of digits.
float box_advance(const Font& f, uint32_t cp) {
    return (f.ascent - f.descent) * (cp > 0xFFFF ? 0.95f : 0.75f);
}

// Capital height from the OS/2 table (version 2 on), else from the box of 'H', else a usual
// share of the ascent.
float capital_height(const stbtt_fontinfo& info, float ascent, float descent) {
    stbtt_uint32 os2 = stbtt__find_table(info.data, stbtt_uint32(info.fontstart), "OS/2");
    if (os2 && ttUSHORT(info.data + os2) >= 2) {
        float cap = float(ttSHORT(info.data + os2 + 88));
        if (cap > 0 && cap < ascent - descent) return cap;
    }
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    if (stbtt_GetCodepointBox(&info, 'H', &x0, &y0, &x1, &y1) && y1 > 0) return float(y1);
    return ascent * 0.7f;
}

bool init_font(Font& f, const unsigned char* ttf, size_t size) {
    if (!ttf || size < 12) return false;
    int offset = stbtt_GetFontOffsetForIndex(ttf, 0);
    if (offset < 0 || size_t(offset) >= size) return false;
    if (!stbtt_InitFont(&f.info, ttf, offset)) return false;
    int ascent = 0, descent = 0, gap = 0;
    stbtt_GetFontVMetrics(&f.info, &ascent, &descent, &gap);
    if (ascent - descent <= 0) return false;
    f.ascent = float(ascent);
    f.descent = float(descent);
    f.cap = capital_height(f.info, f.ascent, f.descent);
    // FreeType is made once, for the program's life; without it small sizes are not hinted.
    static FT_Library library = [] {
        FT_Library l = nullptr;
        return FT_Init_FreeType(&l) == 0 ? l : nullptr;
    }();
    FT_Face face = nullptr;
    if (library && FT_New_Memory_Face(library, ttf, FT_Long(size), 0, &face) == 0) f.face.reset(face);
    f.usable = true;
    return true;
}

// A lazily loaded font is unpacked here, the first time a glyph is looked up in it.
bool usable(Font& f) {
    if (f.source) {
        auto source = std::move(f.source);
        f.source = nullptr;
        std::span<const unsigned char> bytes = source();
        init_font(f, bytes.data(), bytes.size());
    }
    return f.usable;
}

Metrics lookup(Font& f, uint32_t cp) {
    Metrics m;
    if (cp < 32 || !usable(f)) return m;
    int g = stbtt_FindGlyphIndex(&f.info, int(cp));
    if (g == 0 && !f.fallbacks.empty()) {
        for (int id : f.fallbacks) {
            Font* b = font_of(id);
            if (!b || b == &f || !usable(*b)) continue;
            int bg = stbtt_FindGlyphIndex(&b->info, int(cp));
            if (bg == 0) continue;
            int advance = 0, bearing = 0;
            stbtt_GetGlyphHMetrics(&b->info, bg, &advance, &bearing);
            m.glyph = bg;
            m.advance = float(advance) * f.cap / b->cap;
            m.from = id;
            return m;
        }
        m.glyph = int(cp);
        m.advance = box_advance(f, cp);
        m.from = hex_box;
        return m;
    }
    if (g == 0) g = stbtt_FindGlyphIndex(&f.info, '?');
    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(&f.info, g, &advance, &bearing);
    m.glyph = g;
    m.advance = float(advance);
    return m;
}

void forget_metrics(Font& f) {
    f.other.clear();
    std::fill(std::begin(f.latin_known), std::end(f.latin_known), false);
}

const Metrics& metrics(Font& f, uint32_t cp) {
    if (cp < 256) {
        if (!f.latin_known[cp]) {
            f.latin[cp] = lookup(f, cp);
            f.latin_known[cp] = true;
        }
        return f.latin[cp];
    }
    auto it = f.other.find(cp);
    if (it == f.other.end()) it = f.other.emplace(cp, lookup(f, cp)).first;
    return it->second;
}

// Atlases ----------------------------------------------------------------------------------------

int pow2_at_least(int v) {
    int p = 64;
    while (p < v && p < max_page) p *= 2;
    return p;
}

bool add_page(Atlas& a, int min_w, int min_h) {
    // Sized for the whole ASCII and Latin-1 set at this pixel size, so most texts need one page;
    // the very large sizes hold only what is drawn, a few title letters, so start small there,
    // and so do fallback fonts, which draw the few dozen characters a screen has in their script.
    double glyphs = a.prefilled ? 191 : a.px > prefill_max_px ? 16 : 64;
    double est = glyphs * (a.px * 0.62 + 2) * (a.px * 1.1 + 2) * 1.2;
    int w = pow2_at_least(std::max(int(std::ceil(std::sqrt(est))), min_w));
    int h = pow2_at_least(std::max(int(std::ceil(est / w)), min_h));
    if (w < min_w || h < min_h) return false;
    SDL_Texture* t = SDL_CreateTexture(state().renderer, SDL_PIXELFORMAT_ARGB8888,
                                       SDL_TEXTUREACCESS_STATIC, w, h);
    if (!t) return false;
    SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND);
    SDL_SetTextureScaleMode(t, SDL_ScaleModeLinear);
    std::vector<uint32_t> clear(size_t(w) * size_t(h), 0x00FFFFFFu);
    SDL_UpdateTexture(t, nullptr, clear.data(), w * 4);
    Page p;
    p.texture = t;
    p.w = w;
    p.h = h;
    a.pages.push_back(p);
    return true;
}

// Finds room for a w x h bitmap (plus a one-pixel gutter against filtering bleed).
bool place(Atlas& a, int w, int h, int& page, SDL_Rect& at) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!a.pages.empty()) {
            Page& p = a.pages.back();
            if (p.x + w + 1 > p.w) {
                p.x = 1;
                p.y += p.row_h + 1;
                p.row_h = 0;
            }
            if (p.x + w + 1 <= p.w && p.y + h + 1 <= p.h) {
                at = {p.x, p.y, w, h};
                page = int(a.pages.size()) - 1;
                p.x += w + 1;
                p.row_h = std::max(p.row_h, h);
                return true;
            }
        }
        if (!add_page(a, w + 2, h + 2)) return false;
    }
    return false;
}

// Puts a glyph's coverage bitmap (w x h, one byte a pixel) into the atlas; false when it fits
// nowhere.
bool upload(Atlas& a, const unsigned char* alpha, int w, int h, int xoff, int yoff, Glyph& g) {
    SDL_Rect at;
    int page = -1;
    if (!place(a, w, h, page, at)) return false;
    // White glyphs with coverage in alpha: the draw colour comes in through the vertices.
    std::vector<uint32_t> argb(size_t(w) * size_t(h));
    for (size_t i = 0; i < argb.size(); ++i) argb[i] = (uint32_t(alpha[i]) << 24) | 0xFFFFFFu;
    SDL_UpdateTexture(a.pages[size_t(page)].texture, &at, argb.data(), w * 4);
    g.page = page;
    g.src = at;
    g.xoff = xoff;
    g.yoff = yoff;
    return true;
}

// A glyph hinted and rasterised by FreeType at the atlas's size: light auto-hinting, grey
// coverage. Nothing is drawn for a glyph FreeType cannot load.
void hinted_glyph(Font& f, Atlas& a, int index, Glyph& g) {
    FT_Face face = f.face.get();
    const int eighths = int(std::lround(a.scale * (f.ascent - f.descent) * 8));
    if (f.face_eighths != eighths) {
        // Our size is ascent to descent; FreeType's is the em, in 26.6 fixed point.
        FT_F26Dot6 em = FT_F26Dot6(std::lround(double(a.scale) * face->units_per_EM * 64));
        if (FT_Set_Char_Size(face, 0, std::max<FT_F26Dot6>(em, 1), 72, 72) != 0) return;
        f.face_eighths = eighths;
    }
    if (FT_Load_Glyph(face, FT_UInt(index), FT_LOAD_TARGET_LIGHT | FT_LOAD_FORCE_AUTOHINT) != 0 ||
        FT_Render_Glyph(face->glyph, FT_RENDER_MODE_LIGHT) != 0)
        return;
    const FT_Bitmap& b = face->glyph->bitmap;
    const int w = int(b.width), h = int(b.rows);
    if (w <= 0 || h <= 0 || b.pixel_mode != FT_PIXEL_MODE_GRAY) return;
    std::vector<unsigned char> alpha(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        const unsigned char* row = b.pitch >= 0 ? b.buffer + y * b.pitch : b.buffer + (y - h + 1) * b.pitch;
        std::copy(row, row + w, alpha.begin() + y * w);
    }
    upload(a, alpha.data(), w, h, face->glyph->bitmap_left, -face->glyph->bitmap_top, g);
}

const Glyph& glyph(Font& f, Atlas& a, int index) {
    if (index < 0 || index >= f.info.numGlyphs) {
        static const Glyph none{true, -1, {}, 0, 0};
        return none;
    }
    Glyph& g = a.glyphs[index];
    if (g.ready) return g;
    g.ready = true;
    if (a.px <= hinted_max_px && f.face) {
        hinted_glyph(f, a, index, g);
        return g;
    }
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    stbtt_GetGlyphBitmapBox(&f.info, index, a.scale, a.scale, &x0, &y0, &x1, &y1);
    int w = x1 - x0, h = y1 - y0;
    if (w <= 0 || h <= 0) return g;
    std::vector<unsigned char> alpha(size_t(w) * size_t(h));
    stbtt_MakeGlyphBitmap(&f.info, alpha.data(), w, h, w, a.scale, a.scale, index);
    upload(a, alpha.data(), w, h, x0, y0, g);
    return g;
}

// Hex digits 0-F, 3 x 5 pixels, one row of three bits per 3-bit group, top row first.
constexpr uint16_t hex_digits[16] = {
    0x7B6F, 0x2C97, 0x73E7, 0x73CF, 0x5BC9, 0x79CF, 0x79EF, 0x7292,
    0x7BEF, 0x7BCF, 0x2BED, 0x6BAE, 0x3923, 0x6B6E, 0x79E7, 0x79E4};

// A character no font has: a box holding its code in hex, two rows of two digits (three past
// U+FFFF), as browsers draw them, so that a player can tell and report what it was.
const Glyph& box_glyph(Font& f, Atlas& a, uint32_t cp) {
    Glyph& g = a.boxes[cp];
    if (g.ready) return g;
    g.ready = true;
    const float unit = a.scale;   // font units to atlas pixels
    const int cols = cp > 0xFFFF ? 3 : 2;
    int w = std::max(int(std::lround(box_advance(f, cp) * unit)) - 2, 4 * cols + 1);
    int top = int(std::lround(-f.ascent * unit * 0.92f)), bottom = int(std::lround(-f.descent * unit * 0.4f));
    int h = std::max(bottom - top, 7);
    // Digits grow in whole pixels with the box, a gap of one digit pixel around each.
    int k = std::max(1, std::min((w - 2) / (4 * cols + 1), (h - 2) / 12));
    std::vector<unsigned char> alpha(size_t(w) * size_t(h), 0);
    auto set = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < w && y < h) alpha[size_t(y) * size_t(w) + size_t(x)] = 255;
    };
    for (int x = 0; x < w; ++x) set(x, 0), set(x, h - 1);
    for (int y = 0; y < h; ++y) set(0, y), set(w - 1, y);
    char hex[7];
    std::snprintf(hex, sizeof hex, cols == 3 ? "%06X" : "%04X", unsigned(cp & 0xFFFFFF));
    const int left = (w - (4 * cols - 1) * k) / 2, upper = (h - 11 * k) / 2;
    for (int d = 0; d < 2 * cols; ++d) {
        char c = hex[d];
        uint16_t bits = hex_digits[c <= '9' ? c - '0' : c - 'A' + 10];
        int dx = left + (d % cols) * 4 * k, dy = upper + (d / cols) * 6 * k;
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 3; ++col)
                if (bits & (1u << (14 - row * 3 - col)))
                    for (int j = 0; j < k; ++j)
                        for (int i = 0; i < k; ++i) set(dx + col * k + i, dy + row * k + j);
    }
    upload(a, alpha.data(), w, h, 1, top, g);
    return g;
}

// Atlases by their size in eighths of a pixel: a text is rasterised at the size it is drawn (a
// button label at 18.7 px gets glyphs made for 18.75 px), never a near size stretched to fit.
Atlas& atlas(Font& f, int eighths) {
    auto it = f.atlases.find(eighths);
    if (it != f.atlases.end()) return it->second;
    Atlas& a = f.atlases[eighths];
    const int px = (eighths + 7) / 8;
    a.px = px;
    a.scale = float(eighths) / 8 / (f.ascent - f.descent);
    // Small and middle sizes get the printable ASCII and Latin-1 glyphs up front, so the first
    // frames do not trickle texture uploads; very large sizes only hold what is drawn, and so do
    // fallback fonts, which only draw what their fonts lack.
    a.prefilled = px <= prefill_max_px && !f.is_fallback;
    if (a.prefilled) {
        for (uint32_t cp = 32; cp < 256; ++cp) {
            if (cp == 127) cp = 160;
            const Metrics& m = metrics(f, cp);
            if (m.from == own_glyph) glyph(f, a, m.glyph);
        }
    }
    return a;
}

void destroy_atlases(Font& f) {
    for (auto& [px, a] : f.atlases)
        for (Page& p : a.pages)
            if (p.texture) SDL_DestroyTexture(p.texture);
    f.atlases.clear();
}

}  // namespace

uint32_t next_codepoint(std::string_view text, size_t& i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned c = b(i);
    int n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + size_t(n) > text.size()) { ++i; return 0xFFFD; }
    uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k < n; ++k) {
        if ((b(i + size_t(k)) & 0xC0) != 0x80) { ++i; return 0xFFFD; }
        cp = (cp << 6) | (b(i + size_t(k)) & 0x3F);
    }
    i += size_t(n);
    return cp;
}

// Fonts ------------------------------------------------------------------------------------------

int load_font(const unsigned char* ttf, size_t size) {
    auto f = std::make_unique<Font>();
    if (!init_font(*f, ttf, size)) return -1;
    fonts.push_back(std::move(f));
    return int(fonts.size()) - 1;
}

int load_font_lazily(std::function<std::span<const unsigned char>()> source) {
    auto f = std::make_unique<Font>();
    f->source = std::move(source);
    f->is_fallback = true;
    fonts.push_back(std::move(f));
    return int(fonts.size()) - 1;
}

void set_fallback_fonts(int font, std::vector<int> fallbacks) {
    Font* f = font_of(font);
    if (!f) return;
    for (int id : fallbacks)
        if (Font* b = font_of(id); b && b != f) b->is_fallback = true;
    f->fallbacks = std::move(fallbacks);
    forget_metrics(*f);
}

void unload_fonts() {
    for (auto& f : fonts) destroy_atlases(*f);
    fonts.clear();
}

void release_font_textures() {
    for (auto& f : fonts) destroy_atlases(*f);
}

// Drawing ----------------------------------------------------------------------------------------

Vec2 measure_text(int font, std::string_view text, float size, float spacing) {
    Font* f = font_of(font);
    if (!f || size <= 0) return {0, std::max(size, 0.0f)};
    float units = 0;
    int count = 0;
    for (size_t i = 0; i < text.size();) {
        units += metrics(*f, next_codepoint(text, i)).advance;
        ++count;
    }
    float scale = size / (f->ascent - f->descent);
    float width = units * scale + (count > 1 ? float(count - 1) * spacing : 0.0f);
    return {width, size};
}

void draw_text(int font, std::string_view text, Vec2 pos, float size, float spacing, Color c) {
    Window_State& s = state();
    if (s.record) s.texts.push_back({std::string(text), pos, size, c, font});
    Font* f = font_of(font);
    if (!f || !drawing() || size <= 0 || c.a == 0 || text.empty()) return;
    // A line entirely above or below the window shows nothing: skip it, however long it is.
    if (pos.y >= float(s.height) || pos.y + size <= 0) return;
    // Only the characters render_text reaches before the window's right edge are kept.
    float scale = size / (f->ascent - f->descent);
    float pen = pos.x;
    size_t end = 0;
    while (end < text.size()) {
        pen += metrics(*f, next_codepoint(text, end)).advance * scale + spacing;
        if (pen > float(s.width) + size) break;
    }
    record_text(font, text.substr(0, end), pos, size, spacing, c);
}

void render_text(int font, std::string_view text, Vec2 pos, float size, float spacing, Color c) {
    Window_State& s = state();
    Font* f = font_of(font);
    if (!f || !usable(*f)) return;

    float scale = size / (f->ascent - f->descent);  // font units to screen pixels
    // The atlas a glyph comes from: the font's own at the size drawn, or a fallback font's at
    // the size that gives its capitals the same height.
    struct Source {
        int from;
        Font* font;
        Atlas* atlas;
        float k;   // atlas to screen pixels
    };
    auto source_at = [](Font& font, float px) {
        const int eighths = std::clamp(int(std::lround(px * 8)), 1, max_raster_px * 8);
        // Up to the largest raster a glyph's bitmap is drawn pixel for pixel (within 1/16 px of
        // its size); beyond, that raster is scaled.
        float k = px <= float(max_raster_px) ? 1.0f : px * 8 / float(eighths);
        return Source{own_glyph, &font, &atlas(font, eighths), k};
    };
    static std::vector<Source> sources;
    sources.clear();
    sources.push_back(source_at(*f, size));
    auto source_of = [&](const Metrics& m) -> const Source& {
        if (m.from < 0) return sources[0];
        for (const Source& x : sources)
            if (x.from == m.from) return x;
        Font& b = *font_of(m.from);   // lookup only names fonts that exist and are usable
        sources.push_back(source_at(b, scale * f->cap / b.cap * (b.ascent - b.descent)));
        sources.back().from = m.from;
        return sources.back();
    };
    // The baseline on a whole pixel row, so that every glyph of a line sits on the same rows at
    // any position: the bitmaps are made for a baseline on a pixel edge.
    float baseline = std::round(pos.y + f->ascent * scale);
    float pen = pos.x;

    // One vertex batch per atlas page: a frame of a hundred strings stays a few hundred draws.
    // Reused across calls; drawing is main-thread only.
    static std::vector<std::pair<SDL_Texture*, std::vector<SDL_Vertex>>> batches;
    static std::vector<int> indices;
    if (batches.size() > 64) batches.clear();   // pages of atlases since destroyed
    for (auto& b : batches) b.second.clear();
    auto batch = [&](SDL_Texture* t) -> std::vector<SDL_Vertex>& {
        for (auto& b : batches)
            if (b.first == t) return b.second;
        batches.push_back({t, {}});
        return batches.back().second;
    };
    const SDL_Color col{c.r, c.g, c.b, c.a};
    // Glyphs wholly outside the clip draw nothing: a narrow redrawn area costs only its own.
    SDL_Rect clip{};
    SDL_RenderGetClipRect(s.renderer, &clip);
    const bool clipped = clip.w > 0 && clip.h > 0;
    for (size_t i = 0; i < text.size();) {
        const Metrics& m = metrics(*f, next_codepoint(text, i));
        if (m.glyph >= 0) {
            const Source& src = source_of(m);
            Atlas& a = *src.atlas;
            const Glyph& g = m.from == hex_box ? box_glyph(*f, a, uint32_t(m.glyph))
                                               : glyph(*src.font, a, m.glyph);
            if (g.page >= 0) {
                // Glyph corners on whole pixels keep 1:1 rasters crisp.
                const float k = src.k;
                float x = std::round(pen + float(g.xoff) * k);
                float y = baseline + std::round(float(g.yoff) * k);
                float w = float(g.src.w) * k, h = float(g.src.h) * k;
                bool outside = clipped && (x >= float(clip.x + clip.w) || x + w <= float(clip.x) ||
                                           y >= float(clip.y + clip.h) || y + h <= float(clip.y));
                const Page& p = a.pages[size_t(g.page)];
                float u0 = float(g.src.x) / float(p.w), v0 = float(g.src.y) / float(p.h);
                float u1 = float(g.src.x + g.src.w) / float(p.w);
                float v1 = float(g.src.y + g.src.h) / float(p.h);
                if (!outside) {
                    auto& out = batch(p.texture);
                    out.push_back({{x, y}, col, {u0, v0}});
                    out.push_back({{x + w, y}, col, {u1, v0}});
                    out.push_back({{x + w, y + h}, col, {u1, v1}});
                    out.push_back({{x, y + h}, col, {u0, v1}});
                }
            }
        }
        pen += m.advance * scale + spacing;
        // Text runs rightwards: past the window's right edge nothing more can show, so a line of
        // megabytes costs only its visible glyphs.
        if (pen > float(s.pixel_width) + size) break;   // a glyph may reach a little left of its pen
    }
    for (const auto& [texture, v] : batches) {
        if (v.empty()) continue;
        size_t quads = v.size() / 4;
        indices.resize(quads * 6);
        for (size_t q = 0; q < quads; ++q) {
            int b = int(q * 4);
            int* ix = &indices[q * 6];
            ix[0] = b; ix[1] = b + 1; ix[2] = b + 2; ix[3] = b; ix[4] = b + 2; ix[5] = b + 3;
        }
        SDL_RenderGeometry(s.renderer, texture, v.data(), int(v.size()), indices.data(),
                           int(indices.size()));
    }
}

SDL_Rect text_bounds(int font, std::string_view text, Rect rect) {
    // Glyphs reach a little past the pen and past ascent and descent: a size's margin holds them.
    float size = rect.w;
    float width = measure_text(font, text, size, rect.h).x;
    int x0 = int(std::floor(rect.x - size)) - 1, y0 = int(std::floor(rect.y - size)) - 1;
    int x1 = int(std::ceil(rect.x + width + size)) + 1, y1 = int(std::ceil(rect.y + 2 * size)) + 1;
    return to_pixels({x0, y0, x1 - x0, y1 - y0}, state().scale, true);
}

void record_texts(bool on) {
    state().record = on;
    if (!on) state().texts.clear();
}

const std::vector<Drawn_Text>& drawn_texts() { return state().texts; }

}  // namespace gfx
