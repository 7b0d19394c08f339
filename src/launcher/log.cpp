#include "launcher/log.h"

#include <cstdarg>
#include <cstdio>

namespace launcher {

void log_message(Log_Level level, const char* format, ...) {
    if (level < Log_Level::Info) return;
    static const char* const names[] = {"debug", "info", "warning", "error"};
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "[%s] %s\n", names[int(level)], line);
}

}  // namespace launcher
