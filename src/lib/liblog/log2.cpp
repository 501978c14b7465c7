// The log call: formats one line on the caller's stack and hands it to the
// binary layer and the text sinks.
#include "liblog/log2.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "liblog/log_cache.h"
#include "liblog/log_ctx.h"
#include "liblog/log_format.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_error.h"

namespace {

constexpr size_t LINE_MAXN = LOG_LINE_MAXN;

// A bounded text on the stack; appends cut silently at LINE_MAXN - 1 bytes.
// Nothing is zeroed: only the bytes written are ever read.
struct line_buf {
    char text[LINE_MAXN];
    size_t len = 0;

    void add(const char *bytes, size_t n) {
        size_t room = LINE_MAXN - 1 - len;
        if (n > room) n = room;
        if (n <= 8) {
            // The separators: a call would cost more than the bytes.
            for (size_t i = 0; i < n; ++i) text[len + i] = bytes[i];
        } else {
            log_copy(text + len, bytes, n);
        }
        len += n;
    }
    void add(const char *s) { add(s, std::strlen(s)); }
    bool full() const { return len >= LINE_MAXN - 1; }
    // Ends the text in a newline, replacing the last byte when there is no room.
    void end_line() {
        if (len > 0 && text[len - 1] == '\n') {
        } else if (len == LINE_MAXN - 1) {
            text[len - 1] = '\n';
        } else {
            text[len++] = '\n';
        }
        text[len] = 0;
    }
};

const char *base_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

// Returns where the file body (function and message) starts in the line.
size_t add_prefix(line_buf &line, line_buf *body, uint32_t fmt, const log_time &t, const char *file,
                  int src_line, const char *func) {
    char piece[32];
    // The line is empty here: the clock and the thread id go straight in,
    // without a copy of a piece.
    if (fmt & (LOG_FMT_TIME | LOG_FMT_TIME_MS)) line.len += log_put_clock(line.text + line.len, t, !(fmt & LOG_FMT_TIME));
    if (fmt & LOG_FMT_TID) {
        char *p = line.text + line.len;
        *p++ = '[';
        size_t tid_len;
        const char *tid = log_cached_tid_text(&tid_len);
        std::memcpy(p, tid, LOG_ID_TEXT_MAXN);
        p += tid_len;
        *p++ = ']';
        *p++ = ' ';
        line.len = static_cast<size_t>(p - line.text);
    }
    if ((fmt & LOG_FMT_TID_NAME) && !line.full()) {
        size_t name_len;
        const char *name = os_thread_name_view(&name_len);
        line.add("[", 1);
        line.add(name, name_len);
        line.add("] ", 2);
    }
    if ((fmt & LOG_FMT_FILE) && !line.full()) {
        const char *shown = file ? file : "";
        if (fmt & LOG_FMT_FILE_BASE) shown = base_name(shown);
        line.add("[");
        line.add(shown);
        char *p = piece;
        *p++ = ':';
        if (src_line < 0) {
            *p++ = '-';
            src_line = -src_line;
        }
        p = log_put_uint(p, static_cast<uint32_t>(src_line));
        *p++ = ']';
        *p++ = ' ';
        line.add(piece, static_cast<size_t>(p - piece));
    }
    size_t body_start = line.len;
    if ((fmt & LOG_FMT_FUNC) && func && !line.full()) {
        line.add(func);
        line.add("(): ", 4);
        if (body) {
            body->add(func);
            body->add("(): ", 4);
        }
    }
    return body_start;
}

// A record whose line reaches the 8191-byte limit: line, file body and
// message are cut each on its own, as three separate buffers.
int log_accepted_long(log_ctx *ctx, uint32_t flags, const char *tag, const char *file, int src_line,
                      const char *func, const char *fmt, va_list args, int saved_errno, const log_time &now,
                      uint32_t fmt_flags) {
    line_buf line, body;
    char msg[LINE_MAXN];
    add_prefix(line, &body, fmt_flags, now, file, src_line, func);

    int n = std::vsnprintf(msg, sizeof msg, fmt ? fmt : "", args);
    size_t msg_len = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof msg ? static_cast<size_t>(n) : sizeof msg - 1);
    msg[msg_len] = 0;
    line.add(msg, msg_len);
    body.add(msg, msg_len);

    if (flags & LOG_F_APPEND_OSERR) {
        const char *os_text = os_strerror(saved_errno);
        size_t os_len = std::strlen(os_text);
        line.add(os_text, os_len);
        line.add("\n", 1);
        body.add(os_text, os_len);
        body.add("\n", 1);
        size_t room = sizeof msg - 1 - msg_len;
        size_t take = os_len < room ? os_len : room;
        std::memcpy(msg + msg_len, os_text, take);
        msg_len += take;
        if (msg_len < sizeof msg - 1) msg[msg_len++] = '\n';
        msg[msg_len] = 0;
    }
    line.text[line.len] = 0;
    body.text[body.len] = 0;

    if (const log2_bin_ops *bin = log_attach_bin(); bin && bin->record) {
        bin->record(flags, tag, file, src_line, func, msg);
    }
    size_t result = line.len;
    if (!(flags & LOG_F_BSV_ONLY)) {
        line.end_line();
        body.end_line();
        log_dispatch(ctx, flags, tag, line.text, line.len, body.text, body.len, now);
    }
    return static_cast<int>(result);
}

// The usual record: the message is formatted straight into the line, and
// the file body (function and message) and the binary layer's message are
// parts of it, so nothing is copied twice.
int log_accepted(log_ctx *ctx, uint32_t flags, const char *tag, const char *file, int src_line,
                 const char *func, const char *fmt, va_list args, int saved_errno) {
    log2_count_record(static_cast<int>(flags & LOG_F_LEVEL_MASK));
    // One reading of the clock serves the line prefix and the file header.
    log_time now;
    log_time_now(&now);
    uint32_t fmt_flags = ctx->flags.load(std::memory_order_relaxed);
    line_buf line;
    size_t body_start = add_prefix(line, nullptr, fmt_flags, now, file, src_line, func);
    size_t msg_start = line.len;
    size_t room = LINE_MAXN - 1 - msg_start;
    const char *os_text = (flags & LOG_F_APPEND_OSERR) ? os_strerror(saved_errno) : nullptr;
    size_t os_len = os_text ? std::strlen(os_text) : 0;
    // log_vformat leaves args untouched, and vsnprintf, which takes over when
    // it declines, gets a copy: the long way below can still read them.
    int n = log_vformat(line.text + msg_start, room + 1, fmt ? fmt : "", args);
    if (n == LOG_FORMAT_UNSUPPORTED) {
        va_list again;
        va_copy(again, args);
        n = std::vsnprintf(line.text + msg_start, room + 1, fmt ? fmt : "", again);
        va_end(again);
    }
    // Room for the OS text, its newline and the closing newline, or the long way.
    if (n < 0 || static_cast<size_t>(n) + os_len + 2 >= room) {
        return log_accepted_long(ctx, flags, tag, file, src_line, func, fmt, args, saved_errno, now, fmt_flags);
    }
    line.len += static_cast<size_t>(n);
    if (os_text) {
        line.add(os_text, os_len);
        line.add("\n", 1);
    }
    line.text[line.len] = 0;
    if (const log2_bin_ops *bin = log_attach_bin(); bin && bin->record) {
        bin->record(flags, tag, file, src_line, func, line.text + msg_start);
    }
    size_t result = line.len;
    if (!(flags & LOG_F_BSV_ONLY)) {
        line.end_line();
        log_dispatch(ctx, flags, tag, line.text, line.len, line.text + body_start, line.len - body_start, now);
    }
    return static_cast<int>(result);
}

}  // namespace

int log2_level_get() {
    log_ctx *ctx = log_ctx_process_peek();
    return ctx ? ctx->level.load(std::memory_order_relaxed) : LOG_CTX_DEFAULT_LEVEL;
}

int log2_vprintf(log_ctx *ctx, uint32_t flags, const char *tag, const char *file, int line,
                 const char *func, const char *fmt, va_list args) {
    log_ctx *c = log_ctx_or_process(ctx);
    if (!c || static_cast<int>(flags & LOG_F_LEVEL_MASK) > c->level.load(std::memory_order_relaxed)) return 0;
    int saved_errno = errno;
    int result = log_accepted(c, flags, tag, file, line, func, fmt, args, saved_errno);
    errno = saved_errno;
    return result;
}

int log2_printf(log_ctx *ctx, uint32_t flags, const char *tag, const char *file, int line,
                const char *func, const char *fmt, ...) {
    // The one comparison a dropped record costs; nothing on this path touches errno.
    log_ctx *c = log_ctx_or_process(ctx);
    if (!c || static_cast<int>(flags & LOG_F_LEVEL_MASK) > c->level.load(std::memory_order_relaxed)) return 0;
    int saved_errno = errno;
    va_list args;
    va_start(args, fmt);
    int result = log_accepted(c, flags, tag, file, line, func, fmt, args, saved_errno);
    va_end(args);
    errno = saved_errno;
    return result;
}
