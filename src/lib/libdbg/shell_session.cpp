#define LOG_TAG "dbg"
#include "libdbg/shell_session.h"
#include "libdbg/dbg_access.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "liblog/log2.h"
#include "libdbg/shell_request.h"
#include "libdbg/shell_console.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_tool.h"

namespace {

bool is_trailing_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// Bytes text takes on the wire: every LF becomes CR LF.
size_t wire_size(const char *text) {
    size_t size = 0;
    for (const char *p = text; *p; ++p) size += *p == '\n' ? 2 : 1;
    return size;
}

// Copies text into out (wire_size bytes) with LF as CR LF and its trailing
// blanks removed; the length written.
size_t wire_copy(char *out, const char *text) {
    size_t used = 0;
    for (const char *p = text; *p; ++p) {
        if (*p == '\n') out[used++] = '\r';
        out[used++] = *p;
    }
    while (used > 0 && is_trailing_blank(static_cast<unsigned char>(out[used - 1]))) --used;
    return used;
}

const char *mode_text(int mode) {
    switch (mode) {
    case STDIO_MODE: return "STDIO_MODE ==>\n";
    case NET_MODE: return "NET_MODE ==>\n";
    case PIPE_MODE: return "PIPE_MODE ==>\n";
    default: return nullptr;
    }
}

// A socket session reads through its own buffer (one receive takes whatever
// the client sent; pipelined requests wait there for the next read) and
// collects each reply, so that the reply and its end byte leave in one send.
constexpr size_t SESSION_OUT_SIZE = 16384;

struct net_session {
    net_sock *stream;
    shell_ctx *ctx;
    bool status_on = false;  // the client asked for each line's status
    char in[LIBSH_LINE_SIZE];
    size_t in_pos = 0;
    size_t in_len = 0;
    dbgsh_request request{};
    char out[SESSION_OUT_SIZE];
    size_t out_len = 0;
};

// Sends what has been collected; the stream's result, 0 when there was nothing.
int session_send(net_session *s) {
    if (s->out_len == 0) return 0;
    int ret = net_write(s->stream, s->out, s->out_len);
    // Part of a reply lost: nobody reads the rest, and the commands still
    // running (a long source) notice the end through the stopped check.
    if (ret != static_cast<int>(s->out_len)) s->stream->disconnected = 1;
    s->out_len = 0;
    return ret;
}

// dbgout_write_imp into the reply being collected: LF as CR LF, trailing
// blanks of this piece removed.
int session_put(net_session *s, const char *text) {
    size_t needed = wire_size(text);
    if (s->out_len + needed > sizeof s->out && session_send(s) < 0) return -1;
    if (needed > sizeof s->out) return dbgout_write_imp(s->stream, text);
    size_t piece = wire_copy(s->out + s->out_len, text);
    s->out_len += piece;
    return static_cast<int>(piece);
}

int session_print(void *out, const char *fmt, ...) {
    char buf[DBGSH_PRINT_SIZE];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return session_put(static_cast<net_session *>(out), buf);
}

int session_write(void *out, const char *text, size_t) { return session_put(static_cast<net_session *>(out), text); }

int session_push(void *out) { return session_send(static_cast<net_session *>(out)); }

// The end of a line's reply: its status when the client asked for it, then the end byte.
int session_flush(void *out) {
    auto *s = static_cast<net_session *>(out);
    if (s->stream->kind < 0) return -1;
    if (s->status_on) {
        char status[16];
        std::snprintf(status, sizeof status, "%c%d", DBGSH_OPTION_LEAD, s->ctx->status);
        if (session_put(s, status) < 0) return -1;
    }
    if (s->out_len == sizeof s->out && session_send(s) < 0) return -1;
    s->out[s->out_len++] = 0;
    int ret = session_send(s);
    return ret < 0 ? -1 : 1;
}

// One command into buf (LIBSH_LINE_SIZE bytes): its length, 0 for nothing, -1 when the stream ended.
int read_command(shell_ctx *ctx, char *buf) {
    auto *stream = static_cast<net_sock *>(ctx->out);
    if (ctx->mode != STDIO_MODE) return net_gets(stream, buf);
    if (debug_shell_cmd_string()) return debug_shell_cmd_piece(buf, LIBSH_LINE_SIZE);
    return debug_shell_stdin_gets(buf, LIBSH_LINE_SIZE);
}

}  // namespace

int dbgout_write_imp(net_sock *stream, const char *text) {
    auto *out = static_cast<char *>(mem_malloc(wire_size(text) + 1));
    if (!out) {
        LOGD("str_relace return failed\n");
        return -1;
    }
    size_t used = wire_copy(out, text);
    int ret = net_write(stream, out, used);
    mem_free(out);
    return ret;
}

int dbgsh_print(void *out, const char *fmt, ...) {
    char buf[DBGSH_PRINT_SIZE];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return dbgout_write_imp(static_cast<net_sock *>(out), buf);
}

int dbgsh_write(void *out, const char *text, size_t len) {
    return dbgout_write_imp(static_cast<net_sock *>(out), text);
}

int dbgsh_flush(void *out) {
    auto *stream = static_cast<net_sock *>(out);
    if (!stream || stream->kind < 0) return -1;
    const char end_of_reply = 0;
    return net_write(stream, &end_of_reply, 1);
}

int dbgsh_srv_ctx_init(shell_ctx *ctx, net_sock *stream, int mode, os_socket sock) {
    switch (mode) {
    case STDIO_MODE:
        net_sock_init_console(stream);
        stream->timeout = DBGSH_TIMEOUT_MS;
        if (!debug_shell_cmd_string()) {
            os_sleep_ms(300);
            std::fputs("\nType `help` to learn how to use prompt\n", stdout);
            std::fflush(stdout);
        }
        std::snprintf(ctx->name, sizeof ctx->name, "console");
        break;
    case NET_MODE: {
        net_sock_init_socket(stream, sock, DBGSH_TIMEOUT_MS);
        os_ipaddr peer{};
        char text[OS_IPADDR_CSTR_MAXN] = "?";
        if (os_socket_peer(sock, &peer)) os_ipaddr_cstr_short(&peer, text, sizeof text);
        std::snprintf(ctx->name, sizeof ctx->name, "tcp %s", text);
        break;
    }
    default:
        LOGE("mode=%d invalid\n", mode);
        return -1;
    }
    ctx->mode = mode;
    ctx->exit_flag = 0;
    ctx->print = dbgsh_print;
    ctx->write = dbgsh_write;
    ctx->flush = dbgsh_flush;
    ctx->stopped = dbgsh_stopped;
    ctx->out = stream;
    return 0;
}

namespace {
bool stop_requested(net_sock *stream) {
    sock_stop_hook *hook = stream->stop;
    if (!hook) return false;
    return hook->stop.load(std::memory_order_relaxed) || (hook->func && hook->func(hook->user, 0));
}

bool is_socket_kind(const net_sock *stream) {
    return stream->kind == NET_SOCK_KIND_SOCKET || stream->kind == NET_SOCK_KIND_SOCKET1;
}
}  // namespace

int dbgsh_stopped(void *out) {
    auto *stream = static_cast<net_sock *>(out);
    if (!stream || stream->kind < 0 || stream->disconnected || stream->abort.load(std::memory_order_relaxed))
        return 1;
    if (stop_requested(stream)) return 1;
    if (stream->kind == NET_SOCK_KIND_CONSOLE) return debug_shell_stdio_stopping() ? 1 : 0;
    // A client that has only shut down its sending side still reads the
    // reply; only a reset (a pending error) or a failed write means it is gone.
    if (is_socket_kind(stream) && os_socket_error(stream->sock) > 0) {
        stream->disconnected = 1;
        return 1;
    }
    return 0;
}

namespace {

// Puts the channel's own output operations back when the session loop ends.
struct session_ops_guard {
    shell_ctx *ctx;
    shell_ctx saved;
    ~session_ops_guard() {
        ctx->out = saved.out;
        ctx->print = saved.print;
        ctx->write = saved.write;
        ctx->flush = saved.flush;
        ctx->push = saved.push;
        ctx->stopped = saved.stopped;
    }
};

int session_stopped(void *out) { return dbgsh_stopped(static_cast<net_session *>(out)->stream); }

// Ends the session: what is still collected goes out first.
int end_session(net_session *session, net_sock *stream) {
    if (session) session_send(session);
    net_close(stream);
    return 0;
}

}  // namespace

namespace {

// The socket session's loop: requests are taken from one buffered receive at
// a time, so that pipelined requests wait there, a request whose bytes arrive
// slowly is never cut, and an idle session sleeps in the receive.
int net_session_loop(shell_ctx *ctx, net_session *s) {
    auto *stream = s->stream;
    // Who is at the other end, and whether it must log in first.
    dbgsh_gate gate{};
    if (dbgsh_gate_open(&gate, stream) != 0) return end_session(s, stream);
    dbgsh_request_reset(&s->request);
    for (;;) {
        if (s->in_pos == s->in_len) {
            int n = net_sock_read_wait(stream, s->in, sizeof s->in);
            if (n < 0) {
                LOGD("gets return failed break\n");
                return end_session(s, stream);
            }
            s->in_pos = 0;
            s->in_len = static_cast<size_t>(n);
            continue;
        }
        s->in_pos += dbgsh_request_take(&s->request, s->in + s->in_pos, s->in_len - s->in_pos);
        if (!s->request.ended) continue;
        // Queued requests never make the read wait, where the stop is noticed;
        // a stopping server must not run them all first.
        if (stop_requested(stream)) {
            LOGD("stop requested break\n");
            return end_session(s, stream);
        }
        int gated = s->request.total > LIBSH_LINE_MAX ? 0 : dbgsh_gate_request(&gate, ctx, str_trim(s->request.line));
        if (gated < 0) return end_session(s, stream);
        if (gated == 0) dbgsh_request_answer(ctx, &s->request, &s->status_on);
        dbgsh_request_reset(&s->request);
        if (ctx->exit_flag) {
            LOGD("ctx.exit_flag break\n");
            return end_session(s, stream);
        }
    }
}

}  // namespace

int dbgsh_srv_imp(shell_ctx *ctx) {
    const char *entry = mode_text(ctx->mode);
    if (!entry) return -1;
    LOGV("%s", entry);
    auto *stream = static_cast<net_sock *>(ctx->out);
    // A socket session reads through its own buffer and collects its replies,
    // unless a caller put output operations of its own in place.
    if (ctx->mode == NET_MODE && is_socket_kind(stream) && ctx->print == dbgsh_print && ctx->write == dbgsh_write &&
        ctx->flush == dbgsh_flush) {
        net_session session{};
        session.stream = stream;
        session.ctx = ctx;
        session_ops_guard restore{ctx, *ctx};
        ctx->out = &session;
        ctx->print = session_print;
        ctx->write = session_write;
        ctx->flush = session_flush;
        ctx->push = session_push;
        if (ctx->stopped == dbgsh_stopped) ctx->stopped = session_stopped;
        return net_session_loop(ctx, &session);
    }
    char buf[LIBSH_LINE_SIZE];
    for (;;) {
        if (ctx->mode == STDIO_MODE && !debug_shell_cmd_string() && !debug_shell_stdio_editing()) {
            const char *prompt = libsh_prompt();
            net_write(stream, prompt, std::strlen(prompt));
        }
        std::memset(buf, 0, sizeof buf);
        int len = read_command(ctx, buf);
        LOGV("ret=%d cmd=[%s]\n", len, buf);
        if (len < 0) {
            LOGD("gets return failed break\n");
            return end_session(nullptr, stream);
        }
        if (len == 0) continue;
        if (stop_requested(stream)) {
            LOGD("stop requested break\n");
            return end_session(nullptr, stream);
        }
        libsh_exec_line(ctx, str_trim(buf));
        if (ctx->exit_flag) {
            LOGD("ctx.exit_flag break\n");
            return end_session(nullptr, stream);
        }
    }
}
