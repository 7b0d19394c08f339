// Hostile backend answers to the maps and news requests: download descriptors that point away
// from "/files/", map names of control characters or 10,000 bytes, and 10 MB of news. None may
// crash, write outside the per-user folder, send a request anywhere but the backend's files,
// or make a frame draw more than fits on the screen.
#include "backend/json.h"
#include "backend/release.h"
#include "hostile_support.h"
#include "launcher/launcher.h"
#include "launcher/maps.h"
#include "paths/paths.h"
#include "support/client_wait.h"
#include "support/headless.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

using namespace launcher;
using namespace hostile;

namespace {

struct Hostile_Answers : Folders {
    std::unique_ptr<support::Test_Server> server = support::start_test_server();
    fs::path user;  // XDG_DATA_HOME: the per-user folder is user/Tarnwick
    void SetUp() override {
        Folders::SetUp();
        ASSERT_TRUE(server);
        ASSERT_TRUE(headless::open());
        user = dir / "user";
        setenv("XDG_DATA_HOME", user.c_str(), 1);
        paths::reset_user_dir_for_tests();
    }
    void TearDown() override {
        paths::reset_user_dir_for_tests();
        Folders::TearDown();
    }
    // Bytes of text drawn in the last frame.
    static size_t drawn_bytes() {
        size_t n = 0;
        for (const gfx::Drawn_Text& t : gfx::drawn_texts()) n += t.text.size();
        return n;
    }
};

TEST_F(Hostile_Answers, DescriptorsPointingAwayFromTheFilesFolderSendNothingElsewhere) {
    backend::Client api, files;
    ASSERT_TRUE(backend::init(files, support::base_url(*server), "TarnwickLauncher/0.1.3", 5000));
    support::on(*server, "*", "*", support::text(404, ""));
    const char* urls[] = {"/v1/me", "/v1/maps", "http://evil.example/files/x.tnw", "https://evil.example/files/x",
                          "//evil.example/files/x.tnw", "files/x.tnw", "/files/../v1/me", "/files/a/../../v1/me",
                          "/files/..", "/files/x\r\nHost: evil.example", "/files/x y", "/files\\..\\v1\\me",
                          "/FILES/x.tnw", "", "/files"};
    for (const char* url : urls) {
        SCOPED_TRACE(url);
        Maps_State m;
        m.info_id = 77;
        std::string body = "{\"url\":";
        json::write_json_string(body, url);
        backend::Response r{.id = 77, .status = 200, .body = body + "}", .err = ""};
        EXPECT_TRUE(maps_on_response(m, api, files, r));
        if (m.file_id == 0) {
            EXPECT_EQ(m.message, msg_download_failed);
        } else {
            std::vector<backend::Response> got = support::poll_until(files, 1, 10000);
            ASSERT_EQ(got.size(), 1u);
        }
        maps_destroy(m);
    }
    for (const support::Recorded_Request& seen : support::requests(*server)) {
        EXPECT_EQ(seen.target.rfind("/files/", 0), 0u) << seen.target;
        EXPECT_EQ(seen.target.find("/../"), std::string::npos) << seen.target;
        EXPECT_EQ(seen.target.find("\r"), std::string::npos) << seen.target;
    }
    backend::destroy(files);
    expect_outside_untouched();
}

TEST_F(Hostile_Answers, MapNamesOfControlCharactersAndTenThousandBytesStayInsideTheMapStore) {
    const std::string map = "TNWM hostile map";
    std::vector<std::string> names = {std::string("\x01\x02\x1b[2J\r\n\t", 9), std::string(10000, 'a'),
                                      std::string(10000, '\x07'), "../../../outside/evil", "..", "/etc/passwd",
                                      "C:\\Windows\\evil", std::string(5000, '/') + "x"};
    std::string list = "{\"maps\":[";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) list += ",";
        std::string name;
        json::write_json_string(name, names[i]);
        list += "{\"id\":" + std::to_string(i + 1) + ",\"name\":" + name + ",\"description\":" + name +
                ",\"author\":{\"name\":" + name + "},\"file_sha256\":\"" + backend::sha256_hex(map) + "\"}";
    }
    list += "]}";

    Launcher state;
    state.tab = Tab::Maps;
    state.backend = support::base_url(*server);
    state.maps.list_id = 5;
    ASSERT_TRUE(maps_on_response(state.maps, state.session.client, state.maps_client,
                                 {.id = 5, .status = 200, .body = list, .err = ""}));
    ASSERT_EQ(state.maps.maps.size(), names.size());
    for (int i = 0; i < 3; ++i) headless::frame([&] { draw_screens(state); });
    EXPECT_LT(drawn_bytes(), 200000u) << "a frame drew more text than fits the window";

    // Each map downloaded: saved inside the map store, or refused with a message.
    for (const Map_Entry& e : std::vector<Map_Entry>(state.maps.maps)) {
        state.maps.downloading = e;
        state.maps.file_id = 9;
        ASSERT_TRUE(maps_on_response(state.maps, state.session.client, state.maps_client,
                                     {.id = 9, .status = 200, .body = map, .err = ""}));
        EXPECT_FALSE(state.maps.message.empty());
        std::string path = local_map_path(e.name);
        EXPECT_EQ(fs::path(path).parent_path(), user / "Tarnwick" / "maps");
    }
    for (auto& entry : fs::recursive_directory_iterator(user)) {
        std::string rel = fs::relative(entry.path(), user).string();
        EXPECT_TRUE(rel == "Tarnwick" || rel.rfind("Tarnwick/maps", 0) == 0) << rel;
        if (entry.is_regular_file()) {
            EXPECT_EQ(slurp(entry.path()), map) << rel;
        }
    }
    expect_outside_untouched();
    maps_destroy(state.maps);
}

TEST_F(Hostile_Answers, TenMegabytesOfNewsDrawOnlyWhatFitsThePanel) {
    std::string body;
    body.reserve(10 << 20);
    while (body.size() < (10u << 20)) body += "endless words of news ";
    std::string item;
    json::write_json_string(item, body);
    std::string answer = "{\"news\":[{\"title\":\"Big\",\"date\":\"today\",\"body\":" + item + "},"
                         "{\"title\":\"Second\",\"date\":\"today\",\"body\":" + item + "}]}";
    Launcher state;
    state.tab = Tab::Play;
    state.install_dir = dir.string();
    news_parse(state, {.id = 1, .status = 200, .body = answer, .err = ""});
    ASSERT_EQ(state.news.size(), 2u);
    EXPECT_EQ(state.news[0].body, body);
    for (int i = 0; i < 3; ++i) headless::frame([&] { draw_screens(state); });
    ASSERT_NE(headless::find_text("Big"), nullptr);
    EXPECT_EQ(headless::find_text("Second"), nullptr) << "the second item starts below the panel";
    EXPECT_LT(drawn_bytes(), 100000u) << "a frame drew (and measured) far more news than the panel shows";
}

}  // namespace
