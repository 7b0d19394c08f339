// The maps state: list requests and answers, the local map store, downloads and sharing,
// against the recording test server.
#include "launcher/maps.h"

#include "backend/release.h"
#include "paths/paths.h"
#include "platform/files.h"
#include "support/folders.h"
#include "support/client_wait.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace launcher;
using support::Reply;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void spill(const fs::path& p, std::string_view bytes) {
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), std::streamsize(bytes.size()));
}

// Two clients on one recording server, as the launcher has them: the session's for the API and
// the maps client for files. The per-user folder is a fresh temporary one.
struct Maps : ::testing::Test {
    std::unique_ptr<support::Test_Server> srv = support::start_test_server();
    backend::Client api, files;
    Maps_State m;
    fs::path data;

    void SetUp() override {
        ASSERT_TRUE(srv);
        ASSERT_TRUE(backend::init(api, support::base_url(*srv), "test", 5000));
        ASSERT_TRUE(backend::init(files, support::base_url(*srv), "test", 5000));
        data = support::test_folder("maps");
        support::use_data_home(data);
    }
    void TearDown() override {
        backend::destroy(api);
        backend::destroy(files);
        maps_destroy(m);
        fs::remove_all(data);
        paths::reset_user_dir_for_tests();
    }

    fs::path store() const { return data / "Tarnwick" / "maps"; }

    // Waits for the next answer on `c` and offers it to the maps state; true when claimed.
    bool deliver(backend::Client& c) {
        backend::Response r = support::wait_response(c);
        bool claimed = maps_on_response(m, api, files, r);
        backend::response_destroy(r);
        return claimed;
    }

    void set_search(const char* text) {
        std::memset(m.search, 0, sizeof m.search);
        std::strncpy(m.search, text, sizeof m.search - 1);
    }
};

backend::Response answer(uint64_t id, int64_t status, std::string body) {
    return {.id = id, .status = status, .body = std::move(body), .err = {}};
}

const char* two_maps =
    R"({"maps":[{"id":7,"name":"Harbor Siege","description":"Hold the lighthouse.","author":{"name":"Mira"},)"
    R"("file_sha256":"ab","size_bytes":10240,"downloads":4812,"likes":611,"version":3,"thumbnail":"/x.png"},)"
    R"({"id":9,"name":"Training Grounds","description":"","author":{"name":"Demo"},"file_sha256":"cd",)"
    R"("size_bytes":5,"downloads":1,"likes":2,"version":1}]})";

}  // namespace

// Catalogue ---------------------------------------------------------------------------------------

TEST(Url_Encode, KeepsUnreservedBytesAndEncodesEveryOtherByteInUpperCaseHex) {
    EXPECT_EQ(url_encode(trim_space("  two words  ")), "two%20words");
    EXPECT_EQ(url_encode("&=#+%"), "%26%3D%23%2B%25");
    EXPECT_EQ(url_encode("é"), "%C3%A9");
    EXPECT_EQ(url_encode("aZ09-._~"), "aZ09-._~");
    EXPECT_EQ(url_encode(std::string_view("\0/\xff", 3)), "%00%2F%FF");
}

TEST(Url_Encode, SearchIsTrimmedOfUnicodeWhiteSpaceOnly) {
    // No-break space, em space, ideographic space, line separator around the words.
    EXPECT_EQ(trim_space("\xC2\xA0\xE2\x80\x83 fort\xE3\x80\x80\xE2\x80\xA8"), "fort");
    EXPECT_EQ(trim_space("\t\n\xC2\xA0 \xE3\x80\x80"), "");
    // Letters at the edges stay, whatever their length; white space inside stays too.
    EXPECT_EQ(trim_space("\xC3\xA9t\xC3\xA9\xC2\xA0\xC2\xA0"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(trim_space(" a\xC2\xA0 b "), "a\xC2\xA0 b");
    // A lone byte that is not UTF-8 is no white space.
    EXPECT_EQ(trim_space(" \xA0 "), "\xA0");
}

TEST_F(Maps, ListRequestCarriesSortLimitAndEncodedSearch) {
    set_search("  two words  ");
    m.sort = Map_Sort::Popular;
    maps_refresh(m, api);
    EXPECT_TRUE(m.listed);
    EXPECT_NE(m.list_id, 0u);
    m.sort = Map_Sort::Liked;
    set_search("");
    maps_refresh(m, api);
    m.sort = Map_Sort::New;
    set_search("\xC2\xA0&=#+%\xE3\x80\x80");
    maps_refresh(m, api);
    ASSERT_TRUE(support::wait_for_requests(*srv, 3, 5000));
    auto reqs = support::requests(*srv);
    EXPECT_EQ(reqs[0].method, "GET");
    EXPECT_EQ(reqs[0].target, "/v1/maps?sort=popular&limit=60&q=two%20words");
    EXPECT_EQ(reqs[0].body, "");
    EXPECT_EQ(reqs[1].target, "/v1/maps?sort=liked&limit=60&q=");
    EXPECT_EQ(reqs[2].target, "/v1/maps?sort=new&limit=60&q=%26%3D%23%2B%25");
}

TEST_F(Maps, OnlyTheNewestListAnswerIsApplied) {
    support::on(*srv, "GET", "/v1/maps", [](const support::Recorded_Request& r) {
        if (r.target.find("sort=popular") != std::string::npos)
            return Reply{200, {}, R"({"maps":[{"id":1,"name":"First"}]})"};
        return Reply{200, {}, R"({"maps":[{"id":2,"name":"Second"}]})"};
    });
    m.sort = Map_Sort::Popular;
    maps_refresh(m, api);
    m.sort = Map_Sort::Liked;
    maps_refresh(m, api);
    std::vector<backend::Response> got = support::poll_until(api, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(maps_on_response(m, api, files, got[0]));   // the first answer matches nothing any more
    EXPECT_TRUE(m.maps.empty());
    EXPECT_TRUE(maps_on_response(m, api, files, got[1]));
    ASSERT_EQ(m.maps.size(), 1u);
    EXPECT_EQ(m.maps[0].name, "Second");
    EXPECT_EQ(m.list_id, 0u);
}

TEST_F(Maps, ListAnswersReplaceTheListOrLeaveIt) {
    m.list_id = 11;
    EXPECT_TRUE(maps_on_response(m, api, files, answer(11, 200, two_maps)));
    ASSERT_EQ(m.maps.size(), 2u);
    const Map_Entry& e = m.maps[0];
    EXPECT_EQ(e.id, 7);
    EXPECT_EQ(e.name, "Harbor Siege");
    EXPECT_EQ(e.description, "Hold the lighthouse.");
    EXPECT_EQ(e.author.name, "Mira");
    EXPECT_EQ(e.file_sha256, "ab");
    EXPECT_EQ(e.size_bytes, 10240);
    EXPECT_EQ(e.downloads, 4812);
    EXPECT_EQ(e.likes, 611);
    EXPECT_EQ(e.version, 3);
    EXPECT_EQ(m.maps[1].description, "");
    EXPECT_EQ(m.message, "");

    // Failure status: message, list kept.
    maps_say(m, "old", true);
    m.list_id = 12;
    EXPECT_TRUE(maps_on_response(m, api, files, answer(12, 503, "{}")));
    EXPECT_EQ(m.message, "Couldn't load the maps.");
    EXPECT_FALSE(m.message_ok);
    EXPECT_EQ(m.maps.size(), 2u);
    m.list_id = 13;
    maps_on_response(m, api, files, answer(13, 0, ""));
    EXPECT_EQ(m.maps.size(), 2u);

    // Not JSON, or a member of the wrong type: ignored silently.
    maps_say(m, "kept", true);
    for (const char* body : {"<html>", R"({"maps":[{"id":"seven"}]})", R"({"maps":{}})"}) {
        m.list_id = 14;
        EXPECT_TRUE(maps_on_response(m, api, files, answer(14, 200, body))) << body;
        EXPECT_EQ(m.maps.size(), 2u) << body;
        EXPECT_EQ(m.message, "kept");
    }

    // An empty catalogue empties the list.
    m.list_id = 15;
    maps_on_response(m, api, files, answer(15, 200, R"({"maps":[]})"));
    EXPECT_TRUE(m.maps.empty());
    EXPECT_EQ(m.message, "kept");

    // Anything that is not ours is left alone, including id 0.
    EXPECT_FALSE(maps_on_response(m, api, files, answer(0, 200, two_maps)));
    EXPECT_FALSE(maps_on_response(m, api, files, answer(99, 200, two_maps)));
    EXPECT_TRUE(m.maps.empty());
}

TEST_F(Maps, ListAnswerKeepsNoMoreThanTheSixtyAskedFor) {
    std::string body = R"({"maps":[)";
    for (int i = 1; i <= 1000; ++i)
        body += (i > 1 ? "," : "") + std::string(R"({"id":)") + std::to_string(i) + R"(,"name":"M"})";
    body += "]}";
    m.list_id = 21;
    EXPECT_TRUE(maps_on_response(m, api, files, answer(21, 200, body)));
    ASSERT_EQ(m.maps.size(), 60u);
    EXPECT_EQ(m.maps.front().id, 1);
    EXPECT_EQ(m.maps.back().id, 60);
}

// Local map store ---------------------------------------------------------------------------------

TEST(Map_Stem, SafeStemsFromCatalogueNames) {
    EXPECT_EQ(map_stem("Big Fort #2"), "big_fort_2");
    EXPECT_EQ(map_stem("Sky-Bridge"), "sky_bridge");
    EXPECT_EQ(map_stem("!!!"), "map");
    EXPECT_EQ(map_stem("   "), "___");
    EXPECT_EQ(map_stem("a  b__c--d"), "a__b__c__d");
    EXPECT_EQ(map_stem(""), "map");
    EXPECT_EQ(map_stem("../../etc/passwd"), "etcpasswd");
    // Non-ASCII letters go, the ASCII around them stays.
    EXPECT_EQ(map_stem("\xC3\x9C" "ber D\xC3\xB6rfer"), "ber_drfer");
    EXPECT_EQ(map_stem("\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0"), "map");   // Cyrillic only
    EXPECT_EQ(map_stem("\xCE\xA3\xCE\xA0\xCE\x91"), "map");                   // Greek only
}

TEST(Map_Stem, RunesAreLowerCasedAsUnicodeDoesAndBadBytesAreDropped) {
    // The Kelvin sign and the capital I with dot lower-case to ASCII letters, which are kept.
    EXPECT_EQ(map_stem("\xE2\x84\xAA" "eep"), "keep");
    EXPECT_EQ(map_stem("\xC4\xB0zmir"), "izmir");
    // Each invalid byte is one rune, dropped; the ASCII after it is not swallowed.
    EXPECT_EQ(map_stem("A\xFF" "B\xC3"), "ab");
    EXPECT_EQ(map_stem("\xE2\x84Z"), "z");
    EXPECT_EQ(map_stem("\xC0\xAFx"), "x");   // overlong "/" is not a slash
}

TEST_F(Maps, LocalMapPathIsInTheCreatedMapsFolder) {
    EXPECT_FALSE(fs::exists(store()));
    EXPECT_EQ(local_map_path("Big Fort #2"), (store() / "big_fort_2.tnw").string());
    EXPECT_TRUE(fs::is_directory(store()));
    EXPECT_EQ(local_map_path("Sky-Bridge"), (store() / "sky_bridge.tnw").string());
    EXPECT_EQ(local_map_path("!!!"), (store() / "map.tnw").string());
    EXPECT_EQ(local_map_path("   "), (store() / "___.tnw").string());
    EXPECT_EQ(local_map_path("\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0"), (store() / "map.tnw").string());
}

// Downloads ---------------------------------------------------------------------------------------

TEST_F(Maps, DownloadFetchesTheDescriptorThenTheFileAndSavesIt) {
    std::string map = "TNWM\x01\x00\x10\x00 some tiles";
    support::on(*srv, "GET", "/v1/maps/7/download",
                Reply{200, {}, R"({"url":"/files/maps/abc.tnw","sha256":"abc"})"});
    support::on(*srv, "GET", "/files/maps/abc.tnw", Reply{200, {}, map});
    Map_Entry e{.id = 7,
                .name = "Harbor Siege",
                .description = "",
                .author = {.name = "Mira"},
                .file_sha256 = backend::sha256_hex(map),
                .size_bytes = 1,
                .downloads = 2,
                .likes = 3,
                .version = 4};
    fs::create_directories(store());
    spill(store() / "harbor_siege.tnw", "TNWM old version");

    maps_download(m, api, e);
    EXPECT_TRUE(maps_busy(m));
    EXPECT_TRUE(deliver(api));
    EXPECT_EQ(m.info_id, 0u);
    EXPECT_NE(m.file_id, 0u);
    EXPECT_TRUE(maps_busy(m));
    EXPECT_EQ(m.message, "");
    EXPECT_TRUE(deliver(files));
    EXPECT_FALSE(maps_busy(m));

    auto reqs = support::requests(*srv);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].method, "GET");
    EXPECT_EQ(reqs[0].target, "/v1/maps/7/download");
    EXPECT_EQ(reqs[1].target, "/files/maps/abc.tnw");
    EXPECT_EQ(slurp(store() / "harbor_siege.tnw"), map);
    EXPECT_FALSE(fs::exists(store() / "harbor_siege.tnw.part"));
    EXPECT_EQ(m.message, "Harbor Siege is in your maps: pick it in Play offline, or host it.");
    EXPECT_TRUE(m.message_ok);
}

TEST_F(Maps, DescriptorsOutsideFilesAreRefusedWithoutAFileRequest) {
    const char* bad[] = {
        R"({"url":"http://127.0.0.1:1/files/maps/x.tnw"})",
        R"({"url":"/v1/maps"})",
        R"({"url":"files/maps/x.tnw"})",
        R"({"url":"/files/../v1/me"})",
        R"({"url":"/files/maps/x.tnw\r\nX-Evil: 1"})",
        R"({"url":"/files/a b"})",
        R"({"url":""})",
        R"({"sha256":"abc"})",
        R"({"url":7})",
        "not json",
    };
    for (const char* body : bad) {
        m.info_id = 21;
        maps_say(m, "", true);
        EXPECT_TRUE(maps_on_response(m, api, files, answer(21, 200, body))) << body;
        EXPECT_EQ(m.message, "Couldn't download that map.") << body;
        EXPECT_FALSE(m.message_ok);
        EXPECT_EQ(m.file_id, 0u) << body;
        EXPECT_FALSE(maps_busy(m));
    }
    for (int64_t status : {0, 404, 500}) {
        m.info_id = 22;
        maps_say(m, "", true);
        maps_on_response(m, api, files, answer(22, status, R"({"url":"/files/maps/x.tnw"})"));
        EXPECT_EQ(m.message, "Couldn't download that map.") << status;
        EXPECT_EQ(m.file_id, 0u);
    }
    // A name that merely contains two dots is fine.
    m.info_id = 23;
    maps_on_response(m, api, files, answer(23, 200, R"({"url":"/files/maps/v1..2.tnw"})"));
    EXPECT_NE(m.file_id, 0u);
    ASSERT_TRUE(support::wait_for_requests(*srv, 1, 5000));
    auto reqs = support::requests(*srv);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].target, "/files/maps/v1..2.tnw");
}

TEST_F(Maps, DamagedFilesAreNeverWritten) {
    std::string good = "TNWM tiles";
    std::string upper = backend::sha256_hex(good);
    for (char& c : upper) c = char(toupper(c));
    std::string no_magic = "TNWX tiles";
    struct Case {
        int64_t status;
        std::string body;
        std::string digest;
    } cases[] = {
        {200, no_magic, backend::sha256_hex(no_magic)},   // digest right, magic wrong
        {200, good, upper},                               // upper-case catalogue digest
        {200, good, backend::sha256_hex("TNWM other")},   // digest wrong
        {200, "TNW", backend::sha256_hex("TNW")},         // too short for the magic
        {500, good, backend::sha256_hex(good)},
        {0, "", backend::sha256_hex("")},
    };
    for (const Case& c : cases) {
        m.downloading = Map_Entry{.id = 3, .name = "Frost", .description = "", .author = {}, .file_sha256 = c.digest};
        m.file_id = 31;
        maps_say(m, "", true);
        EXPECT_TRUE(maps_on_response(m, api, files, answer(31, c.status, c.body)));
        EXPECT_EQ(m.message, "That map arrived damaged: try again.") << c.body;
        EXPECT_FALSE(m.message_ok);
        EXPECT_FALSE(fs::exists(store() / "frost.tnw")) << c.body;
    }
}

TEST_F(Maps, AFailedSaveKeepsTheMapThePlayerHad) {
    std::string map = "TNWM new";
    fs::create_directories(store());
    spill(store() / "frost.tnw", "TNWM old");
    // A folder in the way of the part file makes the write fail.
    fs::create_directories(store() / "frost.tnw.part");
    m.downloading =
        Map_Entry{.id = 3, .name = "Frost", .description = "", .author = {}, .file_sha256 = backend::sha256_hex(map)};
    m.file_id = 41;
    maps_on_response(m, api, files, answer(41, 200, map));
    EXPECT_EQ(m.message.rfind("Couldn't save it (", 0), 0u) << m.message;
    EXPECT_GT(m.message.size(), std::strlen("Couldn't save it ().")) << "the error is named";
    EXPECT_TRUE(m.message.ends_with(")."));
    EXPECT_FALSE(m.message_ok);
    EXPECT_EQ(slurp(store() / "frost.tnw"), "TNWM old");
}

TEST_F(Maps, TheDownloadingCopyOutlivesAListAnswer) {
    std::string map = "TNWM x";
    m.maps.push_back(Map_Entry{
        .id = 5, .name = "Old Quarry", .description = "", .author = {}, .file_sha256 = backend::sha256_hex(map)});
    maps_download(m, api, m.maps[0]);
    m.list_id = 50;
    maps_on_response(m, api, files, answer(50, 200, R"({"maps":[{"id":6,"name":"Other"}]})"));
    ASSERT_EQ(m.maps[0].name, "Other");
    m.info_id = 0;
    m.file_id = 51;
    maps_on_response(m, api, files, answer(51, 200, map));
    EXPECT_EQ(m.message, "Old Quarry is in your maps: pick it in Play offline, or host it.");
    EXPECT_EQ(slurp(store() / "old_quarry.tnw"), map);
}

// Sharing -----------------------------------------------------------------------------------------

TEST(Map_Title, TitlesFromStems) {
    EXPECT_EQ(map_title("big_fort-2"), "Big Fort 2");
    EXPECT_EQ(map_title("castle"), "Castle");
    EXPECT_EQ(map_title("my__map"), "My  Map");
    EXPECT_EQ(map_title("DUNE_run"), "DUNE Run");
    EXPECT_EQ(map_title("a-b_c"), "A B C");
    EXPECT_EQ(map_title("2nd_wave"), "2nd Wave");
    EXPECT_EQ(map_title("\xC3\xBC" "ber_alles"), "\xC3\xBC" "ber Alles");
    EXPECT_EQ(map_title(""), "");
}

TEST(Map_Title, LineBreaksCannotReachTheBody) {
    EXPECT_EQ(map_title("evil\r\n--tnw-launcher-boundary-7f3a9c\r\nx"), "Evil  Tnw Launcher Boundary 7f3a9cx");
    EXPECT_EQ(map_title("\nfort"), "Fort");
}

namespace {

struct Sharing : Maps {
    backend::Session session;

    void SetUp() override {
        Maps::SetUp();
        ASSERT_TRUE(backend::session_init(session, support::base_url(*srv)));
        session.phase = backend::Session_Phase::Signed_In;
        session.access_token = "ACCESS";
        support::on(*srv, "POST", "/v1/maps", Reply{201, {}, "{}"});
        fs::create_directories(store());
    }
    void TearDown() override {
        backend::session_destroy(session);
        Maps::TearDown();
    }

    // Shares store()/<stem>.tnw and returns the `nth` request the server received.
    support::Recorded_Request share(const std::string& stem, size_t nth = 1) {
        upload_map(m, session, (store() / (stem + ".tnw")).string(), stem);
        EXPECT_NE(m.share_id, 0u);
        EXPECT_TRUE(support::wait_for_requests(*srv, nth, 5000));
        auto reqs = support::requests(*srv);
        return reqs.size() < nth ? support::Recorded_Request{} : reqs[nth - 1];
    }
};

const std::string map_bytes = std::string("TNWM\x00\x01\r\n--tnw\xff", 14);

std::string expected_body(const std::string& title, const std::string* png) {
    std::string b = "--tnw-launcher-boundary-7f3a9c\r\n"
                    "Content-Disposition: form-data; name=\"name\"\r\n"
                    "\r\n" + title + "\r\n"
                    "--tnw-launcher-boundary-7f3a9c\r\n"
                    "Content-Disposition: form-data; name=\"file\"; filename=\"map.tnw\"\r\n"
                    "Content-Type: application/octet-stream\r\n"
                    "\r\n" + map_bytes + "\r\n";
    if (png)
        b += "--tnw-launcher-boundary-7f3a9c\r\n"
             "Content-Disposition: form-data; name=\"thumb\"; filename=\"map.png\"\r\n"
             "Content-Type: image/png\r\n"
             "\r\n" + *png + "\r\n";
    b += "--tnw-launcher-boundary-7f3a9c--\r\n";
    return b;
}

}  // namespace

TEST_F(Sharing, BodyWithoutAThumbnailByteForByte) {
    spill(store() / "my_base.tnw", map_bytes);
    support::Recorded_Request r = share("my_base");
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/v1/maps");
    EXPECT_EQ(r.body, expected_body("My Base", nullptr));
    ASSERT_NE(r.header("Content-Type"), nullptr);
    EXPECT_EQ(*r.header("Content-Type"), "multipart/form-data; boundary=tnw-launcher-boundary-7f3a9c");
    ASSERT_NE(r.header("Authorization"), nullptr);
    EXPECT_EQ(*r.header("Authorization"), "Bearer ACCESS");
    EXPECT_EQ(m.sharing, "my_base");
}

TEST_F(Sharing, ThumbnailsUpToOneMebibyteGoAlong) {
    size_t sent = 0;
    for (size_t size : {size_t(200000), size_t(1048576)}) {
        std::string png(size, 'p');
        png.replace(0, 4, "\x89PNG");
        spill(store() / "my_base.tnw", map_bytes);
        spill(store() / "my_base.png", png);
        support::Recorded_Request r = share("my_base", ++sent);
        EXPECT_EQ(r.body, expected_body("My Base", &png)) << size;
    }
}

TEST_F(Sharing, AThumbnailOverOneMebibyteStaysHome) {
    spill(store() / "my_base.tnw", map_bytes);
    spill(store() / "my_base.png", std::string(1048577, 'p'));
    EXPECT_EQ(share("my_base").body, expected_body("My Base", nullptr));
}

TEST_F(Sharing, AMissingMapIsReportedAndNothingIsSent) {
    m.share_id = 0;
    upload_map(m, session, (store() / "gone.tnw").string(), "gone");
    EXPECT_EQ(m.message, "Couldn't read that map.");
    EXPECT_FALSE(m.message_ok);
    EXPECT_EQ(m.share_id, 0u);
    EXPECT_EQ(m.sharing, "");
    // Signed out: nothing is sent either.
    spill(store() / "here.tnw", map_bytes);
    session.phase = backend::Session_Phase::Signed_Out;
    upload_map(m, session, (store() / "here.tnw").string(), "here");
    EXPECT_EQ(m.share_id, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(support::requests(*srv).empty());
}

TEST_F(Sharing, AnswersBecomeTheTableSentences) {
    m.sharing = "a-b_c";
    struct Case {
        int64_t status;
        const char* body;
        const char* message;
    } cases[] = {
        {413, R"({"error":"too_big"})", "That map is too big to share."},
        {400, R"({"error":"bad_name"})", "That name isn't allowed: 3 to 32 letters, digits and spaces, nothing rude."},
        {400, R"({"error":"bad_file"})", "That isn't a Tarnwick map."},
        {400, R"({"error":"BAD_FILE"})", "Couldn't share that map."},
        {400, R"({"error":""})", "Couldn't share that map."},
        {500, "oops", "Couldn't share that map."},
        {0, R"({"error":"bad_file"})", "Couldn't share that map."},
    };
    for (const Case& c : cases) {
        m.share_id = 61;
        EXPECT_TRUE(maps_on_response(m, api, files, answer(61, c.status, c.body)));
        EXPECT_EQ(m.message, c.message) << c.body;
        EXPECT_FALSE(m.message_ok);
        EXPECT_EQ(m.share_id, 0u);
    }
    EXPECT_EQ(m.list_id, 0u);   // failures never ask for the list
}

TEST_F(Sharing, SuccessRefreshesTheListOnlyWhileBrowsing) {
    m.sharing = "a-b_c";
    m.mine = true;
    m.share_id = 71;
    maps_on_response(m, api, files, answer(71, 201, "{}"));
    EXPECT_EQ(m.message, "a-b_c is shared.");
    EXPECT_TRUE(m.message_ok);
    EXPECT_EQ(m.list_id, 0u);

    m.mine = false;
    m.share_id = 72;
    maps_on_response(m, api, files, answer(72, 200, ""));
    EXPECT_NE(m.list_id, 0u);
    ASSERT_TRUE(support::wait_for_requests(*srv, 1, 5000));
    EXPECT_EQ(support::requests(*srv)[0].target, "/v1/maps?sort=new&limit=60&q=");
}
