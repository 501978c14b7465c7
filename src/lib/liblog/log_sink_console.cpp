#include "liblog/log_sink_console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <cstdio>
#include <cstdlib>

#include "liblog/log2.h"

namespace {
constexpr const char *COLOUR_RESET = "\033[0m";
// -1 not looked up yet, 0 no, 1 yes.
std::atomic<int> g_journal{-1};

bool stderr_is_journal() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

// journald takes the priority from the start of each line it reads.
void write_journal_lines(int level, const char *line, size_t len) {
    char prefix[8];
    int prefix_len = std::snprintf(prefix, sizeof prefix, "<%d>", log_console_priority(level));
    size_t start = 0;
    while (start < len) {
        size_t end = start;
        while (end < len && line[end] != '\n') ++end;
        if (end < len) ++end;
        std::fwrite(prefix, 1, static_cast<size_t>(prefix_len), stderr);
        std::fwrite(line + start, 1, end - start, stderr);
        start = end;
    }
}
}  // namespace

bool log_console_is_journal() {
    int known = g_journal.load(std::memory_order_relaxed);
    if (known < 0) {
        known = stderr_is_journal() ? 1 : 0;
        g_journal.store(known, std::memory_order_relaxed);
    }
    return known == 1;
}

void log_console_journal_recheck() { g_journal.store(-1, std::memory_order_relaxed); }

int log_console_priority(int level) {
    if (level < LOG_CRIT) return LOG_CRIT;
    return level > LOG_DBG ? LOG_DBG : level;
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
    if (log_console_is_journal()) {
        write_journal_lines(level, line, len);
    } else if (colour && log_console_is_colour_tty()) {
        std::fputs(colour, stderr);
        std::fwrite(line, 1, len, stderr);
        std::fputs(COLOUR_RESET, stderr);
    } else {
        std::fwrite(line, 1, len, stderr);
    }
    std::fflush(stderr);
}
