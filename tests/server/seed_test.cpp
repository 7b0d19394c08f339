// Demo content: the seeded catalogue must be real (files that pass the launcher's checks,
// PNG thumbnails), the news must decode as the launcher's N, and the demo account must sign in.
#include <fstream>
#include <set>

#include "fixture.h"
#include "server/seed.h"
#include "server/tokens.h"
#include "server/validate.h"

namespace server_test {
namespace {

using Seed = Server_Test;

TEST_F(Seed, TheDemoCatalogueIsMadeOfValidMapsWithThumbnails) {
    std::vector<std::string> lines;
    ASSERT_EQ(server::seed_demo(*srv, lines), "");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("demo@tarnwick.test"), std::string::npos);
    EXPECT_NE(lines[0].find("tarnwick-demo"), std::string::npos);
    Tokens demo = login(server::demo_email, server::demo_password);
    EXPECT_GE(demo.id, 1);

    auto r = cli->Get("/v1/maps?sort=popular&limit=60&q=");
    ASSERT_EQ(r->status, 200);
    json::Value root;
    ASSERT_TRUE(json::parse(r->body, root));
    int maps = 0, with_versions = 0;
    std::set<std::string> authors;
    std::vector<std::pair<std::string, std::string>> files;  // sha, thumbnail url
    json::members(root, [&](std::string_view, json::Value list) {
        return json::elements(list, [&](json::Value m) {
            std::string name, sha, author, thumb;
            int64_t version = 0, size = 0;
            json::members(m, [&](std::string_view k, json::Value v) {
                if (k == "name") json::get(v, name);
                if (k == "file_sha256") json::get(v, sha);
                if (k == "version") json::get(v, version);
                if (k == "size_bytes") json::get(v, size);
                if (k == "thumbnail") json::get(v, thumb);
                if (k == "author")
                    json::members(v, [&](std::string_view, json::Value n) {
                        json::get(n, author);
                        return true;
                    });
                return true;
            });
            ++maps;
            EXPECT_TRUE(server::name_ok(name)) << name;
            EXPECT_GT(size, 4);
            with_versions += version > 1;
            authors.insert(author);
            files.emplace_back(sha, thumb);
            return true;
        });
    });
    EXPECT_GE(maps, 10);
    EXPECT_GE(with_versions, 1);
    EXPECT_GE(authors.size(), 3u);
    for (const auto& [sha, thumb] : files) {
        auto file = cli->Get(("/files/maps/" + sha + ".tnw").c_str());
        ASSERT_EQ(file->status, 200);
        EXPECT_EQ(file->body.substr(0, 4), "TNWM");
        EXPECT_EQ(server::sha256_hex(file->body), sha);
        auto png = cli->Get(thumb.c_str());
        ASSERT_EQ(png->status, 200) << thumb;
        EXPECT_EQ(png->body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    }
}

TEST_F(Seed, TheNewsDecodesAsTheLaunchersNewsList) {
    std::vector<std::string> lines;
    ASSERT_EQ(server::seed_demo(*srv, lines), "");
    auto r = cli->Get("/news.json");
    ASSERT_EQ(r->status, 200);
    json::Value root;
    ASSERT_TRUE(json::parse(r->body, root));
    int items = 0;
    bool ok = json::members(root, [&](std::string_view key, json::Value list) {
        EXPECT_EQ(key, "news");
        return json::elements(list, [&](json::Value item) {
            std::string title, date, body;
            ++items;
            return json::members(item, [&](std::string_view k, json::Value v) {
                if (k == "title") return json::get(v, title) && !title.empty();
                if (k == "date") return json::get(v, date) && !date.empty();
                if (k == "body") return json::get(v, body) && body.size() > 40;
                return false;
            });
        });
    });
    EXPECT_TRUE(ok);
    EXPECT_GE(items, 4);
    EXPECT_LE(items, 8);
}

TEST_F(Seed, AnOperatorsOwnNewsFileIsNeverReplaced) {
    std::ofstream(dir / "news.json") << R"({"news":[]})";
    std::vector<std::string> lines;
    ASSERT_EQ(server::seed_demo(*srv, lines), "");
    EXPECT_EQ(cli->Get("/news.json")->body, R"({"news":[]})");
}

TEST(Thumbnails, FollowTheMapAndRefuseTruncatedFiles) {
    std::string map = server::generated_map(3, "Some Map");
    EXPECT_EQ(map, server::generated_map(3, "Some Map"));
    EXPECT_NE(map, server::generated_map(4, "Some Map"));
    EXPECT_NE(server::map_thumbnail(map), server::map_thumbnail(server::generated_map(4, "Some Map")));
    EXPECT_EQ(server::map_thumbnail(map.substr(0, map.size() - 1)), "");
    EXPECT_EQ(server::map_thumbnail("TNWM"), "");
}

}  // namespace
}  // namespace server_test
