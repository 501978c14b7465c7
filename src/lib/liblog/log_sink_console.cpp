#include "liblog/log_sink_console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "liblog/log2.h"

namespace {
constexpr const char *COLOUR_RESET = "\033[0m";
}

const char *log_console_colour(int level) {
    switch (level) {
        case LOG_CRIT: return "\033[1;31m";
        case LOG_ERR: return "\033[31m";
        case LOG_WARN: return "\033[1;33m";
        case LOG_NOTI: return "\033[1;37m";
        case LOG_DBG: return "\033[36m";
        case LOG_VERB: return "\033[32m";
        default: return nullptr;
    }
}

bool log_console_is_colour_tty() {
    const char *no_colour = std::getenv("NO_COLOR");
    return isatty(STDERR_FILENO) == 1 && !no_colour;
}

void log_console_write(uint32_t fmt_flags, int level, const char *line, size_t len) {
    const char *colour = (fmt_flags & LOG_FMT_COLOUR) ? log_console_colour(level) : nullptr;
    if (colour && log_console_is_colour_tty()) {
        std::fputs(colour, stderr);
        std::fwrite(line, 1, len, stderr);
        std::fputs(COLOUR_RESET, stderr);
    } else {
        std::fwrite(line, 1, len, stderr);
    }
    std::fflush(stderr);
}
