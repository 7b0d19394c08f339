// The map catalogue over HTTP: sharing with the launcher's exact multipart body, validation,
// versions, listing with sort, search and limit, and download descriptors.
#include <functional>
#include <set>

#include "fixture.h"
#include "server/accounts.h"
#include "server/maps.h"
#include "server/seed.h"
#include "server/tokens.h"

namespace server_test {
namespace {

const std::string boundary = "tnw-launcher-boundary-7f3a9c";

// The upload body exactly as the launcher writes it.
std::string launcher_body(const std::string& title, const std::string& map,
                          const std::string* thumb = nullptr) {
    std::string b = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" +
                    title + "\r\n";
    b += "--" + boundary +
         "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"map.tnw\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         map + "\r\n";
    if (thumb)
        b += "--" + boundary +
             "\r\nContent-Disposition: form-data; name=\"thumb\"; filename=\"map.png\"\r\n"
             "Content-Type: image/png\r\n\r\n" +
             *thumb + "\r\n";
    b += "--" + boundary + "--\r\n";
    return b;
}

struct Entry {
    int64_t id = 0, size_bytes = 0, downloads = 0, likes = 0, version = 0;
    std::string name, description, author, sha, thumbnail;
};

Entry decode_entry(json::Value v) {
    Entry e;
    json::members(v, [&](std::string_view k, json::Value m) {
        if (k == "id") json::get(m, e.id);
        if (k == "name") json::get(m, e.name);
        if (k == "description") json::get(m, e.description);
        if (k == "file_sha256") json::get(m, e.sha);
        if (k == "size_bytes") json::get(m, e.size_bytes);
        if (k == "downloads") json::get(m, e.downloads);
        if (k == "likes") json::get(m, e.likes);
        if (k == "version") json::get(m, e.version);
        if (k == "thumbnail") json::get(m, e.thumbnail);
        if (k == "author")
            json::members(m, [&](std::string_view a, json::Value n) {
                if (a == "name") json::get(n, e.author);
                return true;
            });
        return true;
    });
    return e;
}

class Maps : public Server_Test {
protected:
    Tokens author;
    void SetUp() override {
        Server_Test::SetUp();
        author = make_account("maker@example.com", "correct horse", "Map Maker");
    }

    httplib::Result upload(const std::string& body, const std::string& access) {
        httplib::Headers h;
        if (!access.empty()) h.emplace("Authorization", "Bearer " + access);
        return cli->Post("/v1/maps", h, body, "multipart/form-data; boundary=" + boundary);
    }

    std::vector<Entry> list(const std::string& query, int expect = 200) {
        auto r = cli->Get(("/v1/maps" + query).c_str());
        std::vector<Entry> out;
        EXPECT_TRUE(r);
        if (!r) return out;
        EXPECT_EQ(r->status, expect) << query << " " << r->body;
        json::Value root;
        if (expect != 200 || !json::parse(r->body, root)) return out;
        json::members(root, [&](std::string_view k, json::Value v) {
            if (k == "maps")
                json::elements(v, [&](json::Value e) {
                    out.push_back(decode_entry(e));
                    return true;
                });
            return true;
        });
        return out;
    }

    // Adds a map directly, with chosen counts and time.
    int64_t add(int64_t author_id, const std::string& name, const std::string& description,
                int64_t downloads, int64_t likes, int64_t at) {
        server::Map_Input in;
        in.author_id = author_id;
        in.name = name;
        in.description = description;
        in.file = "TNWM" + name;
        in.downloads = downloads;
        in.likes = likes;
        in.at = at;
        server::Map_Row row;
        EXPECT_EQ(server::map_publish(*srv, in, row), "");
        return row.id;
    }

    static std::vector<std::string> names(const std::vector<Entry>& entries) {
        std::vector<std::string> out;
        for (const auto& e : entries) out.push_back(e.name);
        return out;
    }
};

TEST_F(Maps, TheLaunchersUploadIsSharedListedAndServedByteForByte) {
    std::string map = server::generated_map(7, "My  Base");
    // Bytes inside the file that nearly make a part delimiter, and a NUL. (A file holding the
    // launcher's whole delimiter line cannot be told from the end of the part by anyone.)
    map += "--" + boundary + "\r\n\r\n--" + boundary.substr(0, 20) + "\r\n";
    map += std::string(1, '\0') + "\r\n\r\n";
    std::string thumb = server::map_thumbnail(map);
    ASSERT_FALSE(thumb.empty());
    auto r = upload(launcher_body("My  Base", map, &thumb), author.access);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 201) << r->body;

    auto maps = list("?sort=new&limit=60&q=");
    ASSERT_EQ(maps.size(), 1u);
    const Entry& e = maps[0];
    EXPECT_EQ(e.name, "My  Base");
    EXPECT_EQ(e.author, "Map Maker");
    EXPECT_EQ(e.size_bytes, static_cast<int64_t>(map.size()));
    EXPECT_EQ(e.sha, server::sha256_hex(map));
    EXPECT_EQ(e.version, 1);
    EXPECT_EQ(e.downloads, 0);
    EXPECT_EQ(e.thumbnail, "/files/maps/" + e.sha + ".png");

    auto d = cli->Get(("/v1/maps/" + std::to_string(e.id) + "/download").c_str());
    ASSERT_EQ(d->status, 200);
    std::string url, sha;
    json::Value root;
    ASSERT_TRUE(json::parse(d->body, root));
    json::members(root, [&](std::string_view k, json::Value v) {
        if (k == "url") json::get(v, url);
        if (k == "sha256") json::get(v, sha);
        return true;
    });
    EXPECT_EQ(url, "/files/maps/" + e.sha + ".tnw");
    EXPECT_EQ(sha, e.sha);
    auto file = cli->Get(url.c_str());
    ASSERT_EQ(file->status, 200);
    EXPECT_EQ(file->body, map);
    EXPECT_EQ(server::sha256_hex(file->body), e.sha);
    auto png = cli->Get(e.thumbnail.c_str());
    ASSERT_EQ(png->status, 200);
    EXPECT_EQ(png->body, thumb);
    EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");

    EXPECT_EQ(list("")[0].downloads, 1);  // the descriptor counted the download
}

TEST_F(Maps, UploadRefusalsUseTheLaunchersCodes) {
    const std::string good = "TNWM and then some bytes";
    struct Case {
        std::string body;
        int status;
        const char* code;
    };
    std::string no_name = "--" + boundary +
                          "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"map.tnw\""
                          "\r\n\r\n" + good + "\r\n--" + boundary + "--\r\n";
    std::string no_file = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\""
                          "\r\n\r\nFine Name\r\n--" + boundary + "--\r\n";
    std::vector<Case> cases = {
        {launcher_body("ab", good), 400, "bad_name"},
        {launcher_body(std::string(33, 'a'), good), 400, "bad_name"},
        {launcher_body("Rude & Loud", good), 400, "bad_name"},
        {launcher_body("Z\xC0\xAFZ", good), 400, "bad_name"},   // an overlong '/'
        {launcher_body("Zo\xC3", good), 400, "bad_name"},        // cut in the middle of a letter
        {no_name, 400, "bad_name"},
        {launcher_body("Fine Name", "TNW"), 400, "bad_file"},
        {launcher_body("Fine Name", "tnwm lower case"), 400, "bad_file"},
        {launcher_body("Fine Name", ""), 400, "bad_file"},
        {no_file, 400, "bad_file"},
        {launcher_body("Fine Name", "TNWM" + std::string(8 << 20, 'x')), 413, "too_big"},
    };
    for (const auto& c : cases) {
        auto r = upload(c.body, author.access);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status) << c.body.substr(0, 200);
        EXPECT_EQ(error_code(r->body), c.code) << c.body.substr(0, 200);
    }
    // Just under the limit is fine.
    auto edge = upload(launcher_body("Fine Name", "TNWM" + std::string((8 << 20) - 4, 'x')),
                       author.access);
    EXPECT_EQ(edge->status, 201);

    auto anonymous = upload(launcher_body("Fine Name", good), "");
    EXPECT_EQ(anonymous->status, 401);
    EXPECT_EQ(error_code(anonymous->body), "unauthorized");
    auto not_multipart = cli->Post("/v1/maps", {{"Authorization", "Bearer " + author.access}},
                                   good, "application/octet-stream");
    EXPECT_EQ(not_multipart->status, 400);
    EXPECT_EQ(error_code(not_multipart->body), "bad_request");
    EXPECT_EQ(list("").size(), 1u);
}

TEST_F(Maps, AThumbnailThatIsNotAPngIsLeftOutButTheMapIsShared) {
    std::string fake = "<svg>not a png</svg>";
    std::string map = "TNWM with a bad thumbnail";
    auto r = upload(launcher_body("Odd Thumb", map, &fake), author.access);
    ASSERT_EQ(r->status, 201);
    auto maps = list("");
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].thumbnail, "");
    EXPECT_FALSE(fs::exists(dir / "files" / "maps" / (server::sha256_hex(map) + ".png")));
}

TEST_F(Maps, SharingTheSameNameAgainMakesANewVersionOfThatAuthorsMap) {
    ASSERT_EQ(upload(launcher_body("Iron Keep", "TNWM one"), author.access)->status, 201);
    auto first = list("");
    cli->Get(("/v1/maps/" + std::to_string(first[0].id) + "/download").c_str());
    *now += 10;
    auto r = upload(launcher_body("iron keep", "TNWM two"), author.access);
    ASSERT_EQ(r->status, 201);
    auto maps = list("");
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].id, first[0].id);
    EXPECT_EQ(maps[0].version, 2);
    EXPECT_EQ(maps[0].name, "iron keep");
    EXPECT_EQ(maps[0].downloads, 1);
    EXPECT_EQ(maps[0].sha, server::sha256_hex("TNWM two"));
    // The old file stays: a player may be halfway through downloading it.
    EXPECT_TRUE(fs::exists(dir / "files" / "maps" / (server::sha256_hex("TNWM one") + ".tnw")));

    Tokens other = make_account("other@example.com", "correct horse", "Someone Else");
    ASSERT_EQ(upload(launcher_body("Iron Keep", "TNWM three"), other.access)->status, 201);
    EXPECT_EQ(list("").size(), 2u);
}

TEST_F(Maps, SharingOneNameOverAndOverKeepsOnlyTheNewestTwoFiles) {
    Tokens other = make_account("copycat@example.com", "correct horse", "Copy Cat");
    // Another author shares the very bytes of version 1: that file must outlive our updates.
    ASSERT_EQ(upload(launcher_body("Same Bytes", "TNWM v1"), other.access)->status, 201);
    for (int v = 1; v <= 25; ++v)
        ASSERT_EQ(upload(launcher_body("Busy Map", "TNWM v" + std::to_string(v)), author.access)
                      ->status,
                  201);
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir / "files" / "maps"))
        files.insert(entry.path().filename().string());
    auto name = [](const std::string& bytes) { return server::sha256_hex(bytes) + ".tnw"; };
    EXPECT_EQ(files, (std::set<std::string>{name("TNWM v1"), name("TNWM v24"), name("TNWM v25")}));
}

TEST_F(Maps, SortsOrderByTheirCountAndBreakTiesByNewestId) {
    int64_t me = author.id;
    int64_t a = add(me, "Alpha", "", 10, 5, 1000);
    int64_t b = add(me, "Bravo", "", 30, 5, 3000);
    int64_t c = add(me, "Charlie", "", 10, 9, 2000);
    int64_t d = add(me, "Delta", "", 10, 1, 3000);
    ASSERT_TRUE(a < b && b < c && c < d);
    EXPECT_EQ(names(list("?sort=new")),
              (std::vector<std::string>{"Delta", "Bravo", "Charlie", "Alpha"}));
    EXPECT_EQ(names(list("")), names(list("?sort=new")));
    EXPECT_EQ(names(list("?sort=popular")),
              (std::vector<std::string>{"Bravo", "Delta", "Charlie", "Alpha"}));
    EXPECT_EQ(names(list("?sort=liked")),
              (std::vector<std::string>{"Charlie", "Bravo", "Alpha", "Delta"}));
    list("?sort=oldest", 400);
}

TEST_F(Maps, LimitDefaultsToSixtyAndNeverExceedsIt) {
    for (int i = 0; i < 62; ++i) add(author.id, "Map " + std::to_string(i), "", i, 0, 1000 + i);
    EXPECT_EQ(list("").size(), 60u);
    EXPECT_EQ(list("?limit=500").size(), 60u);
    auto two = list("?sort=popular&limit=2");
    EXPECT_EQ(names(two), (std::vector<std::string>{"Map 61", "Map 60"}));
    list("?limit=0", 400);
    list("?limit=-3", 400);
    list("?limit=ten", 400);
}

TEST_F(Maps, SearchMatchesNameDescriptionAndAuthorWithoutRegardToCase) {
    Tokens other = make_account("o@example.com", "correct horse", "Harbor Master");
    add(author.id, "Frozen Lake", "ice everywhere", 0, 0, 1);
    add(author.id, "Dunes", "a HARBOR in the desert", 0, 0, 2);
    add(other.id, "Meadow", "green and quiet", 0, 0, 3);
    add(author.id, "100% Chaos", "under_score", 0, 0, 4);
    EXPECT_EQ(names(list("?q=FROZEN")), (std::vector<std::string>{"Frozen Lake"}));
    EXPECT_EQ(names(list("?q=harbor")), (std::vector<std::string>{"Meadow", "Dunes"}));
    EXPECT_EQ(names(list("?q=%20%20harbor%20")), (std::vector<std::string>{"Meadow", "Dunes"}));
    // "%" and "_" are plain characters, not patterns.
    EXPECT_EQ(names(list("?q=%25")), (std::vector<std::string>{"100% Chaos"}));
    EXPECT_EQ(names(list("?q=_")), (std::vector<std::string>{"100% Chaos"}));
    EXPECT_TRUE(list("?q=volcano").empty());
    EXPECT_EQ(list("?q=").size(), 4u);
}

// The first pages are kept in memory for a second. What this instance changes shows at once;
// a change made elsewhere (another instance on the same database) within the second.
TEST_F(Maps, FirstPagesShowThisInstancesChangesAtOnceAndOthersWithinASecond) {
    Tokens rogue = make_account("rogue@example.com", "correct horse", "Rogue Maker");
    int64_t id = add(author.id, "Keep", "", 0, 0, 1);
    add(rogue.id, "Rogue Map", "", 0, 0, 2);
    auto popular = [&] { return list("?sort=popular&limit=60&q="); };
    auto downloads_of_keep = [&](const std::vector<Entry>& maps) {
        for (const auto& e : maps)
            if (e.name == "Keep") return e.downloads;
        return int64_t(-1);
    };
    ASSERT_EQ(downloads_of_keep(popular()), 0);

    {
        server::Lease db(srv->store);
        server::Query elsewhere(db, "UPDATE maps SET downloads = 5 WHERE id = ?");
        ASSERT_TRUE(elsewhere.bind(id).done());
    }
    EXPECT_EQ(downloads_of_keep(popular()), 0);
    EXPECT_EQ(downloads_of_keep(list("?sort=popular&q=keep")), 5);  // searches are never kept
    *now_ms = 999;
    EXPECT_EQ(downloads_of_keep(popular()), 0);
    *now_ms = 0;
    ++*now;
    EXPECT_EQ(downloads_of_keep(popular()), 5);

    struct Change {
        const char* what;
        std::function<void()> make;
        std::function<bool(const std::vector<Entry>&)> shows;
    };
    const Change changes[] = {
        {"a download counted",
         [&] { ASSERT_EQ(cli->Get(("/v1/maps/" + std::to_string(id) + "/download").c_str())->status, 200); },
         [&](const std::vector<Entry>& m) { return downloads_of_keep(m) == 6; }},
        {"a map shared",
         [&] { add(author.id, "Fresh", "", 0, 0, 3); },
         [&](const std::vector<Entry>& m) { return m.size() == 3; }},
        {"an author renamed",
         [&] {
             auto r = cli->Patch("/v1/me", {{"Authorization", "Bearer " + author.access}},
                                 json::json_body({"name", "New Name"}), "application/json");
             ASSERT_EQ(r->status, 200);
         },
         [&](const std::vector<Entry>& m) { return m[0].author == "New Name"; }},
        {"an author banned",
         [&] { ASSERT_TRUE(server::account_ban(*srv, "rogue@example.com", true)); },
         [&](const std::vector<Entry>& m) { return m.size() == 2; }},
    };
    for (const auto& c : changes) {
        popular();
        c.make();
        EXPECT_TRUE(c.shows(popular())) << c.what;
    }
}

TEST_F(Maps, DownloadsOfUnknownMapsAndBannedAuthorsAreNotFound) {
    Tokens rogue = make_account("rogue@example.com", "correct horse", "Rogue Maker");
    int64_t kept = add(author.id, "Kept", "", 0, 0, 1);
    int64_t hidden = add(rogue.id, "Hidden", "", 0, 0, 2);
    ASSERT_TRUE(server::account_ban(*srv, "rogue@example.com", true));
    EXPECT_EQ(names(list("")), (std::vector<std::string>{"Kept"}));
    auto gone = cli->Get(("/v1/maps/" + std::to_string(hidden) + "/download").c_str());
    EXPECT_EQ(gone->status, 404);
    EXPECT_EQ(error_code(gone->body), "not_found");
    EXPECT_EQ(cli->Get("/v1/maps/999999/download")->status, 404);
    EXPECT_EQ(cli->Get("/v1/maps/abc/download")->status, 404);
    EXPECT_EQ(cli->Get(("/v1/maps/" + std::to_string(kept) + "/download").c_str())->status, 200);
    auto wrong_verb = cli->Delete(("/v1/maps/" + std::to_string(kept) + "/download").c_str());
    EXPECT_EQ(wrong_verb->status, 405);
    EXPECT_EQ(error_code(wrong_verb->body), "method_not_allowed");
}

}  // namespace
}  // namespace server_test
