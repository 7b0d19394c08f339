// Images: PNG decoding of untrusted bytes (stb_image, PNG only, bounded before it decodes), and
// images kept by their pixels, drawn as textures made on first use.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_MAX_DIMENSIONS 4096
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include "gfx/state.h"

#include <cmath>
#include <cstring>

namespace gfx {

bool decode_png(std::string_view bytes, size_t max_bytes, int max_side, std::vector<unsigned char>& rgba,
                int& width, int& height) {
    rgba.clear();
    width = height = 0;
    static const unsigned char magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 8 || bytes.size() > max_bytes || std::memcmp(bytes.data(), magic, 8) != 0) return false;
    const auto* data = reinterpret_cast<const stbi_uc*>(bytes.data());
    const int length = int(bytes.size());
    int w = 0, h = 0, channels = 0;
    // The header's size first: a small file may claim a huge picture.
    if (!stbi_info_from_memory(data, length, &w, &h, &channels) || w <= 0 || h <= 0 || w > max_side ||
        h > max_side)
        return false;
    stbi_uc* pixels = stbi_load_from_memory(data, length, &w, &h, &channels, 4);
    if (!pixels) return false;
    if (w > 0 && h > 0 && w <= max_side && h <= max_side) {
        rgba.assign(pixels, pixels + size_t(w) * size_t(h) * 4);
        width = w;
        height = h;
    }
    stbi_image_free(pixels);
    return !rgba.empty();
}

int add_image(std::vector<unsigned char> rgba, int width, int height) {
    if (width <= 0 || height <= 0 || rgba.size() != size_t(width) * size_t(height) * 4) return -1;
    std::vector<Image_Slot>& images = state().images;
    size_t id = 0;
    while (id < images.size() && images[id].used) ++id;
    if (id == images.size()) images.emplace_back();
    Image_Slot& slot = images[id];
    slot.rgba = std::move(rgba);
    slot.width = width;
    slot.height = height;
    slot.texture = nullptr;
    slot.used = true;
    return int(id);
}

void free_image(int id) {
    std::vector<Image_Slot>& images = state().images;
    if (id < 0 || size_t(id) >= images.size()) return;
    if (images[size_t(id)].texture) SDL_DestroyTexture(images[size_t(id)].texture);
    images[size_t(id)] = Image_Slot{};
}

void draw_image(int id, Rect r) {
    Window_State& s = state();
    if (!drawing() || id < 0 || size_t(id) >= s.images.size() || !s.images[size_t(id)].used) return;
    Command cmd;
    cmd.kind = Command::Image;
    cmd.id = id;
    cmd.rect = r;
    // On whole window pixels, so that an image drawn at its size keeps every pixel sharp.
    int x0 = int(std::lround(r.x * s.scale)), y0 = int(std::lround(r.y * s.scale));
    cmd.pixels = {x0, y0, int(std::lround((r.x + r.w) * s.scale)) - x0, int(std::lround((r.y + r.h) * s.scale)) - y0};
    s.recording->commands.push_back(cmd);
}

SDL_Texture* image_texture(int id) {
    Window_State& s = state();
    if (id < 0 || size_t(id) >= s.images.size() || !s.images[size_t(id)].used) return nullptr;
    Image_Slot& slot = s.images[size_t(id)];
    if (slot.texture) return slot.texture;
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    slot.texture = SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_ABGR8888, SDL_TEXTUREACCESS_STATIC, slot.width,
                                     slot.height);
    if (slot.texture && SDL_UpdateTexture(slot.texture, nullptr, slot.rgba.data(), slot.width * 4) != 0) {
        SDL_DestroyTexture(slot.texture);
        slot.texture = nullptr;
    }
    if (slot.texture) SDL_SetTextureBlendMode(slot.texture, SDL_BLENDMODE_BLEND);
    return slot.texture;
}

void release_image_textures() {
    for (Image_Slot& slot : state().images) {
        if (slot.texture) SDL_DestroyTexture(slot.texture);
        slot.texture = nullptr;
    }
}

}  // namespace gfx
