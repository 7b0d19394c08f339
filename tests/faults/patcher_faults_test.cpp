// Network faults in the middle of an install, through the patcher: a release file's answer cut
// mid-body, endless, announcing more or less than it sends, or never coming because the server
// stopped; the manifest behind an untrusted certificate. Each ends in the player's message for
// it, with no file put in place that does not match its digest, and the next check completes
// the install.
#include "support/files.h"
#include "support/folders.h"
#include "delivery/job.h"
#include "install/record.h"
#include "launcher/patcher.h"
#include "launcher/signed_release.h"
#include "support/test_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace launcher;
namespace fs = std::filesystem;

namespace {

using support::slurp;

void run_check(Patcher& p) {
    patcher_check(p, false);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((p.state == Patch_State::Checking || p.state == Patch_State::Downloading) &&
           std::chrono::steady_clock::now() < deadline) {
        patcher_update(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

signed_release::Release release() {
    signed_release::Release r;
    r.version = "3.1";
    r.files = {{"Tarnwick", "#!/bin/sh\necho game\n"},
               {"data/big.pak", std::string(300000, 'B')},
               {"data/small.pak", "small"}};
    return r;
}

// Every file of the release is either absent or exactly the release's; a part left for the next
// fetch to go on from holds nothing but the beginning of its file.
void expect_nothing_unverified(const fs::path& dir, const signed_release::Release& r) {
    for (auto& [path, bytes] : r.files) {
        if (fs::exists(dir / path)) {
            EXPECT_EQ(slurp(dir / path), bytes) << path << " was put in place damaged";
        }
        if (fs::exists(dir / (path + ".part"))) {
            std::string part = slurp(dir / (path + ".part"));
            EXPECT_TRUE(part.size() < bytes.size() && bytes.compare(0, part.size(), part) == 0)
                << path << ".part holds other bytes than the file's beginning";
        }
    }
}

struct Blob_Fault {
    const char* name;
    support::Reply reply;
    const char* message;
};

TEST(PatcherFaults, AFaultyReleaseFileFailsWithItsMessageAndTheNextCheckFinishes) {
    if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
    const signed_release::Release r = release();
    const std::string big = r.files[1].second;
    const std::string blob_path = "/files/blobs/" + backend::sha256_hex(big);

    std::vector<Blob_Fault> faults;
    support::Reply reset{200, {}, big};
    reset.cut_after = 1000;
    faults.push_back({"reset mid-body", reset, "Couldn't download data/big.pak."});
    support::Reply endless;
    endless.fill_size = uint64_t(1) << 40;
    endless.no_content_length = true;
    faults.push_back({"endless body", endless, "Couldn't download data/big.pak."});
    support::Reply more{200, {}, big.substr(0, 1000)};
    more.content_length = int64_t(big.size());
    faults.push_back({"length announcing more than is sent", more, "Couldn't download data/big.pak."});
    support::Reply less{200, {}, big};
    less.content_length = 100;
    faults.push_back({"length announcing less than is sent", less, "data/big.pak arrived damaged: try again."});
    support::Reply missing{404, {}, "{\"error\":\"not_found\"}"};
    faults.push_back({"file missing on the server", missing, "Couldn't download data/big.pak."});

    for (const Blob_Fault& f : faults) {
        SCOPED_TRACE(f.name);
        fs::path dir = support::test_folder("patcher-faults");
        auto server = support::start_test_server();
        ASSERT_TRUE(server);
        signed_release::Release_Server releases(*server);
        releases.publish(r);
        support::on(*server, "GET", blob_path, f.reply);

        Patcher p;
        patcher_init(p, dir.string(), "stable", support::base_url(*server));
        p.client.max_body = 1 << 20;  // the endless body hits the limit in a moment, not at 512 MiB
        run_check(p);
        EXPECT_EQ(p.state, Patch_State::Failed);
        EXPECT_EQ(p.failure, f.message);
        expect_nothing_unverified(dir, r);
        EXPECT_TRUE(install_load(dir.string()).version.empty()) << "recorded an install that did not finish";

        releases.publish(r);  // the server answers properly again
        support::on(*server, "GET", blob_path, support::Reply{200, {}, big});
        run_check(p);
        EXPECT_EQ(p.state, Patch_State::Ready) << p.failure;
        for (auto& [path, bytes] : r.files) EXPECT_EQ(slurp(dir / path), bytes) << path;
        EXPECT_EQ(install_load(dir.string()).version, "3.1");
        patcher_destroy(p);
        fs::remove_all(dir);
    }
}

TEST(PatcherFaults, TheServerStoppingMidInstallFailsAndARestartedLauncherFinishes) {
    if (!signed_release::build_trusts_dev_key()) GTEST_SKIP() << "this build trusts another release key";
    const signed_release::Release r = release();
    fs::path dir = support::test_folder("patcher-stop");
    auto server = support::start_test_server();
    ASSERT_TRUE(server);
    signed_release::Release_Server releases(*server);
    releases.publish(r);
    support::Reply slow{200, {}, r.files[1].second};
    slow.drip_bytes = 20000;
    slow.drip_ms = 50;
    support::on(*server, "GET", "/files/blobs/" + backend::sha256_hex(r.files[1].second), slow);

    Patcher p;
    patcher_init(p, dir.string(), "stable", support::base_url(*server));
    patcher_check(p, false);
    // Stop the server once the big file is on its way.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool stopped = false;
    while ((p.state == Patch_State::Checking || p.state == Patch_State::Downloading) &&
           std::chrono::steady_clock::now() < deadline) {
        patcher_update(p);
        if (!stopped && fs::exists(dir / "data" / "big.pak.part")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            support::stop(*server);
            stopped = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(stopped);
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Couldn't download data/big.pak.");
    expect_nothing_unverified(dir, r);
    patcher_destroy(p);

    // The backend is back (elsewhere); the launcher, started again, finishes the install.
    auto again = support::start_test_server();
    ASSERT_TRUE(again);
    signed_release::Release_Server back(*again);
    back.publish(r);
    Patcher q;
    patcher_init(q, dir.string(), "stable", support::base_url(*again));
    run_check(q);
    EXPECT_EQ(q.state, Patch_State::Ready) << q.failure;
    for (auto& [path, bytes] : r.files) EXPECT_EQ(slurp(dir / path), bytes) << path;
    patcher_destroy(q);
    fs::remove_all(dir);
}

TEST(PatcherFaults, AManifestBehindAnUntrustedCertificateIsNotReached) {
    auto server = support::start_test_server(true);
    ASSERT_TRUE(server);
    signed_release::Release_Server releases(*server);
    releases.publish(release());
    fs::path dir = support::test_folder("patcher-tls");
    Patcher p;
    patcher_init(p, dir.string(), "stable", support::base_url(*server));
    run_check(p);
    EXPECT_EQ(p.state, Patch_State::Failed);
    EXPECT_EQ(p.failure, "Couldn't reach the update server.");
    EXPECT_FALSE(fs::exists(dir / "Tarnwick"));
    EXPECT_TRUE(support::requests(*server).empty());
    patcher_destroy(p);
    fs::remove_all(dir);
}

}  // namespace
