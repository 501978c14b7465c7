// The explicit end of the process after a fatal failure.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog/log2.h"

void log2_fatal(const char *tag, const char *file, int line, const char *func, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int written = log2_vprintf(nullptr, LOG_CRIT | LOG_F_NO_EXIT, tag, file, line, func, fmt, args);
    va_end(args);
    if (written == 0) {
        // The filter (or a log already shut down) dropped it: say it anyway.
        char text[1024];
        std::vsnprintf(text, sizeof text, fmt ? fmt : "", copy);
        size_t len = std::strlen(text);
        std::fprintf(stderr, "fatal: %s%s", text, len && text[len - 1] == '\n' ? "" : "\n");
    }
    va_end(copy);
    log2_fatal_exit(1);
}

void log2_fatal_exit(int status) {
    std::fflush(nullptr);
    std::exit(status);
}
