// The frame list: a frame's draw calls recorded as plain commands, compared with the frame on
// screen, and drawn only when they differ. Also pictures (window-sized layers painted once) and
// the colours the renderer blends.
//
// Index:
//   Recording   record_fill (with the pixels a rectangle covers), record_clip, record_text
//   Comparing   same_frame, changed_areas (the rectangles a frame may change)
//   Drawing     draw_list: whole or within an area, same-coloured fills in one call;
//               draw_areas: only within the changed rectangles
//   Pictures    draw_picture, release_pictures, blend_colors
#include "gfx/state.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace gfx {

// Recording -------------------------------------------------------------------------------------

// What decides the pixels a filled rectangle covers, so that two frames whose rectangles moved
// by less than a pixel compare equal when they look the same. SDL's software renderer truncates
// the position and the size to whole pixels. The others cover the pixels whose centres lie
// inside the rectangle: what counts is how many centres lie before each edge. Their vertices go
// through float transforms and a sub-pixel grid first, so an edge within 1/64 pixel of a pixel
// centre makes the frame uncertain (always drawn). In window pixels, at the display scale.
static SDL_Rect pixels_of(const Rect& r, bool software, bool& certain) {
    if (software)
        return {int(r.x), int(r.y), std::max(int(r.w), 1), std::max(int(r.h), 1)};
    auto centres_before = [&certain](float edge) {
        float v = edge - 0.5f;
        if (std::fabs(v - std::round(v)) < 1.0f / 64) certain = false;
        return int(std::ceil(v));
    };
    return {centres_before(r.x), centres_before(r.y), centres_before(r.x + r.w),
            centres_before(r.y + r.h)};
}

void record_fill(Rect r, Color c) {
    Window_State& s = state();
    Command cmd;
    cmd.kind = Command::Fill;
    cmd.color = c;
    cmd.rect = r;
    Rect scaled{r.x * s.scale, r.y * s.scale, r.w * s.scale, r.h * s.scale};
    cmd.pixels = pixels_of(scaled, s.software, s.recording->certain);
    s.recording->commands.push_back(cmd);
}

void record_clip(const SDL_Rect* clip) {
    Command cmd;
    cmd.kind = Command::Clip;
    cmd.pixels = clip ? to_pixels(*clip, state().scale, false) : SDL_Rect{0, 0, -1, -1};
    state().recording->commands.push_back(cmd);
}

void record_text(int font, std::string_view text, Vec2 pos, float size, float spacing, Color c) {
    Frame_List& list = *state().recording;
    Command cmd;
    cmd.kind = Command::Text;
    cmd.color = c;
    cmd.rect = {pos.x, pos.y, size, spacing};
    cmd.id = font;
    cmd.text = uint32_t(list.text.size());
    cmd.length = uint32_t(text.size());
    list.text.append(text);
    list.commands.push_back(cmd);
}

// Comparing -------------------------------------------------------------------------------------

static bool same_color(Color a, Color b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

static bool same_pixels(const SDL_Rect& a, const SDL_Rect& b) {
    return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}

static bool same_command(const Frame_List& la, const Command& a, const Frame_List& lb, const Command& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case Command::Fill:
        return same_color(a.color, b.color) && same_pixels(a.pixels, b.pixels);
    case Command::Clip:
        return same_pixels(a.pixels, b.pixels);
    case Command::Picture:
        return a.id == b.id;
    case Command::Image:
        return a.id == b.id && same_pixels(a.pixels, b.pixels);
    case Command::Text:
        return same_color(a.color, b.color) && a.id == b.id && a.rect.x == b.rect.x &&
               a.rect.y == b.rect.y && a.rect.w == b.rect.w && a.rect.h == b.rect.h &&
               std::string_view(la.text).substr(a.text, a.length) ==
                   std::string_view(lb.text).substr(b.text, b.length);
    }
    return false;
}

bool same_frame(const Frame_List& a, const Frame_List& b) {
    if (!a.certain || !b.certain || a.commands.size() != b.commands.size() || a.text != b.text)
        return false;
    for (size_t i = 0; i < a.commands.size(); ++i)
        if (!same_command(a, a.commands[i], b, b.commands[i])) return false;
    return true;
}

// The part of `a` outside `b` when `b` is `a` moved along one axis (a scrolled block): at most a
// strip. Otherwise all of `a`.
static void add_outside(const SDL_Rect& a, const SDL_Rect& b, std::vector<SDL_Rect>& out) {
    SDL_Rect strip = a;
    if (a.y == b.y && a.h == b.h && a.w == b.w && std::abs(a.x - b.x) < a.w) {
        strip.w = std::abs(a.x - b.x);
        if (a.x > b.x) strip.x = b.x + b.w;
    } else if (a.x == b.x && a.w == b.w && a.h == b.h && std::abs(a.y - b.y) < a.h) {
        strip.h = std::abs(a.y - b.y);
        if (a.y > b.y) strip.y = b.y + b.h;
    }
    if (strip.w > 0 && strip.h > 0) out.push_back(strip);
}

// Pixels outside every command that differs see the same draws in both lists, so they are the
// same. An opaque fill that only moved paints the same colour over the pixels both of its
// places cover, whatever lay below: only the strips it left and entered can differ. Only for
// the software renderer's exact pixel rectangles; lists of another shape, or differing clips or
// pictures, make the whole frame change.
bool changed_areas(const Frame_List& a, const Frame_List& b, std::vector<SDL_Rect>& areas) {
    Window_State& s = state();
    areas.clear();
    if (!s.software || !a.certain || !b.certain || a.commands.size() != b.commands.size())
        return false;
    for (size_t i = 0; i < a.commands.size(); ++i) {
        const Command& x = a.commands[i];
        const Command& y = b.commands[i];
        if (same_command(a, x, b, y)) continue;
        if (x.kind != y.kind || x.kind == Command::Clip || x.kind == Command::Picture || x.kind == Command::Image)
            return false;
        if (x.kind == Command::Fill) {
            if (x.color.a == 255 && same_color(x.color, y.color)) {
                add_outside(x.pixels, y.pixels, areas);
                add_outside(y.pixels, x.pixels, areas);
            } else {
                areas.push_back(x.pixels);
                areas.push_back(y.pixels);
            }
        } else {
            areas.push_back(text_bounds(x.id, std::string_view(a.text).substr(x.text, x.length), x.rect));
            areas.push_back(text_bounds(y.id, std::string_view(b.text).substr(y.text, y.length), y.rect));
        }
    }
    // Within the window, and the strips of a column of blocks joined into one: a scrolling
    // skyline becomes one narrow rectangle per block edge.
    SDL_Rect window{0, 0, s.pixel_width, s.pixel_height};
    size_t kept = 0;
    for (SDL_Rect& r : areas)
        if (SDL_IntersectRect(&r, &window, &r)) areas[kept++] = r;
    areas.resize(kept);
    if (areas.empty()) return false;
    std::sort(areas.begin(), areas.end(), [](const SDL_Rect& p, const SDL_Rect& q) {
        return p.x != q.x ? p.x < q.x : p.w != q.w ? p.w < q.w : p.y < q.y;
    });
    const int slack = int(std::ceil(2 * s.scale));   // the gaps between stacked blocks
    kept = 0;
    for (const SDL_Rect& r : areas) {
        SDL_Rect& last = areas[kept > 0 ? kept - 1 : 0];
        if (kept > 0 && r.x == last.x && r.w == last.w && r.y <= last.y + last.h + slack) {
            int bottom = std::max(last.y + last.h, r.y + r.h);
            last.h = bottom - last.y;
        } else {
            areas[kept++] = r;
        }
    }
    areas.resize(kept);
    // Neighbouring strips (the two edges of a gap, the edges of other layers nearby) into one
    // where that adds little: drawing and sending a rectangle costs more per row than per pixel.
    kept = 0;
    for (const SDL_Rect& r : areas) {
        SDL_Rect& last = areas[kept > 0 ? kept - 1 : 0];
        SDL_Rect both;
        if (kept > 0 && r.x <= last.x + last.w + 2 * slack) {
            SDL_UnionRect(&last, &r, &both);
            if (long(both.w) * both.h * 2 <= 3 * (long(last.w) * last.h + long(r.w) * r.h)) {
                last = both;
                continue;
            }
        }
        areas[kept++] = r;
    }
    areas.resize(kept);
    // Past a few hundred rectangles one around them all is cheaper to draw and send.
    if (areas.size() > 400) {
        SDL_Rect all = areas[0];
        for (const SDL_Rect& r : areas) SDL_UnionRect(&all, &r, &all);
        areas.assign(1, all);
    }
    return true;
}

// Drawing ---------------------------------------------------------------------------------------

// The clip for a command's own clip (null: none) within `area` (null: the whole frame).
static void set_clip(SDL_Renderer* r, const SDL_Rect* clip, const SDL_Rect* area) {
    if (!area) {
        SDL_RenderSetClipRect(r, clip);
        return;
    }
    SDL_Rect c = *area;
    if (clip && !SDL_IntersectRect(clip, area, &c)) c = {-2, -2, 1, 1};   // empty: off screen
    SDL_RenderSetClipRect(r, &c);
}

void draw_list(const Frame_List& list, const SDL_Rect* area) {
    Window_State& s = state();
    SDL_Renderer* r = s.renderer;
    SDL_SetRenderDrawColor(r, 0, 0, 0, 255);
    if (area) {
        // Clearing ignores the clip: fill the area black instead.
        SDL_RenderSetClipRect(r, area);
        SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_NONE);
        SDL_RenderFillRect(r, area);
    } else {
        SDL_RenderSetClipRect(r, nullptr);
        SDL_RenderClear(r);
    }
    SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_BLEND);
    const std::vector<Command>& cmds = list.commands;
    const float k = s.scale;
    static std::vector<SDL_FRect> batch;
    for (size_t i = 0; i < cmds.size();) {
        const Command& c = cmds[i];
        switch (c.kind) {
        case Command::Fill: {
            // A run of fills in one colour is one call. Opaque fills stay blended (which gives
            // exactly their colour): SDL's software renderer fills small rectangles far slower
            // unblended, with streaming stores.
            batch.clear();
            size_t j = i;
            for (; j < cmds.size() && cmds[j].kind == Command::Fill && same_color(cmds[j].color, c.color); ++j)
                batch.push_back({cmds[j].rect.x * k, cmds[j].rect.y * k, cmds[j].rect.w * k, cmds[j].rect.h * k});
            // A transparent run draws nothing: recorded only to keep the frame's shape.
            if (c.color.a != 0) {
                SDL_SetRenderDrawColor(r, c.color.r, c.color.g, c.color.b, c.color.a);
                SDL_RenderFillRectsF(r, batch.data(), int(batch.size()));
            }
            i = j;
            continue;
        }
        case Command::Clip:
            set_clip(r, c.pixels.w < 0 ? nullptr : &c.pixels, area);
            break;
        case Command::Picture:
            if (size_t(c.id) < s.pictures.size() && s.pictures[size_t(c.id)])
                SDL_RenderCopy(r, s.pictures[size_t(c.id)], nullptr, nullptr);
            break;
        case Command::Image:
            if (SDL_Texture* t = image_texture(c.id)) SDL_RenderCopy(r, t, nullptr, &c.pixels);
            break;
        case Command::Text:
            render_text(c.id, std::string_view(list.text).substr(c.text, c.length),
                        {c.rect.x * k, c.rect.y * k}, c.rect.w * k, c.rect.h * k, c.color);
            break;
        }
        ++i;
    }
    SDL_RenderSetClipRect(r, nullptr);
}

// The window pixels a command may touch (clips: none), for skipping it outside an area.
static SDL_Rect bounds_of(const Frame_List& list, const Command& c) {
    Window_State& s = state();
    switch (c.kind) {
    case Command::Fill: case Command::Image: return c.pixels;
    case Command::Text: return text_bounds(c.id, std::string_view(list.text).substr(c.text, c.length), c.rect);
    case Command::Picture: return {0, 0, s.pixel_width, s.pixel_height};
    case Command::Clip: break;
    }
    return {0, 0, 0, 0};
}

void draw_areas(const Frame_List& list, const std::vector<SDL_Rect>& areas) {
    Window_State& s = state();
    SDL_Renderer* r = s.renderer;
    const std::vector<Command>& cmds = list.commands;
    const float k = s.scale;
    // Commands by the columns of window pixels they touch (clips in every column, since they
    // set the state the later commands draw with), so that a narrow area looks only at the
    // commands in its column.
    const int column_width = 64;
    const int columns = std::max(1, (s.pixel_width + column_width - 1) / column_width);
    static std::vector<std::vector<uint32_t>> in_column;
    static std::vector<SDL_Rect> bounds;
    in_column.resize(size_t(columns));
    for (auto& c : in_column) c.clear();
    bounds.resize(cmds.size());
    for (size_t i = 0; i < cmds.size(); ++i) {
        bounds[i] = bounds_of(list, cmds[i]);
        int first = 0, last = columns - 1;
        if (cmds[i].kind != Command::Clip) {
            if (bounds[i].w <= 0 || bounds[i].h <= 0) continue;
            first = std::clamp(bounds[i].x / column_width, 0, columns - 1);
            last = std::clamp((bounds[i].x + bounds[i].w - 1) / column_width, 0, columns - 1);
        }
        for (int c = first; c <= last; ++c) in_column[size_t(c)].push_back(uint32_t(i));
    }
    static std::vector<uint32_t> everything;
    everything.resize(cmds.size());
    for (size_t i = 0; i < cmds.size(); ++i) everything[i] = uint32_t(i);
    static std::vector<SDL_FRect> batch;
    for (const SDL_Rect& area : areas) {
        int c0 = std::clamp(area.x / column_width, 0, columns - 1);
        int c1 = std::clamp((area.x + area.w - 1) / column_width, 0, columns - 1);
        const std::vector<uint32_t>& todo = c0 == c1 ? in_column[size_t(c0)] : everything;
        // Black first (clearing ignores the clip), then every command that touches the area,
        // in order; a command's own clip is set only before something is drawn under it.
        SDL_RenderSetClipRect(r, &area);
        SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_NONE);
        SDL_SetRenderDrawColor(r, 0, 0, 0, 255);
        SDL_RenderFillRect(r, &area);
        SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_BLEND);
        const SDL_Rect* clip = nullptr;
        bool clip_set = true;
        for (size_t n = 0; n < todo.size();) {
            const Command& c = cmds[todo[n]];
            if (c.kind == Command::Clip) {
                clip = c.pixels.w < 0 ? nullptr : &c.pixels;
                clip_set = false;
                ++n;
                continue;
            }
            if (!SDL_HasIntersection(&bounds[todo[n]], &area)) {
                ++n;
                continue;
            }
            if (!clip_set) {
                set_clip(r, clip, &area);
                clip_set = true;
            }
            if (c.kind == Command::Fill) {
                // Touching fills of one colour in one call.
                batch.clear();
                for (; n < todo.size(); ++n) {
                    const Command& f = cmds[todo[n]];
                    if (f.kind != Command::Fill || !same_color(f.color, c.color)) break;
                    if (!SDL_HasIntersection(&bounds[todo[n]], &area)) continue;
                    batch.push_back({f.rect.x * k, f.rect.y * k, f.rect.w * k, f.rect.h * k});
                }
                if (c.color.a != 0) {
                    SDL_SetRenderDrawColor(r, c.color.r, c.color.g, c.color.b, c.color.a);
                    SDL_RenderFillRectsF(r, batch.data(), int(batch.size()));
                }
                continue;
            }
            if (c.kind == Command::Picture) {
                if (size_t(c.id) < s.pictures.size() && s.pictures[size_t(c.id)])
                    SDL_RenderCopy(r, s.pictures[size_t(c.id)], nullptr, nullptr);
            } else if (c.kind == Command::Image) {
                if (SDL_Texture* t = image_texture(c.id)) SDL_RenderCopy(r, t, nullptr, &c.pixels);
            } else {
                render_text(c.id, std::string_view(list.text).substr(c.text, c.length),
                            {c.rect.x * k, c.rect.y * k}, c.rect.w * k, c.rect.h * k, c.color);
            }
            ++n;
        }
    }
    SDL_RenderSetClipRect(r, nullptr);
}

// Pictures and blended colours ------------------------------------------------------------------

// The picture (the render target now) copied into a texture of the window's own pixel format,
// which the software renderer copies as plain memory; the same pixels, as it is opaque.
// The picture itself where that cannot be done.
static SDL_Texture* in_window_format(SDL_Texture* picture) {
    Window_State& s = state();
    uint32_t format = SDL_GetWindowPixelFormat(s.window);
    if (format == SDL_PIXELFORMAT_UNKNOWN || format == SDL_PIXELFORMAT_ARGB8888 ||
        SDL_BYTESPERPIXEL(format) != 4)
        return picture;
    std::vector<uint32_t> pixels(size_t(s.pixel_width) * size_t(s.pixel_height));
    SDL_Texture* copy = SDL_CreateTexture(s.renderer, format, SDL_TEXTUREACCESS_STATIC, s.pixel_width,
                                          s.pixel_height);
    if (!copy || SDL_RenderReadPixels(s.renderer, nullptr, format, pixels.data(), s.pixel_width * 4) != 0 ||
        SDL_UpdateTexture(copy, nullptr, pixels.data(), s.pixel_width * 4) != 0) {
        if (copy) SDL_DestroyTexture(copy);
        return picture;
    }
    SDL_DestroyTexture(picture);
    return copy;
}

bool draw_picture(int id, const std::function<void()>& paint) {
    Window_State& s = state();
    if (!drawing() || id < 0 || id > 63) return false;
    if (s.pictures.size() <= size_t(id)) s.pictures.resize(size_t(id) + 1, nullptr);
    SDL_Texture*& picture = s.pictures[size_t(id)];
    if (!picture) {
        picture = SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET,
                                    s.pixel_width, s.pixel_height);
        if (picture) {
            Frame_List painted;
            s.recording = &painted;
            paint();
            s.recording = &s.list;
            SDL_Texture* target = SDL_GetRenderTarget(s.renderer);
            SDL_SetRenderTarget(s.renderer, picture);
            draw_list(painted);
            if (s.software) picture = in_window_format(picture);
            SDL_SetRenderTarget(s.renderer, target);
            SDL_SetTextureBlendMode(picture, SDL_BLENDMODE_NONE);
        }
    }
    if (!picture) return false;
    Command cmd;
    cmd.kind = Command::Picture;
    cmd.id = id;
    s.recording->commands.push_back(cmd);
    return true;
}

void release_pictures() {
    Window_State& s = state();
    for (SDL_Texture* t : s.pictures)
        if (t) SDL_DestroyTexture(t);
    s.pictures.clear();
    release_image_textures();
}

void forget_blends() { state().blends.clear(); }

Color blend_colors(Color below, Color above) {
    Window_State& s = state();
    auto pack = [](Color c) { return uint32_t(c.r) << 24 | uint32_t(c.g) << 16 | uint32_t(c.b) << 8 | c.a; };
    auto key = std::make_pair(pack(below), pack(above));
    auto it = s.blends.find(key);
    if (it != s.blends.end()) return it->second;
    // The renderer's own arithmetic, read back from one pixel; plain arithmetic without a target.
    float a = above.a / 255.0f;
    auto mix = [a](uint8_t d, uint8_t u) { return uint8_t(std::lround(u * a + d * (1 - a))); };
    Color out{mix(below.r, above.r), mix(below.g, above.g), mix(below.b, above.b), 255};
    SDL_Texture* t = s.renderer ? SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_ARGB8888,
                                                    SDL_TEXTUREACCESS_TARGET, 1, 1)
                                : nullptr;
    if (t) {
        SDL_Texture* target = SDL_GetRenderTarget(s.renderer);
        SDL_SetRenderTarget(s.renderer, t);
        SDL_RenderSetClipRect(s.renderer, nullptr);
        SDL_SetRenderDrawBlendMode(s.renderer, SDL_BLENDMODE_NONE);
        SDL_SetRenderDrawColor(s.renderer, below.r, below.g, below.b, below.a);
        SDL_RenderFillRect(s.renderer, nullptr);
        SDL_SetRenderDrawBlendMode(s.renderer, SDL_BLENDMODE_BLEND);
        SDL_SetRenderDrawColor(s.renderer, above.r, above.g, above.b, above.a);
        SDL_RenderFillRect(s.renderer, nullptr);
        unsigned char px[4] = {};
        if (SDL_RenderReadPixels(s.renderer, nullptr, SDL_PIXELFORMAT_ABGR8888, px, 4) == 0)
            out = {px[0], px[1], px[2], px[3]};
        SDL_SetRenderTarget(s.renderer, target);
        SDL_DestroyTexture(t);
    }
    s.blends[key] = out;
    return out;
}

}  // namespace gfx
