// The launcher for the kill tests: with TARNWICK_TEST_KILL_AFTER_WRITES=N set, the process ends
// at once, as a kill -9 would, just before the N-th change it makes below its install folder (a
// write, a rename or a delete, through the platform layer's file hook): N-1 writes done. The launcher itself has no such switch.
#include "launcher/launcher.h"
#include "platform/entry.h"
#include "platform/files.h"

#include "kill_at_write.h"

#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
    const char* v = std::getenv("TARNWICK_TEST_KILL_AFTER_WRITES");
    std::string dir;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]).starts_with("-dir:")) dir = argv[i] + 5;
    if (v && std::atol(v) > 0) e2e::kill_at_write(std::atol(v), dir);
    platform::Command_Line cl;
    platform::command_line(argc, argv, cl);
    return launcher::run(cl.argc(), cl.argv.data());
}
