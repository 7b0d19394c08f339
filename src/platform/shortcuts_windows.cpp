// Windows side of shortcuts.h: "Tarnwick.lnk" in the Start-menu programs folder and on the
// desktop, made by PowerShell through the WScript.Shell COM object.
#include "platform/shortcuts.h"

#include "platform/wide_windows.h"

#include <windows.h>

namespace platform {

const bool shortcuts_need_icon_file = false;

void create_shortcuts(const std::string& launcher, const std::string& install_dir, const std::string& /*icon*/) {
    std::wstring command;
    for (std::wstring_view arg : {std::wstring_view(L"powershell"), std::wstring_view(L"-NoProfile"),
                                  std::wstring_view(L"-WindowStyle"), std::wstring_view(L"Hidden"),
                                  std::wstring_view(L"-Command")}) {
        command += quote_argument(arg);
        command += L' ';
    }
    command += quote_argument(widen(shortcut_script(launcher, install_dir)));

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // CREATE_NO_WINDOW: "-WindowStyle Hidden" only hides the console after it has flashed up.
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi))
        return;   // no PowerShell: shortcuts are a convenience
    CloseHandle(pi.hThread);
    // The exit code is not looked at, and a PowerShell that takes longer is left to finish
    // on its own.
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
}

}  // namespace platform
