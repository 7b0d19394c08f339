// Start-up with the launcher's texts in one language: opens the window (headless: offscreen
// video, SDL's software renderer), loads the theme and draws one frame holding what the Play
// tab shows (tabs, the player's name, a few lines of news, the button), then prints the
// wall-clock time (nanoseconds since 1970) at which that frame was drawn. scripts/bench starts
// it fresh for each run, English against Japanese: the Japanese run pays for unpacking and
// rasterising the CJK fallback face, which an English one never touches.
//
//   text_start en|ja
#include "gfx/gfx.h"
#include "ui/ui.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

int main(int argc, char** argv) {
    const bool japanese = argc > 1 && std::string_view(argv[1]) == "ja";
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    setenv("SDL_RENDER_DRIVER", "software", 0);
    if (!gfx::open_window(1100, 680, "Tarnwick")) return 1;
    ui::load_theme();
    const char* english[] = {
        "PLAY", "MAPS", "ACCOUNT", "Aurelia Northwind", "Patch 0.4: the northern marshes",
        "The ferry to Tarnwick now runs at night, and the lighthouse keeper has a new story.",
        "Fixed a crash when a map's name held a character the font lacked.", "INSTALL",
        "120 MB of 302 MB"};
    const char* japanese_texts[] = {
        "プレイ", "マップ", "アカウント", "山田 太郎", "パッチ 0.4：北の湿地帯",
        "タルンウィック行きのフェリーが夜も運航し、灯台守に新しい物語が加わりました。",
        "地図の名前にフォントにない文字があると落ちる問題を修正しました。", "インストール",
        "302 MB 中 120 MB"};
    gfx::begin_frame();
    ui::begin_frame();
    float y = 40;
    for (const char* t : japanese ? japanese_texts : english) {
        ui::draw_text(t, 40, y, 20, {230, 230, 230, 255}, ui::Face_Body);
        ui::draw_text(t, 40, y + 30, 24, {240, 200, 90, 255}, ui::Face_Interface);
        y += 66;
    }
    gfx::end_frame();
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::printf("%lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
    gfx::close_window();
    return 0;
}
