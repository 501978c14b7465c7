#include "liblog/log2_panic.h"

#include <time.h>
#include <unistd.h>

#include <cstring>

#include "liblog/log_ctx.h"
#include "liblog/log_sink_console.h"

namespace {

void write_all(int fd, const char *text, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

// Under the journal every line carries its priority, as the console sink
// writes it: the crash path's texts are crit.
void write_stderr_lines(const char *text, size_t len) {
    if (!log_console_is_journal()) {
        write_all(STDERR_FILENO, text, len);
        return;
    }
    static const char PRIORITY[] = "<2>";
    size_t start = 0;
    while (start < len) {
        size_t end = start;
        while (end < len && text[end] != '\n') ++end;
        if (end < len) ++end;
        write_all(STDERR_FILENO, PRIORITY, sizeof PRIORITY - 1);
        write_all(STDERR_FILENO, text + start, end - start);
        start = end;
    }
}

}  // namespace

int log2_panic_enter(uint32_t wait_ms) {
    log_ctx *ctx = log_ctx_process_peek();
    if (!ctx || !ctx->lock) return 0;
    for (uint32_t waited = 0;; waited += 10) {
        if (mutex_trylock(ctx->lock)) return 0;
        if (waited >= wait_ms) return -1;
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

void log2_panic_leave() {
    log_ctx *ctx = log_ctx_process_peek();
    if (ctx && ctx->lock) mutex_unlock(ctx->lock);
}

void log2_panic_direct(const char *text, size_t len) {
    if (!text) return;
    write_stderr_lines(text, len);
    log_ctx *ctx = log_ctx_process_peek();
    // The file sink may be between a close and an open; a stale descriptor only loses this text.
    if (ctx && ctx->file_on.load(std::memory_order_relaxed) && ctx->file.fd >= 0) write_all(ctx->file.fd, text, len);
}

size_t log2_last_log_copy(char *out, size_t size) {
    if (!out || size == 0) return 0;
    out[0] = 0;
    log_ctx *ctx = log_ctx_process_peek();
    if (!ctx) return 0;
    // Read without the lock (a crash report): the start is taken once and
    // the text is bounded by the store.
    const log_ring &ring = ctx->last_log_ring;
    size_t start = ring.start < sizeof ring.store ? ring.start : 0;
    const char *text = ring.store + start;
    size_t len = strnlen(text, sizeof ring.store - start);
    if (len >= size) len = size - 1;
    std::memcpy(out, text, len);
    out[len] = 0;
    return len;
}
