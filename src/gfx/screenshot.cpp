// Reading back the last finished frame, and PNG screenshots of it.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

#include "gfx/state.h"

#include <cstdio>
#include <string>

namespace gfx {

bool read_frame(std::vector<unsigned char>& rgba, int& width, int& height) {
    Window_State& s = state();
    if (!s.renderer) return false;
    width = s.pixel_width;
    height = s.pixel_height;
    rgba.assign(size_t(width) * size_t(height) * 4, 0);
    // The frame texture holds the frame on screen, or gets it now.
    SDL_Texture* previous = SDL_GetRenderTarget(s.renderer);
    if (s.frame && previous != s.frame) SDL_SetRenderTarget(s.renderer, s.frame);
    if (s.frame && s.frame_stale) {
        draw_list(s.shown);
        s.frame_stale = false;
    }
    // ABGR8888 is R, G, B, A in memory order on little-endian machines.
    int rc = SDL_RenderReadPixels(s.renderer, nullptr, SDL_PIXELFORMAT_ABGR8888, rgba.data(),
                                  width * 4);
    if (s.frame && previous != s.frame) SDL_SetRenderTarget(s.renderer, previous);
    return rc == 0;
}

bool save_screenshot(const char* png_path) {
    if (!png_path || !*png_path) return false;
    std::vector<unsigned char> rgba;
    int w = 0, h = 0;
    if (!read_frame(rgba, w, h)) return false;
    // Whole file under a temporary name first, so a failed write leaves no half PNG behind.
    std::string part = std::string(png_path) + ".part";
    if (!stbi_write_png(part.c_str(), w, h, 4, rgba.data(), w * 4)) {
        std::remove(part.c_str());
        return false;
    }
    if (std::rename(part.c_str(), png_path) != 0) {
        // Windows' rename does not replace an existing file.
        std::remove(png_path);
        if (std::rename(part.c_str(), png_path) != 0) {
            std::remove(part.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace gfx
