// Win32 side of instance_lock.h: a named mutex per install folder. The mutex exists while some
// process has it open, so "created it" means "holds the folder"; it is not inherited by the game
// (no inheritable handles) and goes when the launcher ends, however it ends.
#include "platform/instance_lock.h"

#include "platform/files.h"
#include "platform/system.h"
#include "platform/wide_windows.h"

#include <windows.h>

namespace platform {

namespace {

// The folder as the file system names it (links and junctions resolved), case-folded, since
// one folder can be reached by many spellings.
std::wstring folder_key(const std::string& folder) {
    std::wstring path = widen(resolved_path(folder));
    CharLowerBuffW(path.data(), DWORD(path.size()));
    return path;
}

// Mutex names cannot hold '\' and are limited in length: the key's FNV-1a digest stands for it.
std::wstring mutex_name(const std::wstring& key) {
    uint64_t h = 14695981039346656037ull;
    for (wchar_t c : key) {
        h ^= uint64_t(c);
        h *= 1099511628211ull;
    }
    std::wstring name = L"Local\\TarnwickLauncher-";
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(h >> shift) & 15];
    return name;
}

}  // namespace

Lock_Result lock_instance(const std::string& folder, Instance_Lock& out) {
    unlock_instance(out);
    make_dirs(folder);
    std::wstring key = folder_key(folder);
    if (key.empty()) return Lock_Result::Unavailable;
    HANDLE m = CreateMutexW(nullptr, FALSE, mutex_name(key).c_str());
    if (m == nullptr) return GetLastError() == ERROR_ACCESS_DENIED ? Lock_Result::Held : Lock_Result::Unavailable;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(m);
        return Lock_Result::Held;
    }
    out.handle = reinterpret_cast<intptr_t>(m);
    out.folder = folder;
    return Lock_Result::Taken;
}

void unlock_instance(Instance_Lock& lock) {
    if (lock.handle != 0) CloseHandle(reinterpret_cast<HANDLE>(lock.handle));
    lock.handle = 0;
    lock.folder.clear();
}

void allow_foreground_switch() {
    // Windows lets only the foreground process (this one, just started by the player) pass the
    // right on; the launcher holding the folder raises its window with it when it takes the request.
    AllowSetForegroundWindow(ASFW_ANY);
}

}  // namespace platform
