#define LOG_TAG "dbg"
#include "libdbg/dbgsh_srv.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "liblog/log2.h"
#include "libdbg/dbgsh_stdio.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_tool.h"

namespace {

bool is_trailing_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

const char *mode_text(int mode) {
    switch (mode) {
    case STDIO_MODE: return "STDIO_MODE ==>\n";
    case NET_MODE: return "NET_MODE ==>\n";
    case PIPE_MODE: return "PIPE_MODE ==>\n";
    default: return nullptr;
    }
}

// The socket session's line read. Unlike net_gets it keeps a line whose
// bytes arrive slowly across the idle time-outs, so that a command is never
// cut there and run in pieces; only an idle stream gives 0.
int session_gets(net_sock *stream, char *buf) {
    size_t len = 0;
    buf[0] = '\0';
    for (;;) {
        int got = 0;
        int c = net_getc(stream, &got);
        if (c < 0) return -1;
        if (!got) {
            if (len == 0) return 0;
            continue;
        }
        if (c == '\0' || c == '\n') {
            buf[len] = '\0';
            return len > 0 ? static_cast<int>(len) : 1;
        }
        if (c == '\r') continue;
        buf[len++] = static_cast<char>(c);
        if (len >= LIBSH_LINE_SIZE - 1) {
            buf[LIBSH_LINE_SIZE - 1] = '\0';
            return -1;
        }
    }
}

// One command into buf (LIBSH_LINE_SIZE bytes): its length, 0 for nothing, -1 when the stream ended.
int read_command(shell_ctx *ctx, char *buf) {
    auto *stream = static_cast<net_sock *>(ctx->out);
    if (ctx->mode == NET_MODE) return session_gets(stream, buf);
    if (ctx->mode != STDIO_MODE) return net_gets(stream, buf);
    if (debug_shell_cmd_string()) return debug_shell_cmd_piece(buf, LIBSH_LINE_SIZE);
    return debug_shell_stdin_gets(buf, LIBSH_LINE_SIZE);
}

}  // namespace

int dbgout_write_imp(net_sock *stream, const char *text) {
    size_t len = std::strlen(text);
    size_t line_feeds = 0;
    for (const char *p = text; *p; ++p) line_feeds += *p == '\n';
    auto *out = static_cast<char *>(mem_malloc(len + line_feeds + 1));
    if (!out) {
        LOGD("str_relace return failed\n");
        return -1;
    }
    size_t used = 0;
    for (const char *p = text; *p; ++p) {
        if (*p == '\n') out[used++] = '\r';
        out[used++] = *p;
    }
    while (used > 0 && is_trailing_blank(static_cast<unsigned char>(out[used - 1]))) --used;
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
    if (is_socket_kind(stream) && os_socket_peer_gone(stream->sock)) {
        stream->disconnected = 1;
        return 1;
    }
    return 0;
}

int dbgsh_srv_imp(shell_ctx *ctx) {
    const char *entry = mode_text(ctx->mode);
    if (!entry) return -1;
    LOGV("%s", entry);
    auto *stream = static_cast<net_sock *>(ctx->out);
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
            net_close(stream);
            return 0;
        }
        if (len == 0) continue;
        // Queued requests never make the read wait, where the stop is noticed;
        // a stopping server must not run them all first.
        if (stop_requested(stream)) {
            LOGD("stop requested break\n");
            net_close(stream);
            return 0;
        }
        libsh_exec_line(ctx, str_trim(buf));
        if (ctx->exit_flag) {
            LOGD("ctx.exit_flag break\n");
            net_close(stream);
            return 0;
        }
    }
}
