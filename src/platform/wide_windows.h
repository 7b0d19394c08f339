// Win32 helpers shared by the Windows side of the platform layer and the WinHTTP transport:
// UTF-8 <-> UTF-16 conversion (everything above the platform layer is UTF-8; Win32's "W"
// functions take UTF-16), long-path preparation, command-line quoting and error texts.
//
// Windows only: included by *_windows.cpp files and the Windows tests. Depends on Win32.
// Limits: text that is not valid UTF-8 (or UTF-16) converts with U+FFFD in place of each bad
// sequence, so a mangled name never names some other existing file by accident.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

// The path ready for a Win32 file call: UTF-16, and for paths of MAX_PATH characters or more
// made absolute and given the "\\?\" prefix (with every '/' turned into '\', which that prefix
// requires), so deep install folders keep working without the system's long-path opt-in.
std::wstring win_path(std::string_view utf8);

// One argument quoted so that CommandLineToArgvW (and the C runtime) give it back unchanged.
std::wstring quote_argument(std::wstring_view arg);

// The system's text for a Win32 error code, one line without a trailing period
// ("Access is denied"); "error N" when the system has none.
std::string win_error_text(uint32_t code);

}  // namespace platform
