// One launcher per install folder: the folder's lock and the show request.
#include "platform/instance_lock.h"
#include "platform/system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace platform;

struct Instance : ::testing::Test {
    fs::path root = fs::temp_directory_path() /
                    (std::string("tarnwick-lock-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path dir = root / "install";
    void SetUp() override {
        fs::remove_all(root);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(root); }
};

TEST_F(Instance, OneHolderPerFolderHoweverItIsReached) {
    Instance_Lock first, second;
    ASSERT_EQ(lock_instance(dir.string(), first), Lock_Result::Taken);
    EXPECT_EQ(lock_instance(dir.string(), second), Lock_Result::Held);
    EXPECT_EQ(lock_instance((dir / "." / ".." / "install").string(), second), Lock_Result::Held);
#ifndef _WIN32
    fs::create_directory_symlink(dir, root / "link");
    EXPECT_EQ(lock_instance((root / "link").string(), second), Lock_Result::Held);
    // The self-update's own-file check compares paths resolved the same way.
    std::ofstream(dir / "launcher") << "x";
    EXPECT_EQ(resolved_path((root / "link" / "launcher").string()), resolved_path((dir / "launcher").string()));
#endif
    EXPECT_EQ(second.handle, 0);
    // Another folder is another lock; a missing one is made.
    Instance_Lock other;
    EXPECT_EQ(lock_instance((root / "other" / "folder").string(), other), Lock_Result::Taken);
    EXPECT_TRUE(fs::is_directory(root / "other" / "folder"));
    unlock_instance(other);

    unlock_instance(first);
    unlock_instance(first);   // harmless twice
    EXPECT_EQ(lock_instance(dir.string(), second), Lock_Result::Taken);
    unlock_instance(second);
}

TEST_F(Instance, AShowRequestReachesTheHolderOnce) {
    Instance_Lock holder;
    ASSERT_EQ(lock_instance(dir.string(), holder), Lock_Result::Taken);
    EXPECT_FALSE(show_requested(holder));
    std::thread second([&] { request_show(dir.string()); });
    bool shown = false;
    for (int i = 0; i < 1000 && !shown; ++i) {
        shown = show_requested(holder);
        if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    second.join();
    EXPECT_TRUE(shown);
    EXPECT_FALSE(show_requested(holder));
    EXPECT_FALSE(fs::exists(dir / "launcher.show"));
    unlock_instance(holder);
    EXPECT_FALSE(show_requested(holder));   // nothing to show without the folder
}

}  // namespace
