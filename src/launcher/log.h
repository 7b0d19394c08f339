// The console logger: Info and above go to standard error, one line each.
#pragma once

namespace launcher {

enum class Log_Level { Debug, Info, Warning, Error };

void log_message(Log_Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
#define log_info(...) ::launcher::log_message(::launcher::Log_Level::Info, __VA_ARGS__)
#define log_warning(...) ::launcher::log_message(::launcher::Log_Level::Warning, __VA_ARGS__)

}  // namespace launcher
