// The Play tab (news and the game panel) and the Account tab's install panel.
#include "launcher/launcher.h"
#include "launcher/panels.h"

#include "gfx/gfx.h"

namespace launcher {

static void draw_news(Launcher& state) {
    draw_panel({28, 90, 644, 562});
    ui::draw_text("NEWS", 48, 106, 22, ui::text_color, ui::Face_Title);
    if (state.news.empty()) {
        ui::draw_text("Nothing new yet.", 48, 144, 17, ui::grey, ui::Face_Body);
        return;
    }
    float y = 144;
    for (const News_Item& item : state.news) {
        if (y > 592) break;   // no scrolling: what starts below the panel's foot is not drawn
        ui::draw_text(item.title, 48, y, 20, ui::text_color);
        float date_w = ui::measure_text(item.date, 14).x;
        ui::draw_text(item.date, 604 - date_w, y + 4, 14, ui::grey);
        y += 26;
        y += ui::wrap_text(item.body, 48, y, 556, 16, ui::grey);
        y += 18;
    }
}

static void draw_game_panel(Launcher& state) {
    gfx::Rect panel{692, 90, 380, 562};
    draw_panel(panel);
    gfx::fill_rect({panel.x, panel.y, panel.w, 2}, ui::amber);
    ui::draw_text("TARNWICK", 716, 110, 26, ui::text_color, ui::Face_Title);
    if (!state.notice.empty()) ui::wrap_text(state.notice, 716, 592, 332, 15, state.notice_good ? ui::good : ui::bad);
}

void draw_play(Launcher& state) {
    draw_news(state);
    draw_game_panel(state);
}

void draw_install_panel(Launcher& state) {
    draw_panel({572, 90, 500, 562});
    ui::draw_text("INSTALL", 592, 110, 22, ui::text_color, ui::Face_Title);
    ui::wrap_text("Folder: " + state.install_dir, 592, 150, 456, 15, ui::grey);
}

}  // namespace launcher
