// Every screen and dialog drawn in every compiled language and the pseudo-language, at scale 1
// and 2: no text may leave the window or run into another text.
#include "launcher/launcher.h"
#include "launcher/uninstall.h"
#include "paths/paths.h"
#include "support/folders.h"
#include "support/headless.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace launcher;
namespace fs = std::filesystem;

namespace {

struct Box {
    std::string text;
    gfx::Rect r;
};

// The texts of the last frame as the rectangles they cover (their drawn size, the font's line).
std::vector<Box> drawn_boxes() {
    std::vector<Box> out;
    for (const gfx::Drawn_Text& t : gfx::drawn_texts()) {
        if (t.text.empty()) continue;
        gfx::Vec2 m = gfx::measure_text(t.font, t.text, t.size, 0.02f * t.size);
        out.push_back({t.text, {t.pos.x, t.pos.y, m.x, t.size}});
    }
    return out;
}

// Overlap beyond a pixel of rounding on each side.
bool overlap(gfx::Rect a, gfx::Rect b) {
    return a.x + 1 < b.x + b.w - 1 && b.x + 1 < a.x + a.w - 1 && a.y + 1 < b.y + b.h - 1 && b.y + 1 < a.y + a.h - 1;
}

bool within(gfx::Rect inner, gfx::Rect outer) {
    return inner.x + 1 >= outer.x && inner.y + 1 >= outer.y && inner.x + inner.w <= outer.x + outer.w + 1 &&
           inner.y + inner.h <= outer.y + outer.h + 1;
}

std::vector<std::string> faults(const std::vector<Box>& boxes) {
    std::vector<std::string> out;
    // A button's label (the text of that label drawn with its middle in the button) stays inside it.
    for (const ui::Label_Box& b : ui::label_boxes())
        for (const Box& t : boxes) {
            float mx = t.r.x + t.r.w / 2, my = t.r.y + t.r.h / 2;
            bool its_label = t.text == b.label && mx >= b.box.x && mx <= b.box.x + b.box.w && my >= b.box.y &&
                             my <= b.box.y + b.box.h;
            if (its_label && !within(t.r, b.box)) out.push_back("out of its button: " + b.label);
        }
    for (size_t i = 0; i < boxes.size(); ++i) {
        const gfx::Rect& r = boxes[i].r;
        if (r.x < 0 || r.y < 0 || r.x + r.w > 1100 || r.y + r.h > 680) out.push_back("outside the window: " + boxes[i].text);
        for (size_t j = i + 1; j < boxes.size(); ++j)
            if (overlap(r, boxes[j].r)) out.push_back("'" + boxes[i].text + "' runs into '" + boxes[j].text + "'");
    }
    return out;
}

}  // namespace

TEST(Fit, EveryScreenAndDialogFitsInEveryLanguageAtBothScales) {
    fs::path root = support::test_folder("fit");
    support::use_data_home(root / "data");
    Launcher state;
    patcher_init(state.patcher, (root / "install").string(), "", "http://127.0.0.1:9");
    state.checked = true;
    state.session.account_name = "Ada";
    state.news = {{"Winter balance update", "28 January 2025", "Spears reach further; towers cost less stone."}};
    gfx::set_test_time(3);

    auto tab = [&](Tab t, bool signed_in) {
        return [&state, t, signed_in] {
            state.tab = t;
            state.session.phase = signed_in ? backend::Session_Phase::Signed_In : backend::Session_Phase{};
            draw_screens(state);
        };
    };
    struct Screen {
        const char* name;
        std::function<void()> draw;
    } screens[] = {
        {"sign in", tab(Tab::Sign_In, false)},
        {"create an account", [&] { state.create_mode = true; tab(Tab::Sign_In, false)(); state.create_mode = false; }},
        {"play", tab(Tab::Play, true)},
        {"browse maps", [&] { state.maps.mine = false; tab(Tab::Maps, true)(); }},
        {"my maps", [&] { state.maps.mine = true; tab(Tab::Maps, true)(); state.maps.mine = false; }},
        {"account", tab(Tab::Account, true)},
        {"account, installed", [&] { state.patcher.installed = "1.0.0"; tab(Tab::Account, true)(); state.patcher.installed.clear(); }},
        {"sign out?", [&] { draw_sign_out_confirm(state); }},
        {"uninstall?", [&] { draw_uninstall_confirm(state); }},
        {"folder browser", [&] {
             open_folder_browser(state, root.string());
             draw_folder_browser(state);
             state.browser.open = false;   // the screens above draw without it
         }},
    };
    std::vector<std::string> codes{"pseudo"};
    for (const lang::Language& l : lang::languages()) codes.push_back(l.code);
    int drawn = 0;
    for (float scale : {1.0f, 2.0f}) {
        ASSERT_TRUE(headless::reopen_at_scale(scale));
        for (const std::string& code : codes) {
            lang::use_language(code);
            for (Screen& s : screens) {
                headless::frame(s.draw);
                headless::frame(s.draw);   // a screen's first frame may still be setting its focus
                for (const std::string& f : faults(drawn_boxes()))
                    ADD_FAILURE() << s.name << ", " << code << ", scale " << scale << ": " << f;
                ++drawn;
            }
        }
    }
    EXPECT_EQ(drawn, int(std::size(screens) * codes.size() * 2));
    lang::use_language("en");
    gfx::set_test_time(-1);
    headless::reopen_at_scale(0);
    patcher_destroy(state.patcher);
    fs::remove_all(root);
    paths::reset_user_dir_for_tests();
}
