// The backdrop behind every screen: a night gradient, a scrolling block skyline in three
// layers, and a dark overlay that keeps text readable over it.
#include "ui/ui.h"

#include <cmath>

namespace ui {

void draw_backdrop(double t) {
    const float width = 1100, height = 680;
    gfx::fill_gradient_v({0, 0, width, height}, {0x1C, 0x28, 0x40, 255}, {0x0C, 0x0E, 0x14, 255});
    for (int i = 0; i < 3; ++i) {
        double s = 3.0 * (i + 1) * t;           // this layer's scroll, farther layers slower
        double base = 540 + 40 * i;
        double shift = std::fmod(s, 20.0);
        if (shift < 0) shift += 20;
        double first = std::floor(s / 20);
        gfx::Color top{uint8_t(40 + 18 * i), uint8_t(70 + 12 * i), uint8_t(38 + 18 * i), 255};
        gfx::Color body{uint8_t(30 + 18 * i), uint8_t(38 + 18 * i), uint8_t(34 + 18 * i), 255};
        for (int c = 0; c < 57; ++c) {
            double u = c + first;
            double n = std::round(3 + 2 * std::sin(0.37 * u + 2 * i) + 3 * std::sin(0.11 * u + i));
            double y0 = base - 20 * n;
            float x = float(20 * c - shift);
            for (double y = y0; y < height; y += 20)
                gfx::fill_rect({x, float(y), 19, 19}, y == y0 ? top : body);
        }
    }
    gfx::fill_rect({0, 0, width, height}, {0x08, 0x0A, 0x0E, 60});
}

}  // namespace ui
