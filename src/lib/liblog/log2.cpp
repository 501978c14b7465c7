// Bootstrap log call: formats the message to standard error. The full log
// core replaces this file.
#include "liblog/log2.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {
std::atomic<int> g_level{7};
}

int log2_level_get() { return g_level.load(std::memory_order_relaxed); }

int log2_vprintf(log_ctx *, uint32_t flags, const char *tag, const char *, int, const char *func,
                 const char *fmt, va_list args) {
    int level = static_cast<int>(flags & LOG_F_LEVEL_MASK);
    if (level > g_level.load(std::memory_order_relaxed)) return 0;
    int saved = errno;
    char msg[8192];
    int n = std::vsnprintf(msg, sizeof msg, fmt, args);
    std::fprintf(stderr, "%s(): %s", func ? func : "", msg);
    errno = saved;
    if (level == LOG_CRIT && !(flags & LOG_F_NO_EXIT)) std::exit(1);
    return n;
}

int log2_printf(log_ctx *ctx, uint32_t flags, const char *tag, const char *file, int line,
                const char *func, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = log2_vprintf(ctx, flags, tag, file, line, func, fmt, args);
    va_end(args);
    return n;
}

void log2_trace(const char *, ...) {}
