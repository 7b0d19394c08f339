// POSIX side of entry.h: the arguments are UTF-8 already and the streams are the terminal's.
#include "platform/entry.h"

namespace platform {

void command_line(int argc, char** argv, Command_Line& out) {
    out.args.assign(argv, argv + argc);
    out.argv.clear();
    for (std::string& a : out.args) out.argv.push_back(a.data());
    out.argv.push_back(nullptr);
}

void attach_parent_console() {}

}  // namespace platform
