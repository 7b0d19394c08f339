#include "launcher/launcher.h"
#include "platform/entry.h"

int main(int argc, char** argv) {
    platform::attach_parent_console();
    platform::Command_Line cl;
    platform::command_line(argc, argv, cl);
    return launcher::run(cl.argc(), cl.argv.data());
}
