// Win32 side of entry.h.
#include "platform/entry.h"

#include "platform/wide_windows.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

namespace platform {

void command_line(int argc, char** argv, Command_Line& out) {
    out.args.clear();
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide) {
        for (int i = 0; i < n; i++) out.args.push_back(narrow(wide[i]));
        LocalFree(wide);
    } else {
        out.args.assign(argv, argv + argc);   // better the code page's text than none
    }
    out.argv.clear();
    for (std::string& a : out.args) out.argv.push_back(a.data());
    out.argv.push_back(nullptr);
}

void attach_parent_console() {
    // A stream redirected by the caller (`launcher.exe -help > usage.txt`) already works and
    // must stay where it points.
    auto usable = [](DWORD which) {
        HANDLE h = GetStdHandle(which);
        return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
    };
    bool out_ok = usable(STD_OUTPUT_HANDLE), err_ok = usable(STD_ERROR_HANDLE);
    if (out_ok && err_ok) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;   // started from Explorer: nowhere to write
    if (!out_ok && freopen("CONOUT$", "w", stdout)) setvbuf(stdout, nullptr, _IONBF, 0);
    if (!err_ok && freopen("CONOUT$", "w", stderr)) setvbuf(stderr, nullptr, _IONBF, 0);
}

}  // namespace platform
