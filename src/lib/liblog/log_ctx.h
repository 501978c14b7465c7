// The log context: settings read without the lock (atomics) and the sink
// state that only the dispatch under the lock touches.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "liblog/log2_ctl.h"
#include "liblog/log_cache.h"
#include "liblog/log_ring.h"
#include "liblog/log_sink_file.h"
#include "libpal/os/os_mutex.h"

constexpr uint32_t LOG_CTX_DEFAULT_FLAGS = 0x27;
constexpr int32_t LOG_CTX_DEFAULT_LEVEL = LOG_DBG;

struct log_ctx {
    std::atomic<uint32_t> flags{LOG_CTX_DEFAULT_FLAGS};
    std::atomic<int32_t> level{LOG_CTX_DEFAULT_LEVEL};
    std::atomic<uint8_t> console_on{1};
    std::atomic<uint8_t> dbgview_on{0};
    std::atomic<uint8_t> file_on{0};
    std::atomic<uint8_t> syslog_on{0};
    mutex_t *lock = nullptr;
    // Set and read under the lock.
    log2_hook_fn hook_info = nullptr;
    log2_hook_fn hook_warn = nullptr;
    log_ring last_log_ring;
    log_file_sink file;
    // While set, the file stays closed and its lines wait in held_lines
    // (LOG2_IOCTL_FILE_HOLD); under the lock.
    bool file_held = false;
    std::string held_lines;
};

// A context with the defaults and its own lock; null when the lock cannot be made.
log_ctx *log_ctx_new();
// Closes the file sink, frees the lock and the context.
void log_ctx_free(log_ctx *ctx);

extern std::atomic<log_ctx *> g_log_ctx;

// The process context, created on first use (errno kept); null after log2_exit.
log_ctx *log_ctx_process_create();
inline log_ctx *log_ctx_process() {
    log_ctx *ctx = g_log_ctx.load(std::memory_order_acquire);
    return ctx ? ctx : log_ctx_process_create();
}
// The context itself, or the process context for null.
inline log_ctx *log_ctx_or_process(log_ctx *ctx) { return ctx ? ctx : log_ctx_process(); }
// The process context if one exists; never creates it.
inline log_ctx *log_ctx_process_peek() { return g_log_ctx.load(std::memory_order_acquire); }
// Takes the process context away (log2_exit); later log calls are dropped.
log_ctx *log_ctx_process_detach();
// Allows log2_init to create a fresh context after log2_exit.
void log_ctx_process_revive();

// Text sinks of one accepted record, under the context lock; line and body end
// in a newline; now is the record's time.
void log_dispatch(log_ctx *ctx, uint32_t flags, const char *tag, const char *line, size_t line_len,
                  const char *body, size_t body_len, const log_time &now);

// A record with this flag skips the console sink: the log's word about the
// console's own loss, which the console could not take.
constexpr uint32_t LOG_F_NOT_CONSOLE = 0x80000000u;

// Under the lock: text (a whole line) on standard error, around a line being
// typed at the console; for what the log says about its own sinks. False
// when standard error could not take it now.
bool log_say(log_ctx *ctx, const char *text);
// Under the lock: warns on the console when a network sink lost lines since
// the last warning, at most once a minute. For the console's own loss it
// tells the console once it takes lines again, and fills console_loss (size
// bytes; "" when nothing is due) with the warning for the other sinks, which
// the caller logs after unlocking.
void log_sink_loss_check(log_ctx *ctx, uint64_t now_ms, char *console_loss, size_t size);
// Under the lock: says and clears the file sink's pending notice, if any
// (kept for the next line while the console takes nothing).
void log_file_say_notice(log_ctx *ctx);

// Under the lock: sets sink.name to the resolved path of name without opening
// it (a held file), or keeps the line of a record for the held file.
void log_file_hold_name(log_ctx *ctx, const char *name);
void log_file_hold_line(log_ctx *ctx, const char *text, size_t len);
// Under the lock: 1 holds the file, 0 opens the held file and writes the kept lines.
int log_file_hold_set(log_ctx *ctx, int hold);

// Attach points as registered (null when none).
const log2_bin_ops *log_attach_bin();
const log2_net_ops *log_attach_syslog();
const log2_net_ops *log_attach_bsvlog();
const log2_pcap_ops *log_attach_pcap();
const log2_console_ops *log_attach_console();
