// The Maps tab.
#include "launcher/launcher.h"
#include "launcher/panels.h"

namespace launcher {

void draw_maps(Launcher&) {
    draw_panel({28, 90, 1044, 562});
    ui::draw_text("No maps yet.", 44, 104, 17, ui::grey, ui::Face_Body);
}

}  // namespace launcher
