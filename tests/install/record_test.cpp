#include "install/record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/files.h"

namespace {

using namespace launcher;
using backend::Release_Manifest;

struct Temp_Dir {
    std::string path;
    Temp_Dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-record-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~Temp_Dir() { std::filesystem::remove_all(path); }
    std::string operator/(std::string_view name) const { return platform::join_path(path, name); }
};

std::string digest(char c) { return std::string(64, c); }

Install_Record sample() {
    return Install_Record{
        .version = "1.4.0",
        .channel = "stable",
        .files = {{.path = "Tarnwick.exe", .size = 1048576, .sha256 = digest('a'), .mtime = 1765138500123456789},
                  {.path = "data/maps/\"é\"\t.tnw", .size = 0, .sha256 = digest('b'), .mtime = -5},
                  {.path = "launcher.exe", .size = 42, .sha256 = digest('c'), .mtime = 1765138500000000000}}};
}

TEST(InstallRecord, MissingFileIsTheZeroRecord) {
    Temp_Dir dir;
    Install_Record r = install_load(dir.path);
    EXPECT_TRUE(r.version.empty());
    EXPECT_TRUE(r.channel.empty());
    EXPECT_TRUE(r.files.empty());
}

TEST(InstallRecord, EncodesTabIndentedMembersInOrder) {
    Install_Record r{
        .version = "2.0", .channel = "beta", .files = {{.path = "a/b", .size = 3, .sha256 = "d", .mtime = 7}}};
    EXPECT_EQ(install_encode(r),
              "{\n\t\"version\": \"2.0\",\n\t\"channel\": \"beta\",\n\t\"files\": [\n"
              "\t\t{\n\t\t\t\"path\": \"a/b\",\n\t\t\t\"size\": 3,\n\t\t\t\"sha256\": \"d\",\n\t\t\t\"mtime\": 7\n\t\t}\n"
              "\t]\n}\n");
    EXPECT_EQ(install_encode(Install_Record{}), "{\n\t\"version\": \"\",\n\t\"channel\": \"\",\n\t\"files\": []\n}\n");
}

TEST(InstallRecord, DecodesWhatItEncodesAndAnyOtherLayout) {
    Install_Record r = install_decode(install_encode(sample()));
    EXPECT_EQ(r.version, "1.4.0");
    EXPECT_EQ(r.channel, "stable");
    EXPECT_EQ(r.files, sample().files);

    Install_Record compact = install_decode(
        R"({"files":[{"mtime":9,"extra":{"a":[1,2]},"path":"x","sha256":"s","size":1}],"channel":"c","future":true})");
    EXPECT_EQ(compact.channel, "c");
    EXPECT_TRUE(compact.version.empty());
    ASSERT_EQ(compact.files.size(), 1u);
    EXPECT_EQ(compact.files[0], (Installed_File{.path = "x", .size = 1, .sha256 = "s", .mtime = 9}));
}

TEST(InstallRecord, AWrongTypeKeepsTheMembersBeforeIt) {
    Install_Record r = install_decode(R"({"version":"1.0","channel":5,"files":[{"path":"a","size":1}]})");
    EXPECT_EQ(r.version, "1.0");
    EXPECT_TRUE(r.channel.empty());
    EXPECT_TRUE(r.files.empty());

    r = install_decode(R"({"version":"1.0","files":[{"path":"a","size":1},{"path":"b","size":"2"}],"channel":"x"})");
    EXPECT_EQ(r.version, "1.0");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].path, "a");
    EXPECT_TRUE(r.channel.empty());
}

// Every possible crash point: each cut of a real record must give the header members once they
// are complete, and exactly the entries that were complete, never a half-read one.
TEST(InstallRecord, ARecordCutAnywhereKeepsEverythingBeforeTheCut) {
    const Install_Record full = sample();
    const std::string text = install_encode(full);
    const size_t files_at = text.find("\"files\"");
    size_t last_count = 0;
    for (size_t cut = 0; cut < text.size() - 2; ++cut) {
        Install_Record r = install_decode(text.substr(0, cut));
        if (cut > text.find("\"stable\"") + 8) {
            EXPECT_EQ(r.version, "1.4.0") << cut;
            EXPECT_EQ(r.channel, "stable") << cut;
        }
        if (cut < files_at) {
            EXPECT_TRUE(r.files.empty()) << cut;
        }
        ASSERT_LE(r.files.size(), full.files.size());
        EXPECT_GE(r.files.size(), last_count) << cut;
        last_count = r.files.size();
        for (size_t i = 0; i < r.files.size(); ++i) EXPECT_EQ(r.files[i], full.files[i]) << cut;
    }
    EXPECT_EQ(last_count, full.files.size());

    // Cut in the middle of the second entry: the first survives.
    const size_t second = text.find("data/maps");
    Install_Record r = install_decode(text.substr(0, second + 4));
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].path, "Tarnwick.exe");
}

TEST(InstallRecord, DamagedTextDecodesEscapesLikeValidText) {
    const std::string valid = R"({"version":"v\u00e9\ud83d\ude00\/\\\"","files":[{"path":"a\tb","size":-12,"mtime":0}]})";
    Install_Record whole = install_decode(valid);
    Install_Record damaged = install_decode(valid + ",garbage");
    EXPECT_EQ(whole.version, "v\xc3\xa9\xf0\x9f\x98\x80/\\\"");
    EXPECT_EQ(damaged.version, whole.version);
    EXPECT_EQ(damaged.files, whole.files);

    for (const char* text : {"", "garbage", "[", "{\"version\":\"\\ud83d\"", "{\"files\":[{\"size\":99999999999999999999}]",
                             "{\"files\":[{\"size\":1e3}]", "{\"files\":[{\"size\":01}]", "\xff\xfe"}) {
        Install_Record r = install_decode(text);
        EXPECT_TRUE(r.files.empty()) << text;
        EXPECT_TRUE(r.version.empty()) << text;
    }
    std::string deep = "{\"x\":" + std::string(100000, '[');
    EXPECT_TRUE(install_decode(deep + ",\"version\":\"1\"").version.empty());
}

TEST(InstallRecord, WriteRecordsWhatIsOnDiskInManifestOrder) {
    Temp_Dir dir;
    ASSERT_TRUE(platform::make_dirs(dir / "data"));
    ASSERT_TRUE(platform::write_file(dir / "data/level.pak", "0123456789"));
    ASSERT_TRUE(platform::write_file(dir / "Tarnwick.exe", "MZ"));
    Release_Manifest m{.channel = "stable",
                       .version = "1.5.0",
                       .published = "2026-12-07T20:15:00Z",
                       .files = {{.path = "data/level.pak", .size = 999, .sha256 = digest('1')},
                                 {.path = "missing.dll", .size = 5, .sha256 = digest('2')},
                                 {.path = "Tarnwick.exe", .size = 2, .sha256 = digest('3')}}};
    ASSERT_TRUE(platform::write_file(dir / "install.json", "old record"));

    ASSERT_TRUE(install_write(dir.path, m));
    EXPECT_FALSE(std::filesystem::exists(dir / "install.json.part"));

    Install_Record r = install_load(dir.path);
    EXPECT_EQ(r.version, "1.5.0");
    EXPECT_EQ(r.channel, "stable");
    ASSERT_EQ(r.files.size(), 2u);
    platform::File_Status level, exe;
    ASSERT_TRUE(platform::file_status(dir / "data/level.pak", level));
    ASSERT_TRUE(platform::file_status(dir / "Tarnwick.exe", exe));
    // Size and time from the disk (what the planner compares), the digest from the manifest.
    EXPECT_EQ(r.files[0],
              (Installed_File{.path = "data/level.pak", .size = 10, .sha256 = digest('1'), .mtime = level.mtime_ns}));
    EXPECT_EQ(r.files[1],
              (Installed_File{.path = "Tarnwick.exe", .size = 2, .sha256 = digest('3'), .mtime = exe.mtime_ns}));
}

TEST(InstallRecord, AFailedWriteKeepsTheOldRecord) {
    Temp_Dir dir;
    Release_Manifest m{.channel = "stable", .version = "2.0", .published = "", .files = {}};
    EXPECT_FALSE(install_write(dir / "not-a-folder", m));
    // A folder squatting on the record's name cannot be replaced; it stays as it was.
    ASSERT_TRUE(platform::make_dirs(dir / "install.json/x"));
    EXPECT_FALSE(install_write(dir.path, m));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "install.json/x"));
    EXPECT_FALSE(std::filesystem::exists(dir / "install.json.part"));
    EXPECT_TRUE(install_load(dir.path).version.empty());
}

}  // namespace
