// Timed socket reads and writes of the stream layer.
#define LOG_TAG "net"
#include "libnet/net_sock.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_error.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

// Longest single wait, so that abort flag and stop hook are seen in time.
constexpr uint32_t READ_STEP_MS = 300;
constexpr uint32_t WRITE_STEP_MS = 500;

bool stop_requested(const net_sock *ns) {
    sock_stop_hook *hook = ns->stop;
    if (!hook) return false;
    if (hook->stop.load(std::memory_order_relaxed)) return true;
    return hook->func && hook->func(hook->user, ns->timeout);
}

// Waits in steps until the socket is ready for `what`, watching the abort
// flag, the stop hook and the total time limit (limit_ms < 0: none). With a
// wake socket on the stop hook one wait covers the whole time.
enum class wait_result { ready, timed_out, stopped, failed };

wait_result wait_ready(net_sock *ns, int what, uint32_t step_limit, uint64_t start, int64_t limit_ms) {
    os_socket wake = ns->stop ? ns->stop->wake : OS_SOCKET_NONE;
    for (;;) {
        if (ns->abort.load(std::memory_order_relaxed)) return wait_result::stopped;
        if (stop_requested(ns)) {
            errno = ECANCELED;
            return wait_result::stopped;
        }
        int64_t left = -1;
        if (limit_ms >= 0) {
            uint64_t spent = os_clock_ms() - start;
            left = spent >= static_cast<uint64_t>(limit_ms) ? 0 : limit_ms - static_cast<int64_t>(spent);
        }
        int step = static_cast<int>(left < 0 ? step_limit : std::min<int64_t>(left, step_limit));
        if (wake != OS_SOCKET_NONE) step = static_cast<int>(std::min<int64_t>(left, INT32_MAX));
        int ready = os_socket_wait_wake(ns->sock, what, wake, step);
        if (ready < 0) {
            int code = errno;
            LOGD("socket_wait error [%d] [%s]\n", code, os_strerror(code));
            return wait_result::failed;
        }
        if (ready & what) return wait_result::ready;
        // Woken without a stop to see: go on in steps rather than spin on it.
        if ((ready & OS_SOCKET_WAIT_WAKE) && !stop_requested(ns)) wake = OS_SOCKET_NONE;
        if (limit_ms >= 0 && os_clock_ms() - start >= static_cast<uint64_t>(limit_ms)) return wait_result::timed_out;
    }
}

// Console reads block; end of input is an error, so that a session on a
// closed standard input ends instead of spinning.
int console_read(void *buf, size_t len) {
    if (len == 0) return 0;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, buf, len);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<int>(n) : -1;
}

int console_write(const void *buf, size_t len) {
    if (len > 0 && fwrite(buf, 1, len, stdout) != len) return -1;
    fflush(stdout);
    return static_cast<int>(len);
}

}  // namespace

int net_sock_read(net_sock *ns, void *buf, size_t len) {
    PAL_ASSERT_RET(ns && (buf || len == 0), -1);
    uint64_t start = os_clock_ms();
    if (ns->kind == NET_SOCK_KIND_CONSOLE) return console_read(buf, len);
    if (ns->disconnected) {
        LOGV("_disconnect!!\n");
        return -1;
    }
    auto *bytes = static_cast<uint8_t *>(buf);
    size_t done = 0;
    bool wait_said_readable = false;
    while (done < len) {
        errno = 0;
        int n = os_socket_recv(ns->sock, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            wait_said_readable = false;
            continue;
        }
        if (n < 0) {
            int code = errno;
            LOGD("socket_recv error [%d] [%s]\n", code, os_strerror(code));
            return -1;
        }
        // Readable, no error, yet nothing to read: the peer has closed.
        if (wait_said_readable && errno == 0) {
            ns->disconnected = 1;
            return static_cast<int>(done);
        }
        wait_result w = wait_ready(ns, OS_SOCKET_WAIT_READ, READ_STEP_MS, start, ns->timeout);
        if (w == wait_result::stopped) return -1;
        // A reset is no time-out: nothing more will come.
        if (w == wait_result::failed) ns->disconnected = 1;
        if (w != wait_result::ready) return static_cast<int>(done);
        wait_said_readable = true;
    }
    return static_cast<int>(done);
}

int net_sock_write(net_sock *ns, const void *buf, size_t len) {
    PAL_ASSERT_RET(ns && (buf || len == 0), -1);
    uint64_t start = os_clock_ms();
    if (ns->kind == NET_SOCK_KIND_CONSOLE) return console_write(buf, len);
    if (ns->disconnected) {
        LOGD("_disconnect!!\n");
        return -1;
    }
    const auto *bytes = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    bool wait_said_writable = false;
    while (done < len) {
        errno = 0;
        int n = os_socket_send(ns->sock, bytes + done, len - done);
        if (n < 0) {
            int code = errno;
            LOGD("socket_send error [%d] [%s]\n", code, os_strerror(code));
            return -1;
        }
        if (n > 0) {
            done += static_cast<size_t>(n);
            wait_said_writable = false;
            continue;
        }
        if (wait_said_writable && errno == 0) {
            ns->disconnected = 1;
            return static_cast<int>(done);
        }
        wait_result w = wait_ready(ns, OS_SOCKET_WAIT_WRITE, WRITE_STEP_MS, start, ns->timeout);
        if (w == wait_result::stopped || w == wait_result::failed) return -1;
        if (w == wait_result::timed_out) return static_cast<int>(done);
        wait_said_writable = true;
    }
    return static_cast<int>(done);
}

int net_sock_read_some(net_sock *ns, void *buf, size_t len, int wait_ms) {
    PAL_ASSERT_RET(ns && buf && len > 0, -1);
    if (ns->kind != NET_SOCK_KIND_SOCKET && ns->kind != NET_SOCK_KIND_SOCKET1) return net_read(ns, buf, 1);
    if (ns->tls) return net_read(ns, buf, 1);
    if (ns->disconnected) {
        LOGV("_disconnect!!\n");
        return -1;
    }
    uint64_t start = os_clock_ms();
    // The caller has taken everything there was, so the wait comes first:
    // a request then costs one wait and one receive.
    wait_result w = wait_ready(ns, OS_SOCKET_WAIT_READ, READ_STEP_MS, start, wait_ms);
    if (w == wait_result::stopped) return -1;
    if (w != wait_result::ready) return 0;
    errno = 0;
    int n = os_socket_recv(ns->sock, buf, len);
    if (n < 0) {
        int code = errno;
        LOGD("socket_recv error [%d] [%s]\n", code, os_strerror(code));
        return -1;
    }
    if (n == 0 && errno == 0) {
        // Readable, no error, nothing to read: the peer has closed.
        ns->disconnected = 1;
        return -1;
    }
    return n;
}

int net_sock_read_wait(net_sock *ns, void *buf, size_t len) {
    PAL_ASSERT_RET(ns && buf && len > 0, -1);
    bool socket = ns->kind == NET_SOCK_KIND_SOCKET || ns->kind == NET_SOCK_KIND_SOCKET1;
    if (!socket || ns->tls) return net_sock_read_some(ns, buf, len, -1);
    if (ns->disconnected || ns->abort.load(std::memory_order_relaxed) || stop_requested(ns)) return -1;
    errno = 0;
    int n = os_socket_recv_wait(ns->sock, buf, len);
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return net_sock_read_some(ns, buf, len, -1);
    if (n < 0) {
        int code = errno;
        LOGD("socket_recv error [%d] [%s]\n", code, os_strerror(code));
    }
    ns->disconnected = 1;
    return -1;
}
