// One launcher per install folder: the folder's lock and the show request.
#include "platform/instance_lock.h"
#include "platform/links.h"
#include "platform/system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace platform;

TEST(Instance_Lock, OneHolderPerFolderHoweverReachedAndItAloneTakesShowRequests) {
    // Named by the clock: no getpid on every platform, and no other run may share the folder.
    fs::path root = fs::temp_directory_path() /
                    ("tarnwick-instance-lock-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
    fs::path dir = root / "install";
    fs::remove_all(root);
    Instance_Lock holder, second;
    ASSERT_EQ(lock_instance(dir.string(), holder), Lock_Result::Taken);   // made when missing
    for (fs::path other : {dir, dir / "." / ".." / "install"})
        EXPECT_EQ(lock_instance(other.string(), second), Lock_Result::Held) << other;
#ifndef _WIN32
    fs::create_directory_symlink(dir, root / "link");
    EXPECT_EQ(lock_instance((root / "link").string(), second), Lock_Result::Held);
    std::ofstream(dir / "launcher") << "x";   // the self-update compares resolved paths
    EXPECT_EQ(resolved_path((root / "link" / "launcher").string()), resolved_path((dir / "launcher").string()));
#endif
    EXPECT_FALSE(show_requested(second));
    std::thread start([&] { request_show(dir.string()); });
    bool shown = false;
    for (int i = 0; i < 1000 && !shown; ++i) {
        shown = show_requested(holder);
        if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    start.join();
    EXPECT_TRUE(shown);
    EXPECT_FALSE(show_requested(holder));   // once per request
#ifndef _WIN32
    // The game, started while the lock is held, must not inherit it: once the launcher lets go,
    // another launcher takes the folder although the game still runs.
    fs::path game = root / "game";
    std::ofstream(game) << "#!/bin/sh\nwhile [ ! -e stop ]; do sleep 0.02; done\n";
    ASSERT_TRUE(set_executable(game.string()));
    Process running;
    ASSERT_TRUE(start_process(game.string(), root.string(), running));
#endif
    unlock_instance(holder);
    EXPECT_EQ(lock_instance(dir.string(), second), Lock_Result::Taken);
    unlock_instance(second);
#ifndef _WIN32
    EXPECT_FALSE(process_ended(running));   // the lock was taken while the game ran
    std::ofstream(root / "stop") << "";
    EXPECT_TRUE(wait_process(running, 10000));
#endif
    fs::remove_all(root);
}

#ifndef _WIN32
TEST(Instance_Lock, AShowRequestWhereAFifoLiesDoesNotHang) {
    fs::path dir = fs::temp_directory_path() /
                   ("tarnwick-instance-fifo-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    ASSERT_EQ(mkfifo((dir / "launcher.show").c_str(), 0600), 0);
    auto start = std::async(std::launch::async, [&] { request_show(dir.string()); });
    bool ended = start.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!ended) {  // lets a writer stuck on it go
        int reader = ::open((dir / "launcher.show").c_str(), O_RDONLY | O_NONBLOCK);
        start.wait();
        ::close(reader);
    }
    EXPECT_TRUE(ended);
    fs::remove_all(dir);
}
#endif

}  // namespace
