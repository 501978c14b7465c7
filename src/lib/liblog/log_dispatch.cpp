// Hands one formatted record to the text sinks, in a fixed order, under the
// context lock.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog/log_cache.h"
#include "liblog/log_ctx.h"
#include "liblog/log_sink_console.h"
#include "libpal/os/os_debug.h"

namespace {

// The debugger channel carries its own time stamps; skip the line's.
size_t time_prefix_len(uint32_t fmt_flags) {
    if (fmt_flags & LOG_FMT_TIME) return 9;
    if (fmt_flags & LOG_FMT_TIME_MS) return 13;
    return 0;
}

}  // namespace

bool log_say(log_ctx *ctx, const char *text) {
    (void)ctx;
    const log2_console_ops *editor = log_attach_console();
    bool redraw = editor && editor->before && editor->before();
    bool said = log_console_say(text);
    if (redraw && editor->after) editor->after();
    return said;
}

void log_file_say_notice(log_ctx *ctx) {
    if (ctx->file.notice[0] && log_say(ctx, ctx->file.notice)) ctx->file.notice[0] = 0;
}

void log_dispatch(log_ctx *ctx, uint32_t flags, const char *tag, const char *line, size_t line_len,
                  const char *body, size_t body_len, const log_time &now) {
    int level = static_cast<int>(flags & LOG_F_LEVEL_MASK);
    // A tag is cut at 255 bytes; only one that long is copied.
    char tag_cut[256];
    const char *tag_copy = tag ? tag : "";
    size_t tag_len = strnlen(tag_copy, sizeof tag_cut);
    if (tag_len == sizeof tag_cut) {
        tag_len = sizeof tag_cut - 1;
        std::memcpy(tag_cut, tag_copy, tag_len);
        tag_cut[tag_len] = 0;
        tag_copy = tag_cut;
    }
    // The file header is made before the lock, so that two logging threads
    // wait for each other only while one of them writes.
    char file_line[LOG_FILE_HEADER_MAXN + LOG_LINE_MAXN];
    char console_loss[160] = "";
    size_t file_len = 0;
    bool to_file = ctx->file_on.load(std::memory_order_relaxed);
    if (to_file) {
        file_len = log_file_header(file_line, LOG_FILE_HEADER_MAXN, level, tag_copy, tag_len, now);
        size_t take = body_len < LOG_LINE_MAXN ? body_len : LOG_LINE_MAXN;
        log_copy(file_line + file_len, body, take);
        file_len += take;
    }
    {
        // Held about as long as one write to the file. A second logging
        // thread sleeps rather than spin: spinning took the processor time
        // that the holder's write and the file system's own threads needed,
        // and two threads logged slower than one.
        mutex_guard guard(ctx->lock);
        if (level > ctx->level.load(std::memory_order_relaxed)) return;

        if (ctx->hook_info && ctx->hook_warn) {
            log2_hook_fn hook = level <= LOG_WARN ? ctx->hook_warn : ctx->hook_info;
            hook(level, tag_copy, line, static_cast<int>(line_len));
        }
        uint32_t fmt_flags = ctx->flags.load(std::memory_order_relaxed);
        if (ctx->console_on.load(std::memory_order_relaxed) && !(flags & LOG_F_NOT_CONSOLE)) {
            // A line typed at the console is cleared first and drawn again after.
            const log2_console_ops *editor = log_attach_console();
            bool redraw = editor && editor->before && editor->before();
            log_console_write(fmt_flags, level, line, line_len);
            if (redraw && editor->after) editor->after();
        }
        if (ctx->dbgview_on.load(std::memory_order_relaxed)) {
            size_t skip = time_prefix_len(fmt_flags);
            os_debug_output(line + (skip <= line_len ? skip : line_len));
        }
        if (to_file) {
            if (ctx->file_held)
                log_file_hold_line(ctx, file_line, file_len);
            else
                log_file_write(&ctx->file, file_line, file_len, now.usec_since_epoch);
            log_file_say_notice(ctx);
        }
        if (ctx->syslog_on.load(std::memory_order_relaxed)) {
            const log2_net_ops *syslog = log_attach_syslog();
            if (syslog && syslog->send) syslog->send(level, tag_copy, line);
        }
        log_ring_append(&ctx->last_log_ring, line, line_len);
        log_sink_loss_check(ctx, now.usec_since_epoch / 1000, console_loss, sizeof console_loss);
    }
    // The console's loss goes where lines still get through: the file, syslog
    // and the binary layer.
    if (console_loss[0])
        log2_printf(ctx, LOG_WARN | LOG_F_NOT_CONSOLE, "tag", __FILE__, __LINE__, __func__, "%s", console_loss);
    // A crit record ends nothing by itself: a fatal failure calls
    // log2_fatal, which ends the process whatever the level filter says.
}
