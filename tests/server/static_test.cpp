// Static files below /files/, the news file and the account page, and every way of trying to
// step outside the files tree.
#include <fstream>

#include "fixture.h"

namespace server_test {
namespace {

class Static : public Server_Test {
protected:
    void write(const fs::path& path, const std::string& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    fs::path files() { return dir / "files"; }
};

TEST_F(Static, FilesBelowTheTreeAreServedWholeWithTheirType) {
    std::string blob;
    // Larger than the streaming chunk, with every byte value, so offsets must be right.
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i) blob += static_cast<char>((i * 31 + i / 7) & 0xFF);
    write(files() / "blobs" / "abc123", blob);
    write(files() / "releases" / "stable.json", R"({"kid":"k","manifest":"","signature":""})");

    auto b = cli->Get("/files/blobs/abc123");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->status, 200);
    EXPECT_EQ(b->body.size(), blob.size());
    EXPECT_TRUE(b->body == blob);
    EXPECT_EQ(b->get_header_value("Content-Type"), "application/octet-stream");
    auto r = cli->Get("/files/releases/stable.json");
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(r->body, R"({"kid":"k","manifest":"","signature":""})");

    auto missing = cli->Get("/files/releases/beta.json");
    EXPECT_EQ(missing->status, 404);
    EXPECT_EQ(error_code(missing->body), "not_found");
    EXPECT_EQ(cli->Get("/files/releases")->status, 404);  // a folder is not a file
    EXPECT_EQ(cli->Post("/files/blobs/abc123", "x", "text/plain")->status, 405);
}

TEST_F(Static, NoPathLeavesTheFilesTree) {
    write(dir / "secret.txt", "outside the tree");
    write(files() / "blobs" / "inside", "inside the tree");
    fs::create_symlink(dir / "secret.txt", files() / "blobs" / "link-out");
    fs::create_symlink(dir, files() / "blobs" / "dir-out");
    fs::create_symlink(files() / "blobs" / "inside", files() / "blobs" / "link-in");

    const char* targets[] = {
        "/files/../secret.txt",
        "/files/blobs/../../secret.txt",
        "/files/%2e%2e/secret.txt",
        "/files/blobs/..%2f..%2fsecret.txt",
        "/files/blobs/%2E%2E/%2E%2E/secret.txt",
        "/files//etc/passwd",
        "/files/%2fetc%2fpasswd",
        "/files/blobs/./inside",
        "/files/blobs/inside%00.png",
        "/files/blobs%5c..%5c..%5csecret.txt",
        "/files/blobs/link-out",
        "/files/blobs/dir-out/secret.txt",
        "/files/blobs/dir-out/tarnwick.db",
        "/files/",
        "/files/blobs/",
    };
    for (const char* target : targets) {
        std::string answer = get_raw(target);
        EXPECT_EQ(raw_status(answer), 404) << target;
        EXPECT_EQ(answer.find("outside the tree"), std::string::npos) << target;
        EXPECT_EQ(answer.find("SQLite format"), std::string::npos) << target;
        EXPECT_EQ(error_code(raw_body(answer)), "not_found") << target;
    }
    // A link that stays inside the tree is fine.
    auto in = cli->Get("/files/blobs/link-in");
    ASSERT_TRUE(in);
    EXPECT_EQ(in->status, 200);
    EXPECT_EQ(in->body, "inside the tree");
}

TEST_F(Static, NewsIsServedFromTheDataFolderAndIsNotFoundUntilItExists) {
    auto none = cli->Get("/news.json");
    EXPECT_EQ(none->status, 404);
    EXPECT_EQ(error_code(none->body), "not_found");
    write(dir / "news.json", R"({"news":[{"title":"T","date":"D","body":"B"}]})");
    auto news = cli->Get("/news.json");
    EXPECT_EQ(news->status, 200);
    EXPECT_EQ(news->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(news->body, R"({"news":[{"title":"T","date":"D","body":"B"}]})");
}

TEST_F(Static, TheAccountPageExplainsPasswordResetInItsForgotSection) {
    auto page = cli->Get("/account.html");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    auto forgot = page->body.find("id=\"forgot\"");
    ASSERT_NE(forgot, std::string::npos);
    EXPECT_NE(page->body.find("password", forgot), std::string::npos);
    EXPECT_NE(page->body.find("</html>"), std::string::npos);
}

}  // namespace
}  // namespace server_test
