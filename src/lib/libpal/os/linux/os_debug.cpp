#include "libpal/os/os_debug.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

std::atomic<os_debug_output_fn> g_redirect{nullptr};

// openlog keeps the ident pointer, so the text lives here for the process.
std::mutex g_ident_lock;
char g_ident[64] = "hubd";
bool g_opened = false;

}  // namespace

void os_debug_output(const char *text) {
    if (!text) return;
    if (os_debug_output_fn fn = g_redirect.load(std::memory_order_relaxed)) {
        fn(text);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_ident_lock);
        if (!g_opened) {
            openlog(g_ident, LOG_PID, LOG_USER);
            g_opened = true;
        }
    }
    syslog(LOG_DEBUG, "%s", text);
}

void os_debug_output_ident(const char *name) {
    if (!name) return;
    std::lock_guard<std::mutex> guard(g_ident_lock);
    std::snprintf(g_ident, sizeof g_ident, "%s", name);
    openlog(g_ident, LOG_PID, LOG_USER);
    g_opened = true;
}

void os_debug_output_redirect(os_debug_output_fn fn) { g_redirect.store(fn, std::memory_order_relaxed); }
