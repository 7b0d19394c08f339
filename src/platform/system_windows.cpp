// Win32 side of system.h.
#include "platform/system.h"

#include "platform/wide_windows.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

namespace platform {

bool lower_thread_priority() {
    // Below normal rather than background mode: background mode lowers the thread's disk
    // priority too, which would slow an install on an idle machine.
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL) != 0;
}

const char* const game_exe_names[2] = {"Tarnwick.exe", "client.exe"};
const char* const launcher_exe_name = "launcher.exe";
const char* const launcher_old_exe_name = "launcher.old.exe";

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

std::string known_folder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::string out;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) out = narrow(path);
    CoTaskMemFree(path);   // owed even when the call failed
    return out;
}

// Length of the part of `path` that ".." never climbs above and that keeps its own form:
// "\\?\" or "\\.\" device prefixes with the drive, "\\server\share", "C:", "C:\" or "\".
size_t root_length(std::string_view path) {
    size_t i = 0;
    if (path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) && (path[2] == '?' || path[2] == '.') &&
        is_separator(path[3])) {
        i = 4;
    } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        // \\server\share
        size_t server_end = path.find_first_of("\\/", 2);
        if (server_end == std::string_view::npos) return path.size();
        size_t share_end = path.find_first_of("\\/", server_end + 1);
        return share_end == std::string_view::npos ? path.size() : share_end;
    }
    if (path.size() >= i + 2 && path[i + 1] == ':') i += 2;
    if (i < path.size() && is_separator(path[i])) i += 1;
    return i;
}

}  // namespace

std::string executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return narrow(buffer);
        }
        if (buffer.size() >= 32768) return {};   // longer than any Win32 path
        buffer.resize(buffer.size() * 2);
    }
}

std::string parent_folder(std::string_view path) {
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string_view::npos) return {};
    size_t root = root_length(path);
    // The root keeps its separator: the folder of "C:\launcher.exe" is "C:\", not "C:".
    if (slash < root) return std::string(path.substr(0, root));
    return std::string(path.substr(0, slash));
}

std::string file_name(std::string_view path) {
    size_t slash = path.find_last_of("\\/");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string env(const char* name) {
    std::wstring wname = widen(name);
    DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (n == 0) return {};
    std::wstring value(n, L'\0');
    n = GetEnvironmentVariableW(wname.c_str(), value.data(), n);
    if (n == 0 || n >= value.size()) return {};
    value.resize(n);
    return narrow(value);
}

void set_env(const char* name, std::string_view value) {
    // The process's own block: CreateProcessW without an environment passes it on.
    std::wstring wname = widen(name);
    if (value.empty()) SetEnvironmentVariableW(wname.c_str(), nullptr);
    else SetEnvironmentVariableW(wname.c_str(), widen(value).c_str());
}

std::string user_data_folder() { return known_folder(FOLDERID_RoamingAppData); }

std::string default_install_dir() {
    std::string local = env("LOCALAPPDATA");
    if (local.empty()) local = known_folder(FOLDERID_LocalAppData);
    if (local.empty()) return {};
    std::string out = local;
    if (!is_separator(out.back())) out += '\\';
    return out + "Tarnwick";
}

bool is_absolute_path(std::string_view path) {
    size_t root = root_length(path);
    if (root >= 2 && is_separator(path[0]) && is_separator(path[1])) return true;   // \\server\share, \\?\C:
    return root >= 3 && path[1] == ':' && is_separator(path[2]);
}

std::string clean_path(std::string_view path) {
    size_t root_len = root_length(path);
    std::string root(path.substr(0, root_len));
    for (char& c : root)
        if (c == '/') c = '\\';
    // "C:\", "\" and "\\server\share" are anchored; "C:" alone is relative to that drive's
    // current folder.
    bool anchored = !root.empty() && (is_separator(root.back()) || (root.size() >= 2 && is_separator(root[1])));
    std::vector<std::string_view> parts;
    size_t i = root_len;
    while (i <= path.size()) {
        size_t j = path.find_first_of("\\/", i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view seg = path.substr(i, j - i);
        if (seg.empty() || seg == ".") {
        } else if (seg == "..") {
            // Above an anchored root there is nothing: "C:\.." is "C:\". A relative path
            // (or a bare drive, "C:..", which is relative to that drive's current folder)
            // keeps the ".." it cannot resolve.
            if (!parts.empty() && parts.back() != "..") parts.pop_back();
            else if (!anchored) parts.push_back(seg);
        } else {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out = root;
    if (!parts.empty() && !out.empty() && !is_separator(out.back()) && anchored) out += '\\';
    for (size_t k = 0; k < parts.size(); k++) {
        if (k) out += '\\';
        out += parts[k];
    }
    return out.empty() ? std::string(".") : out;
}

bool same_path(std::string_view a, std::string_view b) {
    // The file system compares names without regard to case, by its own upper-case table;
    // CompareStringOrdinal with ignore-case applies that same table, character by character.
    std::wstring wa = widen(a), wb = widen(b);
    return CompareStringOrdinal(wa.c_str(), int(wa.size()), wb.c_str(), int(wb.size()), TRUE) == CSTR_EQUAL;
}

std::string resolved_path(const std::string& path) {
    HANDLE h = CreateFileW(win_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return clean_path(path);
    std::wstring final_path(32768, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, final_path.data(), DWORD(final_path.size()), FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= final_path.size()) return clean_path(path);
    final_path.resize(n);
    // The answer carries the "\\?\" prefix ("\\?\UNC\server\share" for a share): give the
    // ordinary form back, as executable_path and the install folder are written.
    std::string out = narrow(final_path);
    if (out.starts_with("\\\\?\\UNC\\")) return "\\\\" + out.substr(8);
    if (out.starts_with("\\\\?\\")) return out.substr(4);
    return out;
}

bool start_process(const std::string& exe, const std::string& working_dir, Process& out, std::string* err) {
    std::wstring wexe = win_path(exe);
    // The command line is only the program itself, quoted: the game and the launcher are both
    // started without arguments.
    std::wstring command = quote_argument(widen(exe));
    std::wstring wdir = widen(working_dir);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(wexe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        wdir.empty() ? nullptr : wdir.c_str(), &si, &pi)) {
        if (err) *err = win_error_text(GetLastError());
        return false;
    }
    CloseHandle(pi.hThread);
    out.handle = reinterpret_cast<intptr_t>(pi.hProcess);
    return true;
}

bool process_ended(Process& p) {
    if (p.handle == 0) return true;
    HANDLE h = reinterpret_cast<HANDLE>(p.handle);
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) return false;
    // Ended, or the handle is unusable: either way there is nothing left to watch.
    CloseHandle(h);
    p.handle = 0;
    return true;
}

bool wait_process(Process& p, int ms) {
    if (p.handle == 0) return true;
    HANDLE h = reinterpret_cast<HANDLE>(p.handle);
    if (WaitForSingleObject(h, ms < 0 ? 0 : DWORD(ms)) == WAIT_TIMEOUT) return false;
    CloseHandle(h);
    p.handle = 0;
    return true;
}


std::vector<std::string> user_languages() {
    std::vector<std::string> out;
    ULONG count = 0, chars = 0;
    if (GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &chars) && chars > 0 && chars < 4096) {
        std::wstring list(chars, L'\0');
        if (GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, list.data(), &chars)) {
            // NUL-separated names, ended by an empty one.
            for (size_t at = 0; at < list.size() && list[at] != L'\0';) {
                size_t end = list.find(L'\0', at);
                if (end == std::wstring::npos) end = list.size();
                out.push_back(narrow(std::wstring_view(list).substr(at, end - at)));
                at = end + 1;
            }
        }
    }
    if (out.empty()) {
        wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
        if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) > 0)
            out.push_back(narrow(name));
    }
    return out;
}

}  // namespace platform
