// TrueType text with stb_truetype: fonts loaded from memory, one glyph atlas per (font, pixel
// size), drawing in one batched call per atlas page, and raylib-sized measuring.
//
// Index:
//   Fonts      load_font, unload_fonts, metrics per codepoint ('?' for missing glyphs)
//   Atlases    shelf packing into pages, filled on first use and grown as codepoints appear
//   Drawing    draw_text, measure_text, the text record for tests
#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb_truetype.h>
#pragma GCC diagnostic pop

#include "gfx/state.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <unordered_map>

namespace gfx {

namespace {

// Fonts ------------------------------------------------------------------------------------------

struct Metrics {
    int glyph = -1;     // glyph index to draw, or -1 for nothing (control characters)
    float advance = 0;  // in font units
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
    std::vector<Glyph> glyphs;   // by glyph index
};

struct Font {
    stbtt_fontinfo info{};
    float ascent = 0, descent = 0;   // font units; descent is negative
    Metrics latin[256];
    std::unordered_map<uint32_t, Metrics> other;
    std::map<int, Atlas> atlases;    // by pixel size in eighths of a pixel
};

std::vector<std::unique_ptr<Font>> fonts;

// The largest pixel size given its own raster; bigger texts scale this one up.
constexpr int max_raster_px = 512;
constexpr int max_page = 4096;
// Up to this pixel size an atlas starts with all printable ASCII and Latin-1 glyphs.
constexpr int prefill_max_px = 128;

Metrics lookup(const Font& f, uint32_t cp) {
    Metrics m;
    if (cp < 32) return m;
    int g = stbtt_FindGlyphIndex(&f.info, int(cp));
    if (g == 0) g = stbtt_FindGlyphIndex(&f.info, '?');
    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(&f.info, g, &advance, &bearing);
    m.glyph = g;
    m.advance = float(advance);
    return m;
}

const Metrics& metrics(Font& f, uint32_t cp) {
    if (cp < 256) return f.latin[cp];
    auto it = f.other.find(cp);
    if (it == f.other.end()) it = f.other.emplace(cp, lookup(f, cp)).first;
    return it->second;
}

Font* font_of(int id) {
    if (id < 0 || size_t(id) >= fonts.size()) return nullptr;
    return fonts[size_t(id)].get();
}

// Decodes one UTF-8 character at text[i], advancing i; malformed bytes read as U+FFFD one byte
// at a time, so any byte string draws and measures without reading past its end.
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

// Atlases ----------------------------------------------------------------------------------------

int pow2_at_least(int v) {
    int p = 64;
    while (p < v && p < max_page) p *= 2;
    return p;
}

bool add_page(Atlas& a, int min_w, int min_h) {
    // Sized for the whole ASCII and Latin-1 set at this pixel size, so most texts need one page;
    // the very large sizes hold only what is drawn, a few title letters, so start small there.
    double glyphs = a.px <= prefill_max_px ? 191 : 16;
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

const Glyph& glyph(Font& f, Atlas& a, int index) {
    if (a.glyphs.empty()) a.glyphs.resize(size_t(std::max(f.info.numGlyphs, 1)));
    if (index < 0 || size_t(index) >= a.glyphs.size()) {
        static const Glyph none{true, -1, {}, 0, 0};
        return none;
    }
    Glyph& g = a.glyphs[size_t(index)];
    if (g.ready) return g;
    g.ready = true;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    stbtt_GetGlyphBitmapBox(&f.info, index, a.scale, a.scale, &x0, &y0, &x1, &y1);
    int w = x1 - x0, h = y1 - y0;
    if (w <= 0 || h <= 0) return g;
    SDL_Rect at;
    int page = -1;
    if (!place(a, w, h, page, at)) return g;
    std::vector<unsigned char> alpha(size_t(w) * size_t(h));
    stbtt_MakeGlyphBitmap(&f.info, alpha.data(), w, h, w, a.scale, a.scale, index);
    // White glyphs with coverage in alpha: the draw colour comes in through the vertices.
    std::vector<uint32_t> argb(alpha.size());
    for (size_t i = 0; i < alpha.size(); ++i) argb[i] = (uint32_t(alpha[i]) << 24) | 0xFFFFFFu;
    SDL_UpdateTexture(a.pages[size_t(page)].texture, &at, argb.data(), w * 4);
    g.page = page;
    g.src = at;
    g.xoff = x0;
    g.yoff = y0;
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
    // frames do not trickle texture uploads; very large sizes only hold what is drawn.
    if (px <= prefill_max_px) {
        for (uint32_t cp = 32; cp < 256; ++cp) {
            if (cp == 127) cp = 160;
            glyph(f, a, metrics(f, cp).glyph);
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

// Fonts ------------------------------------------------------------------------------------------

int load_font(const unsigned char* ttf, size_t size) {
    if (!ttf || size < 12) return -1;
    int offset = stbtt_GetFontOffsetForIndex(ttf, 0);
    if (offset < 0 || size_t(offset) >= size) return -1;
    auto f = std::make_unique<Font>();
    if (!stbtt_InitFont(&f->info, ttf, offset)) return -1;
    int ascent = 0, descent = 0, gap = 0;
    stbtt_GetFontVMetrics(&f->info, &ascent, &descent, &gap);
    if (ascent - descent <= 0) return -1;
    f->ascent = float(ascent);
    f->descent = float(descent);
    for (uint32_t cp = 0; cp < 256; ++cp) f->latin[cp] = lookup(*f, cp);
    fonts.push_back(std::move(f));
    return int(fonts.size()) - 1;
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
    if (!f) return;

    const int eighths = std::clamp(int(std::lround(size * 8)), 1, max_raster_px * 8);
    Atlas& a = atlas(*f, eighths);
    // Up to the largest raster a glyph's bitmap is drawn pixel for pixel (within 1/16 px of its
    // size); beyond, that raster is scaled.
    float k = size <= float(max_raster_px) ? 1.0f : size * 8 / float(eighths);   // atlas to screen pixels
    float scale = size / (f->ascent - f->descent);  // font units to screen pixels
    // The baseline on a whole pixel row, so that every glyph of a line sits on the same rows at
    // any position: the bitmaps are made for a baseline on a pixel edge.
    float baseline = std::round(pos.y + f->ascent * scale);
    float pen = pos.x;

    // One vertex batch per atlas page: a frame of a hundred strings stays a few hundred draws.
    // Reused across calls; drawing is main-thread only.
    static std::vector<std::vector<SDL_Vertex>> verts;
    static std::vector<int> indices;
    for (auto& v : verts) v.clear();
    const SDL_Color col{c.r, c.g, c.b, c.a};
    // Glyphs wholly outside the clip draw nothing: a narrow redrawn area costs only its own.
    SDL_Rect clip{};
    SDL_RenderGetClipRect(s.renderer, &clip);
    const bool clipped = clip.w > 0 && clip.h > 0;
    for (size_t i = 0; i < text.size();) {
        const Metrics& m = metrics(*f, next_codepoint(text, i));
        if (m.glyph >= 0) {
            const Glyph& g = glyph(*f, a, m.glyph);
            if (g.page >= 0) {
                // Glyph corners on whole pixels keep 1:1 rasters crisp.
                float x = std::round(pen + float(g.xoff) * k);
                float y = baseline + std::round(float(g.yoff) * k);
                float w = float(g.src.w) * k, h = float(g.src.h) * k;
                bool outside = clipped && (x >= float(clip.x + clip.w) || x + w <= float(clip.x) ||
                                           y >= float(clip.y + clip.h) || y + h <= float(clip.y));
                const Page& p = a.pages[size_t(g.page)];
                float u0 = float(g.src.x) / float(p.w), v0 = float(g.src.y) / float(p.h);
                float u1 = float(g.src.x + g.src.w) / float(p.w);
                float v1 = float(g.src.y + g.src.h) / float(p.h);
                if (verts.size() < a.pages.size()) verts.resize(a.pages.size());
                auto& out = verts[size_t(g.page)];
                if (!outside) {
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
    for (size_t p = 0; p < verts.size() && p < a.pages.size(); ++p) {
        const auto& v = verts[p];
        if (v.empty()) continue;
        size_t quads = v.size() / 4;
        indices.resize(quads * 6);
        for (size_t q = 0; q < quads; ++q) {
            int b = int(q * 4);
            int* ix = &indices[q * 6];
            ix[0] = b; ix[1] = b + 1; ix[2] = b + 2; ix[3] = b; ix[4] = b + 2; ix[5] = b + 3;
        }
        SDL_RenderGeometry(s.renderer, a.pages[p].texture, v.data(), int(v.size()), indices.data(),
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
