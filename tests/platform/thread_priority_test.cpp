// A thread put below the window's priority: nicer and batch-scheduled itself, the others as
// they were.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

TEST(Thread_Priority, ALoweredThreadRunsNicerAndLeavesTheCallerAsItWas) {
    const int caller_nice = getpriority(PRIO_PROCESS, id_t(gettid()));
    bool lowered = false;
    int nice = 0, policy = -1;
    std::thread t([&] {
        lowered = platform::lower_thread_priority();
        nice = getpriority(PRIO_PROCESS, id_t(gettid()));
        sched_param param{};
        pthread_getschedparam(pthread_self(), &policy, &param);
    });
    t.join();
    EXPECT_TRUE(lowered);
    EXPECT_GE(nice, 10);
    EXPECT_EQ(policy, SCHED_BATCH);
    EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(gettid())), caller_nice);
}
