// platform/entry: what main() needs from the system before the launcher runs: the command-line
// arguments as UTF-8, and standard streams that reach the console the program was started from.
//
// Linux: argv is already UTF-8 and the streams are the terminal's; nothing to do.
// Windows: argv from the C runtime is in the ANSI code page, so the arguments are taken from the
// UTF-16 command line instead; and a windowed program gets no console of its own, so stdout and
// stderr are connected to the parent's console when they are not already redirected.
#pragma once
#include <string>
#include <vector>

namespace platform {

struct Command_Line {
    std::vector<std::string> args;  // args[0] is the program as started
    std::vector<char*> argv;        // points into args, ends with a null pointer
    int argc() const { return int(args.size()); }
};

// The process's arguments as UTF-8; `argc` and `argv` are main()'s (used as they are on Linux).
void command_line(int argc, char** argv, Command_Line& out);

// Windows: lets usage and error texts reach the console of whoever started the launcher.
void attach_parent_console();

}  // namespace platform
