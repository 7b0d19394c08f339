// The Maps tab against the real development backend: the launcher library in this process,
// driven through real frames, and tarnwick-server started as a process with demo data.
#include "backend/json.h"
#include "backend/release.h"
#include "launcher/launcher.h"
#include "launcher/maps.h"
#include "paths/paths.h"
#include "support/folders.h"
#include "support/client_wait.h"
#include "support/headless.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

using namespace launcher;
namespace fs = std::filesystem;

namespace {

const std::string server_path = std::string(TARNWICK_BINARY_DIR) + "/server/tarnwick-server";

// tarnwick-server on a free loopback port with a fresh seeded data folder.
struct Dev_Server {
    pid_t pid = -1;
    std::string base;

    bool start(const fs::path& data) {
        int out[2];
        if (pipe(out) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string data_arg = data.string();
        const char* argv[] = {server_path.c_str(), "--data", data_arg.c_str(), "--listen", "127.0.0.1:0",
                              "--seed", "--fast-hash", nullptr};
        int rc = posix_spawn(&pid, server_path.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            pid = -1;
            close(out[0]);
            return false;
        }
        // The first line is the base URL; the rest is read and dropped as it comes.
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        bool got = f && fgets(line, sizeof line, f);
        std::thread([f] {
            char buf[256];
            while (f && fgets(buf, sizeof buf, f)) {
            }
            if (f) fclose(f);
        }).detach();
        if (!got) return false;
        base = line;
        while (!base.empty() && (base.back() == '\n' || base.back() == '\r')) base.pop_back();
        return base.rfind("http://127.0.0.1:", 0) == 0;
    }
    ~Dev_Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

std::vector<std::string> names_of(const std::vector<Map_Entry>& maps) {
    std::vector<std::string> out;
    for (const Map_Entry& e : maps) out.push_back(e.name);
    return out;
}

struct Maps_E2E : ::testing::Test {
    fs::path root;
    Dev_Server server;
    Launcher state;
    headless::Draw draw = [this] {
        update(state);
        draw_screens(state);
    };

    void SetUp() override {
        ASSERT_TRUE(fs::exists(server_path)) << server_path;
        ASSERT_TRUE(headless::open());
        root = support::test_folder("maps-e2e");
        fs::create_directories(root / "server");
        support::use_data_home(root / "data");
        ASSERT_TRUE(server.start(root / "server"));
        gfx::inject_mouse_move(5, 670);

        // As run() sets the launcher up.
        state.backend = server.base;
        ASSERT_TRUE(backend::session_init(state.session, state.backend));
        ASSERT_TRUE(backend::init(state.maps_client, state.backend, user_agent, 15000));
        state.maps_client.max_body = int64_t(64) << 20;
        state.tab = Tab::Maps;
    }
    void TearDown() override {
        maps_destroy(state.maps);
        backend::destroy(state.maps_client);
        backend::session_destroy(state.session);
        fs::remove_all(root);
        paths::reset_user_dir_for_tests();
    }

    bool frames_until(const std::function<bool()>& done) { return headless::frames_until(done, draw, 3000); }

    void sign_in() {
        backend::session_sign_in(state.session, false,
                                 json::json_body({"email", "demo@tarnwick.test", "password", "tarnwick-demo"}));
        ASSERT_TRUE(frames_until([&] { return state.session.phase == backend::Session_Phase::Signed_In; }));
    }

    // The catalogue exactly as the server answers the launcher's own list request.
    std::vector<std::string> server_list(const char* sort, const char* q = "") {
        backend::Client c;
        EXPECT_TRUE(backend::init(c, server.base, "test", 5000));
        backend::request_typed(c, backend::Method::GET,
                               std::string("/v1/maps?sort=") + sort + "&limit=60&q=" + q);
        backend::Response r = support::wait_response(c);
        L l;
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(decode_l(r.body, l));
        backend::destroy(c);
        return names_of(l.maps);
    }

    bool list_settled() { return state.maps.listed && state.maps.list_id == 0; }

    fs::path store() const { return root / "data" / "Tarnwick" / "maps"; }

    void spill(const fs::path& p, std::string_view bytes) {
        std::ofstream f(p, std::ios::binary);
        f.write(bytes.data(), std::streamsize(bytes.size()));
    }

    // Clicks a row's button in Browse (row i of the list at scroll 0).
    void click_row_button(int i) { headless::click(990, 188 + 10 + 58 * float(i) + 6 + 17, draw); }
};

}  // namespace

TEST_F(Maps_E2E, SearchAndSortShowTheServersOrder) {
    headless::frame(draw);
    ASSERT_TRUE(frames_until([&] { return list_settled() && !state.maps.maps.empty(); }));
    EXPECT_EQ(names_of(state.maps.maps), server_list("new"));
    EXPECT_EQ(state.maps.maps.size(), 12u);

    headless::click(584 + 60, 158, draw);   // "Popular"
    ASSERT_TRUE(frames_until([&] { return list_settled(); }));
    EXPECT_EQ(names_of(state.maps.maps), server_list("popular"));
    for (size_t i = 1; i < state.maps.maps.size(); i++)
        EXPECT_GE(state.maps.maps[i - 1].downloads, state.maps.maps[i].downloads);

    headless::click(710 + 60, 158, draw);   // "Most liked"
    ASSERT_TRUE(frames_until([&] { return list_settled(); }));
    EXPECT_EQ(names_of(state.maps.maps), server_list("liked"));
    EXPECT_EQ(state.maps.maps[0].name, "Twin Rivers");

    headless::click(100, 158, draw);
    headless::type("  harbor\xC2\xA0", draw);
    headless::key(gfx::Key_Enter, draw);
    ASSERT_TRUE(frames_until([&] { return list_settled(); }));
    ASSERT_EQ(names_of(state.maps.maps), std::vector<std::string>{"Harbor Siege"});
    const Map_Entry& e = state.maps.maps[0];
    EXPECT_EQ(e.author.name, "Mira Vance");
    EXPECT_EQ(e.version, 3);
    EXPECT_EQ(e.file_sha256.size(), 64u);
    headless::frame(draw);
    EXPECT_NE(headless::find_text("Harbor Siege"), nullptr);
    EXPECT_NE(headless::find_text_containing("by Mira Vance  -  4812 downloads  -  611 likes  -  v3  -  "), nullptr);
}

TEST_F(Maps_E2E, ADownloadedMapLandsInTheStoreAndItsRowReadsSaved) {
    headless::frame(draw);
    ASSERT_TRUE(frames_until([&] { return list_settled() && !state.maps.maps.empty(); }));
    size_t row = 0;
    while (row < state.maps.maps.size() && state.maps.maps[row].name != "Old Quarry") row++;
    ASSERT_LT(row, 7u);   // on screen without scrolling
    std::string sha = state.maps.maps[row].file_sha256;

    click_row_button(int(row));
    EXPECT_TRUE(maps_busy(state.maps));
    ASSERT_TRUE(frames_until([&] { return !maps_busy(state.maps); }));
    EXPECT_EQ(state.maps.message, "Old Quarry is in your maps: pick it in Play offline, or host it.");
    EXPECT_TRUE(state.maps.message_ok);

    std::ifstream f(store() / "old_quarry.tnw", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(bytes.substr(0, 4), "TNWM");
    EXPECT_EQ(backend::sha256_hex(bytes), sha);

    headless::frame(draw);
    // The map just saved is the catalogue's own version: nothing to update.
    EXPECT_EQ(headless::find_text("Update"), nullptr);
    const gfx::Drawn_Text* update_label = headless::find_text("Saved");
    ASSERT_NE(update_label, nullptr);
    EXPECT_NEAR(update_label->pos.y, 188 + 10 + 58 * float(row) + 6 + 17, 17);
}

TEST_F(Maps_E2E, SharingPublishesTheMapAndTheServersRefusalsReachTheMessageLine) {
    sign_in();
    fs::create_directories(store());
    spill(store() / "my_fort.tnw", std::string("TNWM\x01\x00\x08\x00\x08\x00", 10) + std::string(64, '\x02'));
    std::string png = "\x89PNG\r\n\x1a\n" + std::string(300, 'p');
    spill(store() / "my_fort.png", png);

    state.maps.mine = true;
    headless::frame(draw);
    const gfx::Drawn_Text* stem = headless::find_text("my_fort");
    ASSERT_NE(stem, nullptr);
    headless::click(990, stem->pos.y - 6 + 17, draw);
    ASSERT_NE(state.maps.share_id, 0u);
    ASSERT_TRUE(frames_until([&] { return state.maps.share_id == 0; }));
    EXPECT_EQ(state.maps.message, "my_fort is shared.");
    EXPECT_TRUE(state.maps.message_ok);

    // Back in Browse a search brings the new map, with its thumbnail on the server. (The share
    // itself asked for no list: My maps was showing.)
    headless::click(28 + 65, 107, draw);
    headless::click(388, 158, draw);   // "Search"
    ASSERT_TRUE(frames_until([&] { return list_settled() && !state.maps.maps.empty(); }));
    ASSERT_EQ(state.maps.maps[0].name, "My Fort");
    EXPECT_EQ(state.maps.maps[0].author.name, "Demo Player");
    {
        backend::Client c;
        ASSERT_TRUE(backend::init(c, server.base, "test", 5000));
        backend::request_typed(c, backend::Method::GET, "/v1/maps?sort=new&limit=60&q=my%20fort");
        backend::Response r = support::wait_response(c);
        EXPECT_NE(r.body.find("\"thumbnail\":\"/files/maps/"), std::string::npos) << r.body;
        backend::destroy(c);
    }

    // Refusals: a title too short for the server, and a file without the magic.
    spill(store() / "x.tnw", "TNWM tiles");
    upload_map(state.maps, state.session, (store() / "x.tnw").string(), "x");
    ASSERT_TRUE(frames_until([&] { return state.maps.share_id == 0; }));
    EXPECT_EQ(state.maps.message, "That name isn't allowed: 3 to 32 letters, digits and spaces, nothing rude.");
    headless::frame(draw);
    EXPECT_NE(headless::find_text(state.maps.message), nullptr);

    spill(store() / "not_a_map.tnw", "GIF89a");
    upload_map(state.maps, state.session, (store() / "not_a_map.tnw").string(), "not_a_map");
    ASSERT_TRUE(frames_until([&] { return state.maps.share_id == 0; }));
    EXPECT_EQ(state.maps.message, "That isn't a Tarnwick map.");
    EXPECT_FALSE(state.maps.message_ok);
    headless::frame(draw);
    const gfx::Drawn_Text* msg = headless::find_text("That isn't a Tarnwick map.");
    ASSERT_NE(msg, nullptr);
    EXPECT_TRUE(msg->color.r == ui::bad.r && msg->color.g == ui::bad.g);
}
