// Self-trace of the log library, for the cases where its own sinks fail.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "liblog/log2_ctl.h"
#include "libpal/os/os_debug.h"

namespace {
std::atomic<bool> g_trace_on{false};
}

void log2_trace_enable() { g_trace_on.store(true, std::memory_order_relaxed); }
bool log2_trace_enabled() { return g_trace_on.load(std::memory_order_relaxed); }

void log2_trace(const char *fmt, ...) {
    if (!g_trace_on.load(std::memory_order_relaxed) || !fmt) return;
    char text[4096];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0) return;
    std::fputs(text, stderr);
    std::fflush(stderr);
    os_debug_output(text);
}
