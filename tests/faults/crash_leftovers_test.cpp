// The states a crash can leave behind, made on purpose: a ".part" file written but not yet
// moved over its target (garbage, or the whole new file), the install record's own ".part", a
// record cut off mid-write by another program, and a release file half-written in place by one.
// The next check must finish the install from any of them, and put in place only files that
// match their digests.
#include "support/files.h"
#include "support/folders.h"
#include "install/record.h"
#include "launcher/patcher.h"
#include "launcher/signed_release.h"
#include "support/test_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

using namespace launcher;
namespace fs = std::filesystem;

namespace {

using support::slurp;
using support::put;


struct Leftover {
    const char* name;
    bool record_damaged;  // the old record no longer names the files the new release drops
    std::function<void(const fs::path& dir, const signed_release::Release& old, const signed_release::Release& now)> make;
};

TEST(CrashLeftovers, TheNextCheckFinishesTheInstallFromEachOne) {
    if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
    signed_release::Release v1, v2;
    v1.version = "1.0";
    v1.files = {{"Tarnwick", "#!/bin/sh\necho v1\n"}, {"data/a.pak", std::string(5000, 'a')}, {"data/b.pak", "bbb"},
                {"gone.txt", "dropped in 2.0"}};
    v2.version = "2.0";
    v2.files = {{"Tarnwick", "#!/bin/sh\necho v2\n"}, {"data/a.pak", std::string(6000, 'A')}, {"data/b.pak", "bbb"},
                {"data/new.pak", "new in 2.0"}};

    const Leftover leftovers[] = {
        {"garbage .part beside the old file", false,
         [](const fs::path& d, auto&, auto&) { put(d / "data/a.pak.part", "half a fi"); }},
        {"whole new file as .part, not yet moved", false,
         [](const fs::path& d, auto&, auto& now) { put(d / "data/a.pak.part", now.files[1].second); }},
        {".part of a file the old release did not have", false,
         [](const fs::path& d, auto&, auto&) { put(d / "data/new.pak.part", "new in"); }},
        {"first files of the new release in place, record still old", false,
         [](const fs::path& d, auto&, auto& now) {
             put(d / "data/new.pak", now.files[3].second);
             put(d / "Tarnwick", now.files[0].second);
         }},
        {"record's own .part cut off", false,
         [](const fs::path& d, auto&, auto&) { put(d / "install.json.part", "{\"version\":\"2.0\",\"files\":[{\"pa"); }},
        {"record cut off in place", true,
         [](const fs::path& d, auto&, auto&) {
             std::string text = slurp(d / "install.json");
             put(d / "install.json", text.substr(0, text.size() / 2));
         }},
        {"record empty", true, [](const fs::path& d, auto&, auto&) { put(d / "install.json", ""); }},
        {"release file half-written in place, record vouching for the old one", false,
         [](const fs::path& d, auto&, auto&) {
             // A file the new release keeps as it is, damaged at the same size: only its time
             // (and then its digest) can tell.
             put(d / "data/b.pak", "bxb");
         }},
    };

    for (const Leftover& l : leftovers) {
        SCOPED_TRACE(l.name);
        fs::path root = support::test_folder("leftovers");
        fs::path dir = root / "install";
        auto server = support::start_test_server();
        ASSERT_TRUE(server);
        signed_release::Release_Server releases(*server);

        auto check = [&](Patcher& p) {
            patcher_check(p, false);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while ((p.state == Patch_State::Checking || p.state == Patch_State::Downloading) &&
                   std::chrono::steady_clock::now() < deadline) {
                patcher_update(p);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        {
            Patcher p;
            releases.publish(v1);
            patcher_init(p, dir.string(), "stable", support::base_url(*server));
            check(p);
            ASSERT_EQ(p.state, Patch_State::Ready) << p.failure;
            patcher_destroy(p);
        }
        releases.publish(v2);
        l.make(dir, v1, v2);

        Patcher p;
        patcher_init(p, dir.string(), "stable", support::base_url(*server));
        check(p);
        EXPECT_EQ(p.state, Patch_State::Ready) << p.failure;
        for (auto& [path, bytes] : v2.files) EXPECT_EQ(slurp(dir / path), bytes) << path;
        // A dropped file is known only from the old record: with the record damaged it may stay.
        if (!l.record_damaged) {
            EXPECT_FALSE(fs::exists(dir / "gone.txt"));
        }
        Install_Record rec = install_load(dir.string());
        EXPECT_EQ(rec.version, "2.0");
        ASSERT_EQ(rec.files.size(), v2.files.size());
        for (size_t i = 0; i < rec.files.size(); ++i) EXPECT_EQ(rec.files[i].sha256, backend::sha256_hex(v2.files[i].second));
        patcher_destroy(p);
        fs::remove_all(root);
    }
}

}  // namespace
