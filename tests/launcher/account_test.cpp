#include "launcher/account.h"
#include "launcher/settings.h"
#include "paths/paths.h"
#include "platform/files.h"
#include "support/folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

using namespace launcher;
namespace fs = std::filesystem;

namespace {

// A fresh per-user folder under a temporary XDG_DATA_HOME for each test.
struct Account_File : ::testing::Test {
    fs::path root;
    std::string file;

    void SetUp() override {
        root = support::test_folder("account");
        support::use_data_home(root);
        file = paths::user_dir("account.json");
    }
    void TearDown() override {
        fs::remove_all(root);
        paths::reset_user_dir_for_tests();
    }
    void put(const std::string& text) { ASSERT_TRUE(platform::write_file(file, text)); }
};

}  // namespace

TEST_F(Account_File, UserDirIsMadeOnceUnderTheDataHome) {
    EXPECT_EQ(file, (root / "Tarnwick" / "account.json").string());
    EXPECT_TRUE(fs::is_directory(root / "Tarnwick"));
    fs::remove_all(root / "Tarnwick");
    EXPECT_EQ(paths::user_dir("maps"), (root / "Tarnwick" / "maps").string());
    EXPECT_FALSE(fs::exists(root / "Tarnwick"));   // looked up once per process, not per call
}

TEST_F(Account_File, SaveWritesTheCompactFormatOwnerOnly) {
    account_save("tok\"en");
    std::string text;
    ASSERT_TRUE(platform::read_file(file, text));
    EXPECT_EQ(text, "{\"refresh_token\":\"tok\\\"en\"}");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(file + ".part"));
    EXPECT_EQ(account_load(), "tok\"en");
}

TEST_F(Account_File, SaveReplacesAndEmptyDeletes) {
    account_save("one");
    account_save("two");
    EXPECT_EQ(account_load(), "two");
    account_save("");
    EXPECT_FALSE(fs::exists(file));
    account_save("");   // nothing there: still fine
    EXPECT_EQ(account_load(), "");
}

TEST_F(Account_File, UnusableFilesLoadAsNoAccount) {
    for (const char* text : {"{\"refresh_token\":\"\"}", "[\"refresh_token\"]", "garbage", "", "{\"refresh_token\":5}",
                             "{\"refresh_token\":\"x\""}) {
        put(text);
        EXPECT_EQ(account_load(), "") << text;
    }
    put("{\"other\":1,\"refresh_token\":\"R\"}");
    EXPECT_EQ(account_load(), "R");
}

TEST_F(Account_File, FailedWriteKeepsTheSavedSignIn) {
    account_save("keep");
    // A folder in place of the part file makes the write fail before anything is replaced.
    fs::create_directories(file + ".part/x");
    account_save("new");
    EXPECT_EQ(account_load(), "keep");
}

// settings.json sits beside account.json: what the player chose comes back at the next start.
TEST_F(Account_File, SettingsKeepTheFolderAndTheDownloadLimitAcrossARestart) {
    const std::string folder = (root / "games" / "Tarnwick").string();
    ASSERT_TRUE(settings_save(Settings{.install_dir = folder, .download_limit = 5, .email = "ana@tarnwick.test"}));
    Settings back = settings_load();
    EXPECT_EQ(back.install_dir, folder);
    EXPECT_EQ(back.download_limit, 5);
    EXPECT_EQ(back.email, "ana@tarnwick.test");
    // Choosing a folder later keeps the limit.
    settings_save_install_dir((root / "elsewhere").string());
    EXPECT_EQ(settings_load().download_limit, 5);
    // A limit the Account tab does not offer is no limit.
    ASSERT_TRUE(platform::write_file(paths::user_dir("settings.json"), "{\"install_dir\":\"\",\"download_limit\":7}"));
    EXPECT_EQ(settings_load().download_limit, 0);
}

TEST_F(Account_File, TheLanguageChoiceIsKeptAndOneWithoutACatalogueIsIgnored) {
    Settings s;
    s.language = "en";
    ASSERT_TRUE(settings_save(s));
    EXPECT_EQ(settings_load().language, "en");
    for (const char* kept : {R"({"language":"xx"})", R"({"language":"pseudo"})", R"({"language":7})",
                             R"({"language":"../../etc"})"}) {
        ASSERT_TRUE(platform::write_file(paths::user_dir("settings.json"), kept));
        EXPECT_EQ(settings_load().language, "") << kept;   // the system's language then
    }
}
