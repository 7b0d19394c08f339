// Both command-line programs answer --help with their usage on standard output and success.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

TEST(Help, ServerAndPublisherPrintUsageOnStdoutAndSucceed) {
    for (const char* program : {"/server/tarnwick-server", "/tools/tarnwick-publish"}) {
        SCOPED_TRACE(program);
        std::string command = std::string(TARNWICK_BINARY_DIR) + program + " --help 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        int raw = pclose(pipe);
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
        EXPECT_EQ(out.rfind("usage: ", 0), 0u) << out;
    }
}

}  // namespace
