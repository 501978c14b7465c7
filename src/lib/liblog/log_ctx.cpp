#include "liblog/log_ctx.h"

#include <cerrno>
#include <new>

std::atomic<log_ctx *> g_log_ctx{nullptr};

namespace {
// After log2_exit the process context stays gone: records are dropped rather
// than building a context nobody would close. log2_init starts a new one.
std::atomic<bool> g_exited{false};
}  // namespace

log_ctx *log_ctx_new() {
    mutex_t *lock = mutex_malloc();
    if (!lock) return nullptr;
    auto *ctx = new (std::nothrow) log_ctx;
    if (!ctx) {
        mutex_free(lock);
        return nullptr;
    }
    ctx->lock = lock;
    return ctx;
}

void log_ctx_free(log_ctx *ctx) {
    if (!ctx) return;
    {
        mutex_guard guard(ctx->lock);
        log_file_close(&ctx->file);
    }
    mutex_free(ctx->lock);
    delete ctx;
}

log_ctx *log_ctx_process_create() {
    if (g_exited.load(std::memory_order_acquire)) return nullptr;
    int saved_errno = errno;
    log_ctx *fresh = log_ctx_new();
    log_ctx *expected = nullptr;
    // The first use normally happens on the main thread alone; should two
    // threads still race here, one context wins and the other is freed.
    if (fresh && !g_log_ctx.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        log_ctx_free(fresh);
        fresh = expected;
    }
    errno = saved_errno;
    return fresh;
}

log_ctx *log_ctx_process_detach() {
    g_exited.store(true, std::memory_order_release);
    return g_log_ctx.exchange(nullptr, std::memory_order_acq_rel);
}

void log_ctx_process_revive() { g_exited.store(false, std::memory_order_release); }
