// The stream layer's kinds: dispatch of reads and writes, the memory buffer,
// line reads and closing.
#define LOG_TAG "net"
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libnet/net_sock.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_error.h"
#include "libpal/os/os_pipe.h"
#include "libpal/os/os_serial.h"
#include "liblog/log2.h"

net_sock_io_proc g_ssl_read_proc = nullptr;
net_sock_io_proc g_ssl_write_proc = nullptr;

namespace {

bool is_socket_kind(int32_t kind) {
    return kind == NET_SOCK_KIND_SOCKET || kind == NET_SOCK_KIND_SOCKET1;
}

void reset(net_sock *ns, int32_t kind, uint32_t timeout) {
    ns->kind = kind;
    ns->sock = OS_SOCKET_NONE;
    ns->tls = 0;
    ns->timeout = timeout;
    ns->abort.store(0, std::memory_order_relaxed);
    ns->stop = nullptr;
    ns->tls_read = nullptr;
    ns->tls_write = nullptr;
    ns->disconnected = 0;
}

int npipe_read(net_sock *ns, void *buf, size_t len) {
    os_name_pipe_srv *pipe = ns->pipe;
    if (!pipe || pipe->closed.load(std::memory_order_relaxed)) return -1;
    int n = os_name_pipe_srv_read(pipe, buf, len, ns->timeout);
    if (n < 0) {
        LOGV_OS("os_name_pipe_srv_read error: ");
        return 0;
    }
    return n;
}

int serial_read(net_sock *ns, void *buf, size_t len) {
    uint32_t total_ms = 0;
    if (!os_serial_timeout_get(ns->serial, &total_ms)) {
        LOG2_AT(LOG_ERR | LOG_F_APPEND_OSERR, "GetCommTimeouts error: ");
        return -1;
    }
    if (total_ms != ns->timeout && !os_serial_timeout_set(ns->serial, ns->timeout)) {
        LOG2_AT(LOG_ERR | LOG_F_APPEND_OSERR, "GetCommTimeouts error: ");
        return -1;
    }
    return os_serial_read(ns->serial, buf, len);
}

int mem_read(net_mem_buf *mem, void *buf, size_t len) {
    mem->written = 0;
    size_t left = mem->len - mem->rpos;
    size_t n = len < left ? len : left;
    if (n > 0) memcpy(buf, mem->data + mem->rpos, n);
    mem->rpos += n;
    return static_cast<int>(n);
}

int mem_write(net_mem_buf *mem, const void *buf, size_t len) {
    // A reader has taken from the buffer: what follows is a new message.
    if (mem->rpos != 0) {
        mem->len = 0;
        mem->rpos = 0;
    }
    size_t needed = mem->len + len + 1;
    if (mem->cap < needed) {
        size_t cap = needed * 2;
        auto *data = static_cast<uint8_t *>(mem_realloc(mem->data, cap));
        if (!data) return -1;
        mem->data = data;
        mem->cap = cap;
    }
    if (len > 0) memcpy(mem->data + mem->len, buf, len);
    mem->len += len;
    mem->data[mem->len] = '\0';
    mem->written += len;
    return static_cast<int>(len);
}

net_sock_io_proc tls_proc(net_sock_io_proc own, net_sock_io_proc global) {
    return own ? own : global;
}

// Line reader of net_gets and net_gets_nul: LF or NUL (NUL only when
// nul_only) ends the line; CRs are dropped.
int gets_imp(net_sock *ns, char *buf, size_t maxn, bool nul_only) {
    PAL_ASSERT_RET(ns && buf, -1);
    if (ns->kind == NET_SOCK_KIND_PIPE) {
        os_name_pipe_srv *pipe = ns->pipe;
        if (!pipe || pipe->closed.load(std::memory_order_relaxed)) return -1;
        if (pipe->need_connect.load(std::memory_order_relaxed) &&
            !os_name_pipe_srv_connect(pipe, ns->timeout))
            return 0;
    }
    size_t len = 0;
    buf[0] = '\0';
    for (;;) {
        int got = 0;
        int c = net_getc(ns, &got);
        if (c < 0) return -1;
        if (!got) {
            // Time ran out inside a line: hand back what came rather than lose it.
            buf[len] = '\0';
            return static_cast<int>(len);
        }
        if (c == '\0' || (c == '\n' && !nul_only)) {
            buf[len] = '\0';
            return len > 0 ? static_cast<int>(len) : 1;
        }
        if (c == '\r') continue;
        buf[len++] = static_cast<char>(c);
        if (len >= maxn - 1) {
            buf[maxn - 1] = '\0';
            return -1;
        }
    }
}

}  // namespace

void net_sock_init_socket(net_sock *ns, os_socket sock, uint32_t timeout) {
    PAL_ASSERT_RET(ns, );
    reset(ns, NET_SOCK_KIND_SOCKET, timeout);
    ns->sock = sock;
}

void net_sock_init_console(net_sock *ns) {
    PAL_ASSERT_RET(ns, );
    reset(ns, NET_SOCK_KIND_CONSOLE, 0);
}

void net_sock_init_pipe(net_sock *ns, os_name_pipe_srv *pipe, uint32_t timeout) {
    PAL_ASSERT_RET(ns, );
    reset(ns, NET_SOCK_KIND_PIPE, timeout);
    ns->pipe = pipe;
}

void net_sock_init_serial(net_sock *ns, os_serial *serial, uint32_t timeout) {
    PAL_ASSERT_RET(ns, );
    reset(ns, NET_SOCK_KIND_SERIAL, timeout);
    ns->serial = serial;
}

int net_sock_init_memory(net_sock *ns) {
    PAL_ASSERT_RET(ns, -1);
    reset(ns, NET_SOCK_KIND_CLOSED, 0);
    auto *mem = static_cast<net_mem_buf *>(mem_calloc(sizeof(net_mem_buf)));
    if (!mem) return -1;
    ns->kind = NET_SOCK_KIND_MEMORY;
    ns->mem = mem;
    return 0;
}

const char *net_sock_mem_data(const net_sock *ns, size_t *len) {
    PAL_ASSERT_RET(ns, nullptr);
    if (ns->kind != NET_SOCK_KIND_MEMORY || !ns->mem) return nullptr;
    const net_mem_buf *mem = ns->mem;
    if (len) *len = mem->len - mem->rpos;
    if (!mem->data) return "";
    return reinterpret_cast<const char *>(mem->data + mem->rpos);
}

int net_read(net_sock *ns, void *buf, size_t len) {
    PAL_ASSERT_RET(ns && (buf || len == 0), -1);
    switch (ns->kind) {
    case NET_SOCK_KIND_CONSOLE:
        return net_sock_read(ns, buf, len);
    case NET_SOCK_KIND_PIPE:
        return npipe_read(ns, buf, len);
    case NET_SOCK_KIND_SERIAL:
        if (!ns->serial) return -1;
        return serial_read(ns, buf, len);
    case NET_SOCK_KIND_MEMORY:
        if (!ns->mem) return -1;
        return mem_read(ns->mem, buf, len);
    case NET_SOCK_KIND_SOCKET:
    case NET_SOCK_KIND_SOCKET1:
        if (ns->tls) {
            net_sock_io_proc proc = tls_proc(ns->tls_read, g_ssl_read_proc);
            PAL_CHECK_RET(proc, "g_ssl_read_proc!=NULL", -1);
            return proc(ns, buf, len);
        }
        return net_sock_read(ns, buf, len);
    default:
        return -1;
    }
}

int net_write(net_sock *ns, const void *buf, size_t len) {
    PAL_ASSERT_RET(ns && (buf || len == 0), -1);
    switch (ns->kind) {
    case NET_SOCK_KIND_CONSOLE:
        return net_sock_write(ns, buf, len);
    case NET_SOCK_KIND_PIPE:
        if (!ns->pipe) return -1;
        return os_name_pipe_srv_write(ns->pipe, buf, len);
    case NET_SOCK_KIND_SERIAL:
        if (!ns->serial) return -1;
        return os_serial_write(ns->serial, buf, len);
    case NET_SOCK_KIND_MEMORY:
        if (!ns->mem) return -1;
        return mem_write(ns->mem, buf, len);
    case NET_SOCK_KIND_SOCKET:
    case NET_SOCK_KIND_SOCKET1:
        if (ns->tls) {
            // The write procedure does not change the bytes; the cast only fits the shared type.
            net_sock_io_proc proc = tls_proc(ns->tls_write, g_ssl_write_proc);
            PAL_CHECK_RET(proc, "g_ssl_write_proc!=NULL", -1);
            return proc(ns, const_cast<void *>(buf), len);
        }
        return net_sock_write(ns, buf, len);
    default:
        return -1;
    }
}

int net_getc(net_sock *ns, int *got) {
    PAL_ASSERT_RET(ns && got, -1);
    *got = 0;
    uint8_t byte = 0;
    int n = net_read(ns, &byte, 1);
    if (n < 0) return -1;
    if (n == 0) return 0;
    *got = 1;
    return byte;
}

int net_gets(net_sock *ns, char *buf) { return gets_imp(ns, buf, NET_GETS_MAXN, false); }

int net_gets_nul(net_sock *ns, char *buf) { return gets_imp(ns, buf, NET_GETS_NUL_MAXN, true); }

int net_printf(net_sock *ns, const char *fmt, ...) {
    PAL_ASSERT_RET(ns && fmt, -1);
    if (ns->kind < 0) return -1;
    char text[NET_PRINTF_MAXN];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0) return -1;
    size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    return net_write(ns, text, len);
}

int net_close(net_sock *ns) {
    PAL_ASSERT_RET(ns, -1);
    ns->abort.store(0, std::memory_order_relaxed);
    ns->disconnected = 0;
    if (ns->kind < 0 || ns->kind == NET_SOCK_KIND_SERIAL) return -1;
    if (is_socket_kind(ns->kind)) {
        if (ns->sock != OS_SOCKET_NONE) os_socket_exit(ns->sock);
        ns->sock = OS_SOCKET_NONE;
    } else if (ns->kind == NET_SOCK_KIND_MEMORY) {
        if (ns->mem) {
            mem_free(ns->mem->data);
            mem_free(ns->mem);
        }
        ns->mem = nullptr;
    }
    return 0;
}
