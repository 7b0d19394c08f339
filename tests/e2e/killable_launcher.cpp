// The launcher for the kill tests: with TARNWICK_TEST_KILL_AFTER_WRITES=N set, the N-th step that
// changes a file being updated in place (or its journals) ends the process at once, as a kill -9
// would. The launcher itself has no such switch.
#include "delivery/in_place.h"
#include "launcher/launcher.h"
#include "platform/entry.h"

#include <atomic>
#include <cstdlib>

namespace {
long kill_after = 0;
std::atomic<long> steps{0};
void count_step() {
    if (++steps >= kill_after) std::_Exit(137);
}
}  // namespace

int main(int argc, char** argv) {
    const char* v = std::getenv("TARNWICK_TEST_KILL_AFTER_WRITES");
    kill_after = v ? std::atol(v) : 0L;
    if (kill_after > 0) delivery::in_place_step_hook = count_step;
    platform::Command_Line cl;
    platform::command_line(argc, argv, cl);
    return launcher::run(cl.argc(), cl.argv.data());
}
