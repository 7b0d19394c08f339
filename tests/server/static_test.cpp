// Static files below /files/, the news file and the account page, and every way of trying to
// step outside the files tree.
#include <sys/resource.h>

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

TEST_F(Static, ASingleRangeIsAnsweredPartiallyAndAnythingElseWhole) {
    std::string blob;
    for (int i = 0; i < 1000; ++i) blob += static_cast<char>('a' + i % 26);
    write(files() / "blobs" / "ranged", blob);
    struct Case {
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
        std::string content_range;  // empty: none
        size_t first, length;       // of `blob`, for 200 and 206
    };
    const Case cases[] = {
        {{{"Range", "bytes=0-9"}}, 206, "bytes 0-9/1000", 0, 10},
        {{{"Range", "bytes=990-"}}, 206, "bytes 990-999/1000", 990, 10},
        {{{"Range", "bytes=-5"}}, 206, "bytes 995-999/1000", 995, 5},
        {{{"Range", "bytes=-5000"}}, 206, "bytes 0-999/1000", 0, 1000},
        {{{"Range", "bytes=995-2000"}}, 206, "bytes 995-999/1000", 995, 5},
        {{{"Range", "bytes=1000-"}}, 416, "bytes */1000", 0, 0},
        {{{"Range", "bytes=-0"}}, 416, "bytes */1000", 0, 0},
        // Several ranges, a reversed or unknown one, or a conditional range: the whole file.
        {{{"Range", "bytes=0-1,5-6"}}, 200, "", 0, 1000},
        {{{"Range", "bytes=5-1"}}, 200, "", 0, 1000},
        {{{"Range", "items=0-1"}}, 200, "", 0, 1000},
        {{{"Range", "bytes=0-18446744073709551616"}}, 200, "", 0, 1000},
        {{{"Range", "bytes=0-9"}, {"If-Range", "\"v1\""}}, 200, "", 0, 1000},
    };
    for (const Case& c : cases) {
        httplib::Headers h(c.headers.begin(), c.headers.end());
        SCOPED_TRACE(c.headers.front().second);
        auto r = cli->Get("/files/blobs/ranged", h);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status);
        EXPECT_EQ(r->get_header_value("Content-Range"), c.content_range);
        if (c.status == 416) {
            EXPECT_EQ(error_code(r->body), "range_not_satisfiable");
        } else {
            EXPECT_EQ(r->body, blob.substr(c.first, c.length));
        }
    }
}

TEST_F(Static, AnExistingFileIsBusyNotMissingWhenDescriptorsRunOut) {
    write(files() / "blobs" / "there", "bytes");
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(http->port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // accepted by now
    // Every descriptor this process may open is in use: the server's open of the file fails.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    int lowest_free = ::dup(0);
    ::close(lowest_free);
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string request = "GET /files/blobs/there HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ::close(fd);
    ASSERT_EQ(sent, static_cast<ssize_t>(request.size()));
    EXPECT_EQ(raw_status(answer), 503);
    EXPECT_NE(answer.find("Retry-After: 1"), std::string::npos);
    EXPECT_EQ(cli->Get("/files/blobs/there")->body, "bytes");
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

TEST_F(Static, NewsInALanguageIsItsOwnFileAndNothingElseCanBeNamedThroughIt) {
    write(dir / "news.json", R"({"news":[]})");
    write(dir / "news.pt_BR.json", R"({"news":[{"title":"Olá","date":"D","body":"B"}]})");
    write(dir / "secret.json", "{}");
    EXPECT_EQ(cli->Get("/news.pt_BR.json")->body, R"({"news":[{"title":"Olá","date":"D","body":"B"}]})");
    for (const char* path : {"/news.de.json", "/news.../secret.json", "/news.x.json", "/news.PT.json",
                             "/news.pt_br.json", "/news.pt_BR_X.json"})
        EXPECT_EQ(cli->Get(path)->status, 404) << path;
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
