// The Maps tab driven through real frames with injected input, against the recording test
// server: the list, its scrolling, downloads, the search and sort controls, My maps.
#include "launcher/account.h"
#include "launcher/launcher.h"
#include "launcher/maps.h"
#include "paths/paths.h"
#include "support/folders.h"
#include "support/headless.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb_image_write.h>
#pragma GCC diagnostic pop


#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace launcher;
using support::Reply;
namespace fs = std::filesystem;

namespace {

// The layout's numbers for the 1044 x 562 content rectangle at (28, 90).
constexpr float panel_top = 188, panel_h = 464;
constexpr float track_x = 1066;   // the middle of the scrollbar's track
constexpr float button_x = 990;   // the middle of a row's button

bool same(gfx::Color a, gfx::Color b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

struct Maps_Tab : ::testing::Test {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    Launcher state;
    fs::path data;
    headless::Draw draw = [this] {
        update(state);
        draw_screens(state);
    };

    void SetUp() override {
        ASSERT_TRUE(srv);
        ASSERT_TRUE(headless::open());
        data = support::test_folder("maps-tab");
        support::use_data_home(data);
        state.backend = support::base_url(*srv);
        ASSERT_TRUE(backend::session_init(state.session, state.backend));
        ASSERT_TRUE(backend::init(state.maps_client, state.backend, "test", 5000));
        state.tab = Tab::Maps;
        gfx::inject_mouse_move(5, 670);   // away from every widget
        support::on(*srv, "GET", "/v1/maps", Reply{200, {}, R"({"maps":[]})"});
    }
    void TearDown() override {
        // Let go of anything the test left pressed, so the next test starts with a clean pointer.
        gfx::inject_mouse_button(gfx::Mouse_Left, false);
        headless::frame(nullptr);
        maps_destroy(state.maps);
        backend::destroy(state.maps_client);
        backend::session_destroy(state.session);
        fs::remove_all(data);
        paths::reset_user_dir_for_tests();
    }

    bool frames_until(const std::function<bool()>& done) { return headless::frames_until(done, draw); }

    // A catalogue already on screen, with no request outstanding.
    void show_entries(int n) {
        state.maps.listed = true;
        for (int i = 0; i < n; i++)
            state.maps.maps.push_back(Map_Entry{.id = 100 + i,
                                                .name = "Map " + std::to_string(i),
                                                .description = "",
                                                .author = {.name = "Ada"},
                                                .file_sha256 = "ab",
                                                .size_bytes = 2048,
                                                .downloads = 5,
                                                .likes = 6,
                                                .version = 1});
        headless::frame(draw);
    }

    size_t requests_to(std::string_view path_prefix) {
        size_t n = 0;
        for (auto& r : support::requests(*srv))
            if (r.target.rfind(path_prefix, 0) == 0) n++;
        return n;
    }

    // Rows of the last frame in column x whose pixel is exactly `c`.
    int rows_of_colour(int x, gfx::Color c) {
        int n = 0;
        for (int y = int(panel_top); y < int(panel_top + panel_h); y++)
            if (same(headless::pixel(x, y), c)) n++;
        return n;
    }

    std::vector<const gfx::Drawn_Text*> texts(std::string_view text) {
        std::vector<const gfx::Drawn_Text*> out;
        for (const gfx::Drawn_Text& t : gfx::drawn_texts())
            if (t.text == text) out.push_back(&t);
        return out;
    }

    fs::path store() const { return data / "Tarnwick" / "maps"; }
};

}  // namespace

TEST_F(Maps_Tab, FirstBrowseFrameAsksForTheCatalogueAndShowsDotsUntilItComes) {
    support::on(*srv, "GET", "/v1/maps", [](const support::Recorded_Request&) {
        Reply r{200, {}, R"({"maps":[]})"};
        r.delay_ms = 300;
        return r;
    });
    headless::frame(draw);
    const gfx::Drawn_Text* dots = headless::find_text("...");
    ASSERT_NE(dots, nullptr);
    EXPECT_EQ(dots->pos.x, 44);
    EXPECT_EQ(dots->pos.y, panel_top + 14);
    EXPECT_EQ(dots->size, 17);
    ASSERT_TRUE(frames_until([&] { return state.maps.list_id == 0; }));
    headless::frame(draw);
    EXPECT_NE(headless::find_text("No maps yet."), nullptr);
    EXPECT_EQ(headless::find_text("..."), nullptr);
    EXPECT_EQ(requests_to("/v1/maps?"), 1u);   // once, not every frame
}

TEST_F(Maps_Tab, AnEmptyListSaysWhyAndALostOneOffersTryAgain) {
    struct Case { int status; const char* search; const char* line; bool retry; } cases[] = {
        {200, "", "No maps yet.", false},
        {200, "castle", "No maps match your search.", false},
        {503, "", "The list didn't arrive.", true},
    };
    for (const Case& c : cases) {
        support::on(*srv, "GET", "/v1/maps", Reply{c.status, {}, R"({"maps":[]})"});
        strcpy(state.maps.search, c.search);
        state.maps.listed = false;
        size_t before = requests_to("/v1/maps?");
        headless::frame(draw);
        ASSERT_TRUE(frames_until([&] { return state.maps.list_id == 0; }));
        headless::frame(draw);
        EXPECT_NE(headless::find_text(c.line), nullptr) << c.line;
        if (std::string(c.line) != "No maps yet.") {
            EXPECT_EQ(headless::find_text("No maps yet."), nullptr) << c.line;
        }
        EXPECT_EQ(headless::find_text("Try again") != nullptr, c.retry) << c.line;
        if (!c.retry) continue;
        support::on(*srv, "GET", "/v1/maps", Reply{200, {}, R"({"maps":[]})"});
        headless::click(100, panel_top + 62, draw);   // Try again asks once more
        ASSERT_TRUE(frames_until([&] { return requests_to("/v1/maps?") == before + 2 && state.maps.list_id == 0; }));
    }
}

TEST_F(Maps_Tab, SixtyEntriesScrollThroughTheirWholeHeight) {
    show_entries(60);
    // Far more notches than needed: the offset stops at 60 x 58 + 20 - 464.
    gfx::inject_mouse_move(500, 400);
    gfx::inject_wheel(-100);
    headless::frame(draw);
    EXPECT_EQ(state.maps.scroll, 3036);
    gfx::inject_wheel(1);
    headless::frame(draw);
    EXPECT_EQ(state.maps.scroll, 3036 - 58);

    // Over the track (grey thumb) the thumb is 464^2 / 3500 = 61.5 px tall and ends near the
    // panel's bottom; the wheel does nothing there.
    gfx::inject_mouse_move(track_x, 400);
    gfx::inject_wheel(5);
    headless::frame(draw);
    EXPECT_EQ(state.maps.scroll, 3036 - 58);
    int thumb = rows_of_colour(int(track_x), ui::grey);
    EXPECT_GE(thumb, 61);
    EXPECT_LE(thumb, 62);

    gfx::inject_mouse_move(500, 400);
    gfx::inject_wheel(200);
    headless::frame(draw);
    EXPECT_EQ(state.maps.scroll, 0);
    // Outside the panel the wheel does nothing.
    gfx::inject_mouse_move(500, 150);
    gfx::inject_wheel(-3);
    headless::frame(draw);
    EXPECT_EQ(state.maps.scroll, 0);

    // Top of the list: the thumb starts at the panel's top.
    headless::move(track_x, 600, draw);
    EXPECT_TRUE(same(headless::pixel(int(track_x), int(panel_top)), ui::grey));
    EXPECT_FALSE(same(headless::pixel(int(track_x), int(panel_top) + 70), ui::grey));
}

TEST_F(Maps_Tab, ShortListsHaveNoScrollbarAndDoNotScroll) {
    show_entries(7);   // 7 x 58 + 20 = 426, less than the panel
    gfx::inject_mouse_move(500, 400);
    gfx::inject_wheel(-4);
    headless::frame(draw);
    EXPECT_EQ(state.maps.scroll, 0);
    headless::move(track_x, 300, draw);
    EXPECT_EQ(rows_of_colour(int(track_x), ui::grey), 0);
}

TEST_F(Maps_Tab, DraggingTheThumbMovesTheListAndLocksTheButtons) {
    show_entries(60);
    const float thumb_h = panel_h * panel_h / 3500;
    // Press inside the thumb 12 px below its top, drag 100 px down.
    gfx::inject_mouse_move(track_x, panel_top + 12);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame(draw);
    EXPECT_TRUE(ui::locked());
    EXPECT_EQ(state.maps.scroll, 0);
    headless::move(track_x, panel_top + 112, draw);
    EXPECT_NEAR(state.maps.scroll, 100 / (panel_h - thumb_h) * 3036, 0.01);
    EXPECT_TRUE(same(headless::pixel(int(track_x), int(panel_top + 130)), ui::amber));
    // The wheel is ignored while dragging.
    gfx::inject_mouse_move(500, 400);
    gfx::inject_wheel(-2);
    headless::frame(draw);
    EXPECT_NEAR(state.maps.scroll, (400 - 12 - panel_top) / (panel_h - thumb_h) * 3036, 0.01);

    // Released over a row's button: the release ends the drag and is no click.
    gfx::inject_mouse_move(button_x, 300);
    headless::frame(draw);
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(draw);
    headless::frame(draw);
    EXPECT_FALSE(ui::locked());
    EXPECT_EQ(state.maps.info_id, 0u);
    EXPECT_EQ(requests_to("/v1/maps/"), 0u);
    float kept = state.maps.scroll;
    headless::move(track_x, 600, draw);
    EXPECT_EQ(state.maps.scroll, kept);   // moving without the button does nothing

    // A press on the track beside the thumb grabs the thumb's middle: it jumps there.
    gfx::inject_mouse_move(track_x, panel_top + 5);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame(draw);
    EXPECT_EQ(state.maps.scroll, 0);
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(draw);
    gfx::inject_mouse_move(track_x, 500);
    gfx::inject_mouse_button(gfx::Mouse_Left, true);
    headless::frame(draw);
    EXPECT_NEAR(state.maps.scroll, (500 - thumb_h / 2 - panel_top) / (panel_h - thumb_h) * 3036, 0.01);
    gfx::inject_mouse_button(gfx::Mouse_Left, false);
    headless::frame(draw);
    EXPECT_FALSE(ui::locked());
}

TEST_F(Maps_Tab, DuringADownloadEveryRowButtonIsDisabledAndOnlyItsRowShowsDots) {
    support::on(*srv, "GET", "/v1/maps/101/download", [](const support::Recorded_Request&) {
        Reply r{404, {}, R"({"error":"not_found"})"};
        r.delay_ms = 400;
        return r;
    });
    show_entries(3);
    fs::create_directories(store());
    std::ofstream(store() / "map_2.tnw") << "TNWM";
    headless::frame(draw);
    ASSERT_EQ(texts("Download").size(), 2u);
    ASSERT_EQ(texts("Update").size(), 1u);
    EXPECT_EQ(texts("Update")[0]->color.r, ui::text_color.r);

    // Row 1's button: its top is 188 + 10 + 58 + 6.
    headless::click(button_x, 262 + 17, draw);
    EXPECT_EQ(state.maps.downloading.id, 101);
    EXPECT_TRUE(maps_busy(state.maps));
    headless::frame(draw);
    auto dots = texts("...");
    ASSERT_EQ(dots.size(), 1u);
    EXPECT_GT(dots[0]->pos.y, 262);
    EXPECT_LT(dots[0]->pos.y, 262 + 34);
    auto downloads = texts("Download");
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_TRUE(same(downloads[0]->color, ui::grey));
    EXPECT_TRUE(same(texts("Update")[0]->color, ui::grey));

    // Clicking another row meanwhile starts nothing.
    headless::click(button_x, 204 + 17, draw);
    EXPECT_EQ(state.maps.downloading.id, 101);
    ASSERT_TRUE(frames_until([&] { return !maps_busy(state.maps); }));
    EXPECT_EQ(requests_to("/v1/maps/"), 1u);
    headless::frame(draw);
    EXPECT_EQ(texts("...").size(), 0u);
    EXPECT_EQ(state.maps.message, "Couldn't download that map.");
    const gfx::Drawn_Text* msg = headless::find_text("Couldn't download that map.");
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->pos.x, 318);
    EXPECT_EQ(msg->pos.y, 99);
    EXPECT_TRUE(same(msg->color, ui::bad));
}

TEST_F(Maps_Tab, SearchBoxEnterAndClickRules) {
    headless::frame(draw);
    ASSERT_TRUE(frames_until([&] { return state.maps.list_id == 0; }));
    ASSERT_EQ(requests_to("/v1/maps?"), 1u);

    headless::click(100, 158, draw);
    EXPECT_TRUE(ui::focused({28, 140, 300, 36}));
    headless::type(" two words ", draw);
    EXPECT_STREQ(state.maps.search, " two words ");
    headless::key(gfx::Key_Enter, draw, false, true);   // Alt+Enter does nothing
    EXPECT_TRUE(ui::focused({28, 140, 300, 36}));
    headless::key(gfx::Key_Kp_Enter, draw);
    EXPECT_TRUE(ui::focused({28, 140, 300, 36}));   // searches, and the box keeps the focus
    ASSERT_TRUE(support::wait_for_requests(*srv, 2, 5000));
    EXPECT_EQ(support::requests(*srv)[1].target, "/v1/maps?sort=new&limit=60&q=two%20words");

    // A click elsewhere ends the editing without searching.
    EXPECT_TRUE(ui::focused({28, 140, 300, 36}));
    headless::click(600, 400, draw);
    EXPECT_FALSE(ui::focused({28, 140, 300, 36}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(requests_to("/v1/maps?"), 2u);

    // "Search" while editing: ends the editing and searches once.
    headless::click(100, 158, draw);
    headless::click(388, 158, draw);
    EXPECT_FALSE(ui::focused({28, 140, 300, 36}));
    ASSERT_TRUE(support::wait_for_requests(*srv, 3, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(requests_to("/v1/maps?"), 3u);
}

TEST_F(Maps_Tab, HugeTextsFromTheBackendCostOnlyWhatARowCanShow) {
    state.maps.listed = true;
    std::string huge = "\xC3\xA9" + std::string(9999, 'W');
    state.maps.maps.push_back(
        Map_Entry{.id = 1, .name = huge, .description = huge, .author = {.name = huge}, .file_sha256 = "ab"});
    headless::frame(draw);
    size_t bytes = 0;
    for (const gfx::Drawn_Text& t : gfx::drawn_texts()) bytes += t.text.size();
    EXPECT_LT(bytes, 2000u);
    const gfx::Drawn_Text* name = headless::find_text_containing("WWWW");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text.rfind("\xC3\xA9WWW", 0), 0u);
}

TEST_F(Maps_Tab, ALongAuthorGivesWayAndTheNumbersStayWhole) {
    state.maps.listed = true;
    std::string author;
    for (int i = 0; i < 12; i++) author += "Wilhelmina ";
    state.maps.maps.push_back(Map_Entry{.id = 1,
                                        .name = "Keep",
                                        .description = "",
                                        .author = {.name = author},
                                        .file_sha256 = "ab",
                                        .size_bytes = 2048,
                                        .downloads = 4812,
                                        .likes = 611,
                                        .version = 3});
    state.maps.maps.push_back(Map_Entry{.id = 2,
                                        .name = "Fort",
                                        .description = "",
                                        .author = {.name = "Ada"},
                                        .file_sha256 = "ab",
                                        .size_bytes = 5120,
                                        .downloads = 1,
                                        .likes = 2,
                                        .version = 1});
    headless::frame(draw);
    const gfx::Drawn_Text* cut = headless::find_text_containing("4812 downloads");
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(cut->text.rfind("by Wilhelmina", 0), 0u) << cut->text;
    EXPECT_TRUE(cut->text.ends_with("\xE2\x80\xA6  -  4812 downloads  -  611 likes  -  v3  -  2 KB")) << cut->text;
    EXPECT_LE(ui::measure_text(cut->text, 14, ui::Face_Body).x, 380 - 8 - 16);
    // A short name is left as it is.
    EXPECT_NE(headless::find_text("by Ada  -  1 downloads  -  2 likes  -  v1  -  5 KB"), nullptr);
}

TEST_F(Maps_Tab, RequestsLeftOnAReplacedClientEndWithEachFlowsFailure) {
    // The game ends while a request waits on the session's client, which is then replaced.
    Reply stalled;
    stalled.stall = true;
    for (const char* path : {"/v1/maps", "/v1/maps/7/download", "/v1/auth/refresh"})
        support::on(*srv, "*", path, stalled);
    fs::create_directories(store());
    std::ofstream(store() / "mine.tnw") << "TNWM mine";
    struct Case {
        const char* flow;
        std::function<void()> start;
        const uint64_t& id;
        const char* message;
    };
    Maps_State& m = state.maps;
    const Map_Entry keep{.id = 7, .name = "Keep", .description = "", .author = {}, .file_sha256 = ""};
    const Case cases[] = {
        {"list", [&] { maps_refresh(m, state.session.client); }, m.list_id, msg_list_failed},
        {"download", [&] { maps_download(m, state.session.client, keep); }, m.info_id, msg_download_failed},
        {"share", [&] { upload_map(m, state.session, (store() / "mine.tnw").string(), "mine"); }, m.share_id,
         msg_share_failed},
    };
    for (const Case& c : cases) {
        account_save("SAVED");   // the game leaves the account behind
        state.session.phase = backend::Session_Phase::Signed_In;
        maps_say(m, "", true);
        c.start();
        ASSERT_NE(c.id, 0u) << c.flow;
        reload_session(state);
        EXPECT_EQ(c.id, 0u) << c.flow;
        EXPECT_EQ(m.message, c.message) << c.flow;
        EXPECT_FALSE(maps_busy(m)) << c.flow;
    }
}

TEST_F(Maps_Tab, SortTogglesRequestTheirOrder) {
    headless::frame(draw);
    EXPECT_NE(headless::find_text("Newest"), nullptr);
    headless::click(584 + 60, 158, draw);   // "Popular"
    EXPECT_EQ(state.maps.sort, Map_Sort::Popular);
    headless::click(584 + 60, 158, draw);   // the current sort: nothing
    headless::click(710 + 60, 158, draw);   // "Most liked"
    EXPECT_EQ(state.maps.sort, Map_Sort::Liked);
    ASSERT_TRUE(support::wait_for_requests(*srv, 3, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto reqs = support::requests(*srv);
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].target, "/v1/maps?sort=popular&limit=60&q=");
    EXPECT_EQ(reqs[2].target, "/v1/maps?sort=liked&limit=60&q=");
}

TEST_F(Maps_Tab, MyMapsListsOnlyLowerCaseTnwFilesAndSharesWhenSignedIn) {
    fs::create_directories(store() / "folder.tnw");
    std::ofstream(store() / "castle.tnw") << std::string(12288 + 1000, 'x');
    std::ofstream(store() / "Castle.TNW") << "TNWM";
    std::ofstream(store() / "notes.txt") << "hello";
    std::ofstream(store() / "dune.tnw.part") << "TNWM";
    state.maps.mine = true;
    state.maps.listed = true;
    headless::frame(draw);
    const gfx::Drawn_Text* where = headless::find_text("Maps in " + store().string());
    ASSERT_NE(where, nullptr);
    EXPECT_EQ(where->pos.y, 140);
    const gfx::Drawn_Text* castle = headless::find_text("castle");
    ASSERT_NE(castle, nullptr);
    EXPECT_EQ(castle->pos.x, 44);
    EXPECT_EQ(castle->pos.y, 168 + 10 + 6);
    EXPECT_NE(headless::find_text("12 KB"), nullptr);
    EXPECT_EQ(headless::find_text("Castle"), nullptr);
    EXPECT_EQ(headless::find_text("Castle.TNW"), nullptr);
    EXPECT_EQ(headless::find_text("folder"), nullptr);
    EXPECT_EQ(headless::find_text("dune.tnw"), nullptr);
    EXPECT_EQ(headless::find_text("Share"), nullptr);   // signed out

    state.session.phase = backend::Session_Phase::Signed_In;
    state.session.access_token = "ACCESS";
    support::on(*srv, "POST", "/v1/maps", [](const support::Recorded_Request&) {
        Reply r{201, {}, "{}"};
        r.delay_ms = 300;
        return r;
    });
    headless::frame(draw);
    ASSERT_EQ(texts("Share").size(), 1u);
    headless::click(button_x, 178 + 17, draw);
    EXPECT_NE(state.maps.share_id, 0u);
    headless::frame(draw);
    EXPECT_TRUE(same(texts("Share")[0]->color, ui::grey));   // one upload at a time
    ASSERT_TRUE(frames_until([&] { return state.maps.share_id == 0; }));
    EXPECT_EQ(state.maps.message, "castle is shared.");
    EXPECT_EQ(requests_to("/v1/maps?"), 0u);   // My maps is showing: no list request
    auto reqs = support::requests(*srv);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].target, "/v1/maps");
    EXPECT_NE(reqs[0].body.find("\r\n\r\nCastle\r\n"), std::string::npos);
}

TEST_F(Maps_Tab, MyMapsWithoutMapsSaysSoAndTheToggleSwitchesViews) {
    headless::frame(draw);
    headless::click(164 + 65, 107, draw);   // "My maps"
    EXPECT_TRUE(state.maps.mine);
    headless::frame(draw);
    EXPECT_NE(headless::find_text("No maps of your own yet: make one in the game's map editor."), nullptr);
    EXPECT_TRUE(fs::is_directory(store()));
    headless::click(28 + 65, 107, draw);   // "Browse"
    EXPECT_FALSE(state.maps.mine);
}

TEST_F(Maps_Tab, MyMapsShowsOnlyWhatFitsThePanel) {
    fs::create_directories(store());
    for (int i = 0; i < 20; i++) {
        char name[16];
        snprintf(name, sizeof name, "m%02d.tnw", i);
        std::ofstream(store() / name) << "TNWM";
    }
    state.maps.mine = true;
    state.maps.listed = true;
    headless::frame(draw);
    // Rows every 46 px from 178 while their top is at most 652 - 40: ten rows.
    EXPECT_NE(headless::find_text("m09"), nullptr);
    EXPECT_EQ(headless::find_text("m10"), nullptr);
}

namespace {

// A PNG of w x h pixels, all of colour `c`.
std::string png_of(int w, int h, gfx::Color c) {
    std::vector<unsigned char> px(size_t(w) * size_t(h) * 3);
    for (size_t i = 0; i < px.size(); i += 3) {
        px[i] = c.r;
        px[i + 1] = c.g;
        px[i + 2] = c.b;
    }
    std::string out;
    stbi_write_png_to_func(
        [](void* ctx, void* data, int size) { static_cast<std::string*>(ctx)->append(static_cast<char*>(data), size_t(size)); },
        &out, w, h, 3, px.data(), w * 3);
    return out;
}

}  // namespace

// Each row's picture: what the backend answers, what the row draws, and what is kept beside the
// maps. A picture is asked for once, and only a decoded one is kept.
TEST_F(Maps_Tab, ThumbnailsAreFetchedOnceKeptBesideTheMapsAndDamagedOnesDrawAPlaceholder) {
    const gfx::Color red{200, 30, 40, 255};
    std::string big_claim = png_of(8, 8, red);
    big_claim[16] = 0x7F;   // the header's width: 2 billion pixels, which the decoder is never asked for
    struct Case { const char* name; int status; std::string body; std::string path; bool drawn; bool kept; } cases[] = {
        {"a picture", 200, png_of(64, 64, red), "/files/maps/a.png", true, true},
        {"a small picture stays small", 200, png_of(20, 20, red), "/files/maps/b.png", true, true},
        {"damaged", 200, png_of(64, 64, red).substr(0, 60), "/files/maps/c.png", false, false},
        {"not a picture", 200, "<html>", "/files/maps/d.png", false, false},
        {"claims a huge size", 200, big_claim, "/files/maps/e.png", false, false},
        {"over the size limit", 200, png_of(8, 8, red) + std::string(thumb_limit, 'x'), "/files/maps/f.png", false, false},
        {"missing", 404, "", "/files/maps/g.png", false, false},
        {"outside the files", 200, png_of(64, 64, red), "/v1/me", false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        maps_destroy(state.maps);
        std::string digest(64, "0123456789abcdef"[n++]);
        support::on(*srv, "GET", c.path, Reply{c.status, {}, c.body});
        size_t before = requests_to(c.path);
        state.maps.listed = true;
        state.maps.maps.push_back(Map_Entry{.id = 1, .name = "Fort", .description = "", .author = {.name = "Ada"},
                                            .file_sha256 = digest, .size_bytes = 2048, .downloads = 1, .likes = 1,
                                            .version = 1, .thumbnail = c.path});
        const float slot_x = 28 + 16 + 22, slot_y = panel_top + 10 + 22;   // the slot's middle
        EXPECT_TRUE(frames_until([&] {
            return state.maps.thumbs.request == 0 && state.maps.thumbs.by_digest.count(digest) &&
                   state.maps.thumbs.by_digest[digest].stage != Thumbnail::Stage::Fetching;
        }));
        headless::frame(draw);
        EXPECT_EQ(same(headless::pixel(slot_x, slot_y), red), c.drawn);
        EXPECT_EQ(fs::exists(store() / "thumbnails" / (digest + ".png")), c.kept);
        EXPECT_EQ(requests_to(c.path) - before, c.path[1] == 'f' ? 1u : 0u);
        if (c.body.size() == png_of(20, 20, red).size() && c.drawn)   // drawn at its size, not stretched
            EXPECT_FALSE(same(headless::pixel(slot_x - 15, slot_y), red));

        // The next run reads a kept picture from the store and asks for nothing.
        maps_destroy(state.maps);
        state.maps.listed = true;
        state.maps.maps.push_back(Map_Entry{.id = 1, .name = "Fort", .description = "", .author = {.name = "Ada"},
                                            .file_sha256 = digest, .size_bytes = 2048, .downloads = 1, .likes = 1,
                                            .version = 1, .thumbnail = c.path});
        size_t asked = requests_to(c.path);
        headless::frame(draw);
        headless::frame(draw);
        if (c.kept) {
            EXPECT_TRUE(same(headless::pixel(slot_x, slot_y), red));
            EXPECT_EQ(requests_to(c.path), asked);
        }
    }
}
