// The Play tab's game panel, the Account tab's install panel, starting the game and the
// background update check, through real headless frames.
//
// With TARNWICK_SHOTS set to a folder, the game panel's states are also saved there as PNGs
// for a person to look at.
#include "support/files.h"
#include "launcher/account.h"
#include "launcher/launcher.h"
#include "paths/paths.h"
#include "platform/files.h"
#include "signed_release.h"
#include "support/folders.h"
#include "support/headless.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace launcher;
using support::Reply;
namespace fs = std::filesystem;

namespace {

using support::slurp;

void put(const fs::path& p, std::string_view content, fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    fs::permissions(p, perms);
}

const fs::perms executable = fs::perms::owner_all;

struct Play_Tab : ::testing::Test {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    Launcher state;
    fs::path root, dir;
    headless::Draw draw = [this] { draw_screens(state); };
    headless::Draw live = [this] {
        update(state);
        draw_screens(state);
    };

    void SetUp() override {
        ASSERT_TRUE(srv);
        ASSERT_TRUE(headless::open());
        root = support::test_folder("play");
        dir = root / "install";
        fs::create_directories(dir);
        support::use_data_home(root / "data");
        state.backend = support::base_url(*srv);
        state.install_dir = dir.string();
        state.tab = Tab::Play;
        patcher_init(state.patcher, state.install_dir, "", state.backend);
        // Signed in as far as the screens can tell; tests that need a live session make one.
        state.session.phase = backend::Session_Phase::Signed_In;
        state.session.account_name = "Ada";
        state.checked = true;   // no automatic check unless a test asks for one
        state.last_check = 1e9;
    }
    void TearDown() override {
        if (state.playing) platform::wait_process(state.game, 5000);
        patcher_destroy(state.patcher);
        backend::session_destroy(state.session);
        fs::remove_all(root);
        paths::reset_user_dir_for_tests();
    }

    bool frames_until(const std::function<bool()>& done, const headless::Draw& d) {
        return headless::frames_until(done, d);
    }
    void shot(const char* name) {
        const char* folder = getenv("TARNWICK_SHOTS");
        if (folder && *folder) gfx::save_screenshot((std::string(folder) + "/" + name + ".png").c_str());
    }
    bool drawn(std::string_view text) { return headless::find_text(text) != nullptr; }
    size_t manifest_requests() {
        size_t n = 0;
        for (auto& r : support::requests(*srv))
            if (r.path() == "/files/releases/stable.json") ++n;
        return n;
    }
};

bool same(gfx::Color a, gfx::Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

}  // namespace

TEST_F(Play_Tab, TheGamePanelShowsEachStateInTheGivenOrder) {
    Patcher& p = state.patcher;

    headless::frame(draw);
    shot("play-not-installed");
    EXPECT_TRUE(drawn("Installed: not installed"));
    EXPECT_TRUE(drawn("Install"));
    EXPECT_FALSE(headless::find_text_containing("Latest"));

    put(dir / "Tarnwick", "game", executable);
    p.state = Patch_State::Checking;
    p.background = false;
    headless::frame(draw);
    shot("play-checking");
    EXPECT_TRUE(drawn("Checking for updates..."));
    EXPECT_FALSE(drawn("PLAY"));

    p.background = true;   // a background check keeps an installed game playable
    headless::frame(draw);
    EXPECT_TRUE(drawn("Checking for updates..."));   // the record names no release: nothing to play
    p.installed = "1.0.0";
    headless::frame(draw);
    EXPECT_TRUE(drawn("PLAY"));
    fs::remove(dir / "Tarnwick");
    headless::frame(draw);
    EXPECT_TRUE(drawn("Checking for updates..."));   // ... but only when there is a game to play

    p.state = Patch_State::Downloading;
    p.check.progress.total = 1000;
    p.check.progress.placed = 375;
    p.installed = "1.0.0";
    p.has_manifest = true;
    p.manifest.version = "1.1.0";
    headless::frame(draw);
    shot("play-downloading");
    EXPECT_TRUE(drawn("Downloading 37%"));
    // The bar covers 37.5 % of the track from its left edge.
    gfx::Color bar = headless::pixel(720, 204), track = headless::pixel(1040, 204);
    EXPECT_EQ(track.r, 0x16);
    EXPECT_EQ(track.g, 0x1A);
    EXPECT_GT(bar.r, track.r + 40);
    EXPECT_TRUE(same(headless::pixel(716 + 332 * 375 / 1000 + 2, 204), track));

    put(dir / "Tarnwick", "game", executable);
    p.state = Patch_State::Ready;
    headless::frame(draw);
    shot("play-update-available");
    const gfx::Drawn_Text* installed = headless::find_text("Installed: 1.0.0");
    const gfx::Drawn_Text* latest = headless::find_text("Latest: 1.1.0");
    ASSERT_TRUE(installed && latest);
    EXPECT_TRUE(same(latest->color, ui::amber));
    EXPECT_EQ(latest->pos.y, 164);
    EXPECT_TRUE(same(installed->color, ui::grey));
    EXPECT_TRUE(drawn("PLAY"));

    p.installed = "1.1.0";
    headless::frame(draw);
    EXPECT_FALSE(headless::find_text_containing("Latest"));

    p.state = Patch_State::Idle;   // no check yet: the game may be stale, offer the install
    headless::frame(draw);
    EXPECT_TRUE(drawn("Install"));

    state.playing = true;
    headless::frame(draw);
    EXPECT_TRUE(drawn("Playing..."));
    EXPECT_FALSE(drawn("PLAY"));
    state.playing = false;
}

TEST_F(Play_Tab, AFailureShowsItsSentenceAndTryAgainStartsAnOrdinaryCheck) {
    Patcher& p = state.patcher;
    put(dir / "Tarnwick", "game", executable);
    p.state = Patch_State::Failed;
    p.background = true;
    p.failure = "data/maps/one.tnw arrived damaged: try again.";
    // A first install that failed part-way left the game's executable, but no release to play.
    headless::frame(draw);
    EXPECT_FALSE(drawn("PLAY"));
    EXPECT_TRUE(drawn("Try again"));
    EXPECT_TRUE(drawn("Change folder"));
    p.installed = "1.0.0";
    headless::frame(draw);
    shot("play-failed");
    EXPECT_TRUE(drawn("PLAY"));   // a failed update does not stop an installed game
    const gfx::Drawn_Text* line = headless::find_text_containing("arrived damaged");
    ASSERT_TRUE(line);
    EXPECT_TRUE(same(line->color, ui::bad));
    EXPECT_GT(line->pos.y, 264);
    const gfx::Drawn_Text* retry = headless::find_text("Try again");
    ASSERT_TRUE(retry);
    EXPECT_GT(retry->pos.y, line->pos.y);

    headless::click(retry->pos.x + 10, retry->pos.y + 5, draw);
    EXPECT_EQ(p.state, Patch_State::Checking);
    EXPECT_FALSE(p.background);
    EXPECT_TRUE(support::wait_for_requests(*srv, 1, 5000));
    EXPECT_EQ(manifest_requests(), 1u);
}

TEST_F(Play_Tab, InstallFetchesTheReleaseAndThenOffersPlay) {
    if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
    signed_release::Release_Server releases(*srv);
    releases.publish({"1.0.0", {{"Tarnwick", "#!/bin/sh\nexit 0\n"}, {"data/readme.txt", "hello"}}});
    headless::frame(live);
    headless::click(882, 232, live);
    EXPECT_EQ(state.patcher.state, Patch_State::Checking);
    EXPECT_FALSE(state.patcher.background);
    ASSERT_TRUE(frames_until([&] { return state.patcher.state == Patch_State::Ready; }, live)) << state.patcher.failure;
    headless::frame(live);
    EXPECT_TRUE(drawn("PLAY"));
    EXPECT_TRUE(drawn("Installed: 1.0.0"));
    EXPECT_TRUE(fs::exists(dir / "install.json"));
}

TEST_F(Play_Tab, AFirstCheckHashesOnItsOwnThreadWhileFramesShowItsProgress) {
    if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
    // The game is there without a record: every file is hashed. The large file is sparse (quick
    // to make) and takes a good part of a second to hash, long enough for frames to pass while it
    // is hashed, which they never can while the main thread hashes it.
    const std::string game = "#!/bin/sh\nexit 0\n";
    put(dir / "Tarnwick", game, executable);
    const fs::path big = dir / "data" / "world.pak";
    put(big, "");
    fs::resize_file(big, 192 << 20);
    std::string digest;
    ASSERT_TRUE(backend::sha256_file_hex(big.string(), digest));
    backend::Release_Manifest m{.channel = "stable", .version = "1.0.0", .published = "2024-05-01", .files = {}};
    m.files = {{.path = "Tarnwick", .size = int64_t(game.size()), .sha256 = backend::sha256_hex(game)},
               {.path = "data/world.pak", .size = 192 << 20, .sha256 = digest}};
    support::on(*srv, "GET", "/files/releases/stable.json", Reply{200, {}, signed_release::envelope(m)});

    headless::frame(live);
    headless::click(882, 232, live);   // Install: the game is there, but no check has vouched for it
    int partial = 0, last = -1;
    bool monotonic = true;
    ASSERT_TRUE(frames_until([&] {
        const gfx::Drawn_Text* label = headless::find_text_containing("Checking files ");
        int percent = label ? std::atoi(label->text.c_str() + 15) : -1;
        if (percent > 0 && percent < 100 && partial++ == 0) shot("play-checking-files");
        if (percent >= 0) monotonic = monotonic && percent >= last, last = percent;
        return state.patcher.state != Patch_State::Checking;
    }, live));
    EXPECT_GE(partial, 2);
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(state.patcher.state, Patch_State::Ready) << state.patcher.failure;
    EXPECT_EQ(state.patcher.installed, "1.0.0");   // both found current: recorded, nothing fetched
    for (auto& r : support::requests(*srv)) EXPECT_EQ(r.path(), "/files/releases/stable.json");
}

TEST_F(Play_Tab, PlayStartsTheGameOnceAndItsEndBringsTheLauncherBack) {
    // The game renews the saved sign-in, as the real one does, and runs until the test lets it end.
    fs::path account = root / "data" / "Tarnwick" / "account.json";
    fs::path quit = root / "quit-game";
    put(dir / "Tarnwick",
        "#!/bin/sh\nwhile [ ! -e '" + quit.string() + "' ]; do sleep 0.05; done\n"
        "printf '{\"refresh_token\":\"FROM-GAME\"}' > '" + account.string() + "'\n", executable);
    state.session.refresh_token = "LAUNCHER-TOKEN";
    state.patcher.state = Patch_State::Ready;
    state.patcher.installed = "1.0.0";
    support::on(*srv, "POST", "/v1/auth/refresh",
                Reply{200, {}, "{\"access_token\":\"A\",\"expires_at\":4102444800,\"refresh_token\":\"NEXT\","
                               "\"account\":{\"id\":9,\"name\":\"Ada\"}}"});

    headless::frame(live);
    headless::click(882, 232, live);
    ASSERT_TRUE(state.playing) << state.notice;
    // (SDL's offscreen driver cannot minimise a window, so that part is not observable here.)
    EXPECT_EQ(slurp(account), "{\"refresh_token\":\"LAUNCHER-TOKEN\"}");
    pid_t first = pid_t(state.game.handle);
    headless::click(882, 232, live);   // a second click meets "Playing..."
    EXPECT_TRUE(drawn("Playing..."));
    EXPECT_EQ(pid_t(state.game.handle), first);
    EXPECT_EQ(manifest_requests(), 0u);   // no check while the game runs

    put(quit, "");
    ASSERT_TRUE(frames_until([&] { return !state.playing; }, live));
    // The launcher resumed with the token the game left, and checked for updates once signed in.
    ASSERT_TRUE(frames_until([&] { return manifest_requests() == 1; }, live));
    bool resumed_with_game_token = false;
    for (auto& r : support::requests(*srv))
        if (r.path() == "/v1/auth/refresh") resumed_with_game_token = r.body == "{\"refresh_token\":\"FROM-GAME\"}";
    EXPECT_TRUE(resumed_with_game_token);
    EXPECT_TRUE(state.patcher.background);
    EXPECT_EQ(state.notice, "");
}

TEST_F(Play_Tab, AGameThatCannotStartSaysWhyOnTheStatusLine) {
    put(dir / "Tarnwick", "not a program");   // no execute permission
    state.patcher.state = Patch_State::Ready;
    state.patcher.installed = "1.0.0";
    headless::frame(draw);
    headless::click(882, 232, draw);
    EXPECT_FALSE(state.playing);
    EXPECT_EQ(state.notice, "Couldn't start the game (Permission denied).");
    EXPECT_FALSE(state.notice_good);
    headless::frame(draw);
    const gfx::Drawn_Text* line = headless::find_text_containing("Couldn't start");
    ASSERT_TRUE(line);
    EXPECT_TRUE(same(line->color, ui::bad));
    EXPECT_EQ(line->pos.y, 592);
}

TEST_F(Play_Tab, TheInstallPanelShowsFolderAndChannelAndChecksFilesUnlessDownloading) {
    state.tab = Tab::Account;
    state.patcher.state = Patch_State::Downloading;
    headless::frame(draw);
    shot("account-install-downloading");
    EXPECT_TRUE(drawn("Channel: stable  -  launcher 0.1.3"));
    const gfx::Drawn_Text* folder = headless::find_text_containing("Folder:");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->pos.x, 592);
    EXPECT_EQ(folder->pos.y, 150);
    const gfx::Drawn_Text* check = headless::find_text("Check files");
    ASSERT_TRUE(check);
    EXPECT_TRUE(same(check->color, ui::grey));
    float x = check->pos.x + 10, y = check->pos.y + 5;
    headless::click(x, y, draw);
    EXPECT_EQ(state.patcher.state, Patch_State::Downloading);

    state.patcher.state = Patch_State::Ready;
    state.patcher.background = true;
    headless::frame(draw);
    headless::click(x, y, draw);
    EXPECT_EQ(state.patcher.state, Patch_State::Checking);
    EXPECT_FALSE(state.patcher.background);
}

TEST_F(Play_Tab, ALongInstallFolderIsBrokenIntoLinesThatStayInThePanel) {
    state.tab = Tab::Account;
    std::string folder = "/home/somebody/" + std::string(40, 'x') + "/games/" + std::string(120, 'y') + "/Tarnwick";
    state.patcher.dir = folder;
    headless::frame(draw);
    std::string joined;
    float last_y = 0;
    for (const gfx::Drawn_Text& t : gfx::drawn_texts()) {
        if (t.pos.x != 592 || t.pos.y < 150 || t.text.rfind("Channel:", 0) == 0) continue;
        if (t.text == "Check files" || t.text == "INSTALL") continue;
        EXPECT_LE(ui::measure_text(t.text, 15, ui::Face_Body).x, 456) << t.text;
        EXPECT_GT(t.pos.y, last_y);
        last_y = t.pos.y;
        joined += t.text;
    }
    EXPECT_EQ(joined, "Folder: " + folder);
    const gfx::Drawn_Text* channel = headless::find_text_containing("Channel:");
    ASSERT_TRUE(channel);
    EXPECT_GT(channel->pos.y, last_y);
}

TEST_F(Play_Tab, TheFirstCheckIsOrdinaryAndLaterOnesComeEvery900SecondsInTheBackground) {
    state.checked = false;
    state.last_check = 0;
    state.session.phase = backend::Session_Phase::Signed_Out;
    headless::frame(live);
    EXPECT_EQ(state.patcher.state, Patch_State::Idle);   // nobody signed in: no check
    EXPECT_FALSE(state.checked);

    state.session.phase = backend::Session_Phase::Signed_In;
    double before = gfx::time();
    headless::frame(live);
    EXPECT_TRUE(state.checked);
    EXPECT_FALSE(state.patcher.background);
    EXPECT_GE(state.last_check, before);
    EXPECT_LE(state.last_check, gfx::time());
    ASSERT_TRUE(frames_until([&] { return state.patcher.state == Patch_State::Failed; }, live));   // 404
    EXPECT_EQ(state.patcher.failure, "The update server said 404.");

    state.last_check = gfx::time() - 899;
    headless::frame(live);
    EXPECT_EQ(state.patcher.state, Patch_State::Failed);   // not due yet

    state.last_check = gfx::time() - 901;
    before = gfx::time();
    headless::frame(live);
    EXPECT_GE(state.last_check, before);
    EXPECT_LE(state.last_check, gfx::time());
    EXPECT_TRUE(state.patcher.background);
    ASSERT_TRUE(frames_until([&] { return manifest_requests() == 2; }, live));
    ASSERT_TRUE(frames_until([&] { return state.patcher.state == Patch_State::Failed; }, live));

    // While the game runs nothing is checked, however overdue; its end makes a check due at once.
    fs::path quit = root / "quit-game";
    put(dir / "Tarnwick", "#!/bin/sh\nwhile [ ! -e '" + quit.string() + "' ]; do sleep 0.05; done\n", executable);
    ASSERT_TRUE(platform::start_process((dir / "Tarnwick").string(), dir.string(), state.game));
    state.playing = true;
    state.last_check = gfx::time() - 5000;
    headless::frame(live);
    EXPECT_TRUE(state.patcher.playing);
    EXPECT_EQ(state.patcher.state, Patch_State::Failed);
    before = gfx::time();
    put(quit, "");
    ASSERT_TRUE(frames_until([&] { return !state.playing; }, live));
    EXPECT_FALSE(state.patcher.playing);
    EXPECT_TRUE(state.patcher.background);
    EXPECT_GE(state.last_check, before);
    EXPECT_TRUE(frames_until([&] { return manifest_requests() == 3; }, live));
}

TEST_F(Play_Tab, TheNewsScrollsToItemsBelowThePanelAndNoFurther) {
    for (int i = 0; i < 6; ++i)
        {
        std::string body;
        for (int w = 0; w < 120; ++w) body += "word ";
        state.news.push_back({"Item " + std::to_string(i), "Dec", body});
    }
    headless::frame(draw);
    EXPECT_EQ(headless::find_text("Item 5"), nullptr);   // below the panel's foot
    for (int notch = 0; notch < 100; ++notch) {
        gfx::inject_mouse_move(300, 400);
        gfx::inject_wheel(-1);
        headless::frame(draw);
    }
    const gfx::Drawn_Text* last = headless::find_text("Item 5");
    ASSERT_NE(last, nullptr);
    EXPECT_LT(last->pos.y, 592);
    EXPECT_GT(last->pos.y, 140 - 200);   // stopped once the end came into view
    gfx::inject_wheel(100);
    headless::frame(draw);
    EXPECT_EQ(headless::find_text("Item 0")->pos.y, 144);
}

TEST_F(Play_Tab, TheDownloadShowsItsStateAndSizesOnTheBarAndInEveryTabsHeader) {
    state.patcher.state = Patch_State::Downloading;
    state.patcher.check.progress.total = 302000000;
    state.patcher.check.progress.placed = 120000000;
    struct Case { Tab tab; bool paused; const char* bar; const char* header; } cases[] = {
        {Tab::Play, false, "Downloading 39%", "Downloading 39%"},
        {Tab::Play, true, "Paused 39%", "Paused 39%"},
        {Tab::Maps, false, nullptr, "Downloading 39%"},
        {Tab::Account, true, nullptr, "Paused 39%"},
    };
    for (const Case& c : cases) {
        state.tab = c.tab;
        state.patcher.paused = c.paused;
        headless::frame(draw);
        size_t shown = 0;
        for (const gfx::Drawn_Text& t : gfx::drawn_texts()) {
            if (t.text != c.header) continue;
            ++shown;
            EXPECT_TRUE(t.pos.y < 64 || c.bar) << c.header;   // in the header, and on the bar of the Play tab
        }
        EXPECT_EQ(shown, c.bar ? 2u : 1u) << int(c.tab) << " " << c.header;
        EXPECT_EQ(headless::find_text("120 MB of 302 MB") != nullptr, c.tab == Tab::Play) << int(c.tab);
    }
    state.patcher.state = Patch_State::Idle;
    state.tab = Tab::Play;
    headless::frame(draw);
    EXPECT_NE(headless::find_text("Install"), nullptr);   // no manifest yet: no size to tell
    EXPECT_EQ(headless::find_text_containing("Downloading"), nullptr);
}

TEST_F(Play_Tab, PauseLetsTheFileInFlightLandAndResumeFinishesTheInstall) {
    if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
    signed_release::Release release{"1.0.0", {{"Tarnwick", "#!/bin/sh\nexit 0\n"}, {"data/a.bin", "aaa"},
                                              {"data/b.bin", "bbb"}, {"data/c.bin", "ccc"}}};
    std::map<std::string, std::string> blobs;
    for (auto& [path, content] : release.files) blobs["/files/blobs/" + backend::sha256_hex(content)] = content;
    support::on(*srv, "GET", "*", [blobs](const support::Recorded_Request& r) {
        auto it = blobs.find(r.path());
        Reply reply{404, {}, ""};
        if (it != blobs.end()) reply = Reply{200, {}, it->second};
        reply.delay_ms = 500;   // slow enough to pause while a blob is in flight
        return reply;
    });
    support::on(*srv, "GET", "/files/releases/stable.json", Reply{200, {}, signed_release::envelope(release.manifest())});
    auto blob_requests = [&] {
        size_t n = 0;
        for (auto& r : support::requests(*srv)) n += r.path().starts_with("/files/blobs/");
        return n;
    };
    auto installed = [&] {
        size_t n = 0;
        for (auto& [path, content] : release.files) n += slurp(dir / path) == content;
        return n;
    };
    const float pause_x = 786, pause_y = 318;   // the control under the progress bar

    headless::frame(live);
    headless::click(882, 232, live);
    ASSERT_TRUE(frames_until([&] { return state.patcher.check.job != nullptr; }, live)) << state.patcher.failure;
    headless::frame(live);
    ASSERT_TRUE(drawn("Pause"));
    headless::click(pause_x, pause_y, live);
    EXPECT_TRUE(state.patcher.paused);
    headless::frame(live);
    EXPECT_TRUE(drawn("Resume"));
    EXPECT_TRUE(drawn("Paused"));
    EXPECT_FALSE(headless::find_text_containing("Downloading "));   // the bar reads "Paused 42%"
    EXPECT_TRUE(headless::find_text_containing("Paused ") && headless::find_text_containing("%"));

    // The blob in flight lands (its request reached the server before its answer came back);
    // nothing more is asked for while paused: no fetch starts, and the server sees no other.
    ASSERT_TRUE(frames_until([&] { return state.patcher.check.job == nullptr; }, live));
    const size_t asked = blob_requests();
    ASSERT_LT(asked, release.files.size());
    for (int i = 0; i < 200; ++i) {
        headless::frame(live);
        ASSERT_EQ(state.patcher.check.job, nullptr) << "a fetch started while paused";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(blob_requests(), asked);
    EXPECT_EQ(installed(), asked);
    EXPECT_EQ(state.patcher.state, Patch_State::Downloading);
    EXPECT_FALSE(fs::exists(dir / "install.json"));

    headless::click(pause_x, pause_y, live);   // Resume
    EXPECT_FALSE(state.patcher.paused);
    ASSERT_TRUE(frames_until([&] { return state.patcher.state == Patch_State::Ready; }, live)) << state.patcher.failure;
    EXPECT_EQ(installed(), release.files.size());
    EXPECT_EQ(blob_requests(), release.files.size());
    EXPECT_TRUE(fs::exists(dir / "install.json"));
}

// What an interrupted install left on disk turns Install into Resume with its share: files in
// place at their size, and the chunks a part's journal lists for this release's index.
TEST_F(Play_Tab, AnInterruptedInstallOffersToResumeWithWhatIsOnDisk) {
    Patcher& p = state.patcher;
    const std::string index(64, 'c');
    p.has_manifest = true;
    p.manifest.version = "1.0.0";
    p.manifest.files = {{"Tarnwick", 65536, std::string(64, 'a')},
                        {"data/world.pak", 262144, std::string(64, 'b'), index}};
    auto journal = [&](std::string_view of_index, std::initializer_list<uint32_t> chunks) {
        std::string j = "TWCJ " + std::string(of_index) + "\n";
        for (uint32_t c : chunks) j.append(reinterpret_cast<const char*>(&c), 4);   // little-endian
        return j;
    };
    struct Case { const char* name; std::vector<std::pair<std::string, std::string>> files; const char* label; } cases[] = {
        {"nothing yet", {}, "Install (328 KB)"},
        {"one file in place", {{"Tarnwick", std::string(65536, 'x')}}, "Resume (20 %)"},
        {"a file cut short", {{"Tarnwick", std::string(100, 'x')}}, "Install (328 KB)"},
        {"two chunks journaled, one twice",
         {{"data/world.pak.part", ""}, {"data/world.pak.part.journal", journal(index, {0, 3, 3})}}, "Resume (40 %)"},
        {"a journal of another release", {{"data/world.pak.part.journal", journal(std::string(64, 'd'), {0, 1})}},
         "Install (328 KB)"},
        {"both", {{"Tarnwick", std::string(65536, 'x')}, {"data/world.pak.part.journal", journal(index, {1, 2})}},
         "Resume (60 %)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        for (const auto& [path, bytes] : c.files) put(dir / path, bytes);
        p.state = c.files.empty() ? Patch_State::Idle : Patch_State::Failed;   // a new state: counted again
        headless::frame(draw);
        p.state = Patch_State::Idle;
        headless::frame(draw);
        EXPECT_TRUE(drawn(c.label)) << headless::find_text_containing("Resume");
    }
}

// A disk without room for the rest says how much more is needed, and offers another folder
// while one can still be chosen.
TEST_F(Play_Tab, AFullDiskSaysHowMuchMoreIsNeededAndOffersAnotherFolder) {
    Patcher& p = state.patcher;
    p.state = Patch_State::Failed;
    p.failure = "Couldn't write data/world.pak: the disk is full. Free up space on it, then try again.";
    struct Case { int64_t short_by; const char* installed; const char* starts; bool change_folder; } cases[] = {
        {int64_t(1) << 40, "", "The disk is full: Tarnwick needs", true},
        {int64_t(1) << 40, "1.0.0", "The disk is full: Tarnwick needs", false},
        {0, "", "Couldn't write data/world.pak: the disk is full.", true},   // no shortfall found: the write's words
    };
    for (const Case& c : cases) {
        p.check.progress.shortfall = {c.short_by, p.dir};
        p.installed = c.installed;
        headless::frame(draw);
        const gfx::Drawn_Text* line = headless::find_text_containing(c.starts);
        ASSERT_TRUE(line) << c.starts;
        if (c.short_by > 0) EXPECT_TRUE(headless::find_text_containing(c.change_folder ? "Change folder." : "then try again."));
        EXPECT_EQ(drawn("Change folder"), c.change_folder);
    }
}

// The install panel's rows stay put whether or not "Uninstall game" and its message show.
TEST_F(Play_Tab, TheDownloadLimitRowKeepsItsPlaceWhenUninstallAppears) {
    state.tab = Tab::Account;
    struct Case { const char* installed; const char* message; } cases[] = {
        {"", ""}, {"1.0.0", ""}, {"", "Tarnwick was uninstalled (3 files removed)."}};
    float row = -1;
    for (const Case& c : cases) {
        state.patcher.installed = c.installed;
        state.uninstall_message = c.message;
        state.uninstall_good = true;
        headless::frame(draw);
        const gfx::Drawn_Text* caption = headless::find_text("DOWNLOAD LIMIT (MB/S)");
        ASSERT_TRUE(caption);
        if (row < 0) row = caption->pos.y;
        EXPECT_EQ(caption->pos.y, row) << c.installed << c.message;
        if (*c.message) EXPECT_TRUE(drawn(c.message));
    }
}
