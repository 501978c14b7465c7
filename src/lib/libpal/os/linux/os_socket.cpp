// POSIX sockets behind the os_socket operations. Every socket made here is
// non-blocking and close-on-exec; handles are the descriptor plus one.
#define LOG_TAG "pal"

#include "libpal/os/os_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_time.h"

namespace {

constexpr int kInvalidSocket = -1;

int native_family(int family) {
    switch (family) {
    case OS_IPADDR_FAMILY_IPV4: return AF_INET;
    case OS_IPADDR_FAMILY_IPV6: return AF_INET6;
    case OS_IPADDR_FAMILY_UNIX: return AF_UNIX;
    default: return -1;
    }
}

int native_kind(int type) {
    switch (type >> 8) {
    case 1: return SOCK_STREAM;
    case 2: return SOCK_DGRAM;
    case 3: return SOCK_RAW;
    default: return -1;
    }
}

int native_protocol(int type, int family) {
    if (family == OS_IPADDR_FAMILY_UNIX) return 0;
    switch (type & 0xFF) {
    case 0: return 0;
    case 1: return IPPROTO_TCP;
    case 2: return IPPROTO_UDP;
    case 3: return family == OS_IPADDR_FAMILY_IPV6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    default: return -1;
    }
}

bool set_nonblocking(int fd, bool nonblocking) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    const int wanted = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

bool get_int_option(int fd, int level, int name, int *value) {
    socklen_t len = sizeof(*value);
    *value = 0;
    return getsockopt(fd, level, name, value, &len) == 0;
}

bool add_membership(int fd, const char *group_text) {
    PAL_ASSERT_RET(group_text, false);
    os_ipv4addr group{};
    if (!os_ipv4_cstr_set(&group, group_text)) {
        errno = EINVAL;
        return false;
    }
    ip_mreq request{};
    std::memcpy(&request.imr_multiaddr, group.addr, sizeof(group.addr));
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) == 0;
}

void close_keep_errno(int fd) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    errno = saved;
}

// One attempt at the loopback pair; false (fds closed) on failure.
bool make_pair(int fds[2]) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    PAL_CHECK_RET(listener != kInvalidSocket, "listener != INVALID_SOCKET", false);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    set_int_option(listener, SOL_SOCKET, SO_REUSEADDR, 1);
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        listen(listener, 1) != 0) {
        close_keep_errno(listener);
        return false;
    }
    const int sock1 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock1 == kInvalidSocket) {
        close_keep_errno(listener);
        PAL_CHECK_RET(false, "sock1 != INVALID_SOCKET", false);
    }
    if (connect(sock1, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close_keep_errno(sock1);
        close_keep_errno(listener);
        return false;
    }
    sockaddr_in own{};
    socklen_t own_len = sizeof(own);
    getsockname(sock1, reinterpret_cast<sockaddr *>(&own), &own_len);
    int sock2 = kInvalidSocket;
    // Another local process may have raced us to the listener: take only our own peer.
    for (int tries = 0; tries < 4; tries++) {
        sockaddr_in peer{};
        socklen_t peer_len = sizeof(peer);
        const int accepted = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peer_len,
                                     SOCK_CLOEXEC);
        if (accepted == kInvalidSocket) break;
        if (peer.sin_port == own.sin_port && peer.sin_addr.s_addr == own.sin_addr.s_addr) {
            sock2 = accepted;
            break;
        }
        close(accepted);
    }
    close_keep_errno(listener);
    if (sock2 == kInvalidSocket) {
        close_keep_errno(sock1);
        PAL_CHECK_RET(false, "sock2 != INVALID_SOCKET", false);
    }
    if (!set_nonblocking(sock1, true) || !set_nonblocking(sock2, true)) {
        close_keep_errno(sock1);
        close_keep_errno(sock2);
        return false;
    }
    set_int_option(sock1, IPPROTO_TCP, TCP_NODELAY, 1);
    set_int_option(sock2, IPPROTO_TCP, TCP_NODELAY, 1);
    fds[0] = sock1;
    fds[1] = sock2;
    return true;
}

}  // namespace

bool os_socket_init_env() {
    // A peer that closes while we write must give EPIPE, not end the process.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void os_socket_exit_env() {}

os_socket os_socket_init(int type, int family) {
    const int t = native_kind(type);
    const int p = native_protocol(type, family);
    const int domain = native_family(family);
    PAL_ASSERT_RET(t >= 0 && p >= 0, OS_SOCKET_NONE);
    PAL_ASSERT_RET(domain >= 0, OS_SOCKET_NONE);
    const int fd = socket(domain, t | SOCK_NONBLOCK | SOCK_CLOEXEC, p);
    PAL_ASSERT_RET(fd >= 0 && fd != kInvalidSocket, OS_SOCKET_NONE);
    return os_socket_from_fd(fd);
}

bool os_socket_exit(os_socket sock) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, false);
    if (close(os_socket_fd(sock)) != 0) {
        LOGD("close: %p failed, errno: %d\n", reinterpret_cast<void *>(sock), errno);
        return false;
    }
    return true;
}

bool os_socket_bind(os_socket sock, const os_ipaddr *addr) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && addr, false);
    const int fd = os_socket_fd(sock);
    const int family = os_ipaddr_family(addr);
    if (family == OS_IPADDR_FAMILY_IPV4 || family == OS_IPADDR_FAMILY_IPV6) {
        if (!set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1)) LOGW("reuseaddr: failed\n");
    }
    sockaddr_storage ss{};
    const int len = os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), addr);
    if (len <= 0) {
        errno = EAFNOSUPPORT;
        return false;
    }
    return bind(fd, reinterpret_cast<sockaddr *>(&ss), static_cast<socklen_t>(len)) == 0;
}

bool os_socket_listen(os_socket sock, int backlog) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, false);
    // Accepted TCP connections inherit TCP_NODELAY from their listener: set
    // once here, it costs no call per connection. Not a TCP socket: refused, and no matter.
    set_int_option(os_socket_fd(sock), IPPROTO_TCP, TCP_NODELAY, 1);
    return listen(os_socket_fd(sock), backlog) == 0;
}

os_socket os_socket_accept(os_socket sock, os_ipaddr *peer) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, OS_SOCKET_NONE);
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    int fd;
    do {
        fd = accept4(os_socket_fd(sock), reinterpret_cast<sockaddr *>(&ss), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return OS_SOCKET_NONE;
    if (peer && os_sockaddr_save(peer, reinterpret_cast<sockaddr *>(&ss), len) == 0) {
        os_ipaddr_clear(peer);
    }
    return os_socket_from_fd(fd);
}

int os_socket_connect(os_socket sock, const os_ipaddr *addr) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && addr, -1);
    PAL_ASSERT_RET(!os_ipaddr_is_empty(addr), -1);
    sockaddr_storage ss{};
    const int len = os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), addr);
    if (len <= 0) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    int r;
    do {
        r = connect(os_socket_fd(sock), reinterpret_cast<sockaddr *>(&ss),
                    static_cast<socklen_t>(len));
    } while (r != 0 && errno == EINTR);
    if (r == 0) return 1;
    switch (errno) {
    case EISCONN: return 1;
    case EINPROGRESS:
    case EALREADY:
    case EAGAIN: return 0;
    default: return -1;
    }
}

bool os_socket_local(os_socket sock, os_ipaddr *addr) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && addr, false);
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getsockname(os_socket_fd(sock), reinterpret_cast<sockaddr *>(&ss), &len) != 0) return false;
    return os_sockaddr_save(addr, reinterpret_cast<sockaddr *>(&ss), len) != 0;
}

bool os_socket_peer(os_socket sock, os_ipaddr *addr) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && addr, false);
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getpeername(os_socket_fd(sock), reinterpret_cast<sockaddr *>(&ss), &len) != 0) return false;
    return os_sockaddr_save(addr, reinterpret_cast<sockaddr *>(&ss), len) != 0;
}

int os_socket_recv(os_socket sock, void *data, size_t len) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && data, -1);
    if (len == 0) return 0;
    if (len > INT_MAX) len = INT_MAX;
    ssize_t n;
    do {
        n = recv(os_socket_fd(sock), data, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

int os_socket_recv_ex(os_socket sock, void *data, size_t len) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && data && len > 0, -1);
    if (len > INT_MAX) len = INT_MAX;
    ssize_t n;
    do {
        n = recv(os_socket_fd(sock), data, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return OS_SOCKET_RECV_CLOSED;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

int os_socket_recv_wait(os_socket sock, void *data, size_t len) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && data && len > 0, -1);
    if (len > INT_MAX) len = INT_MAX;
    ssize_t n;
    do {
        n = recv(os_socket_fd(sock), data, len, 0);
    } while (n < 0 && errno == EINTR);
    return n >= 0 ? static_cast<int>(n) : -1;
}

bool os_socket_shutdown_read(os_socket sock) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, false);
    return shutdown(os_socket_fd(sock), SHUT_RD) == 0;
}

os_socket os_socket_dup(os_socket sock) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, OS_SOCKET_NONE);
    int fd = fcntl(os_socket_fd(sock), F_DUPFD_CLOEXEC, 0);
    return fd >= 0 ? os_socket_from_fd(fd) : OS_SOCKET_NONE;
}

int os_socket_send(os_socket sock, const void *data, size_t len) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && data, -1);
    if (len == 0) return 0;
    if (len > INT_MAX) len = INT_MAX;
    ssize_t n;
    do {
        n = send(os_socket_fd(sock), data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

bool os_socket_ctrl(os_socket sock, unsigned long code, uintptr_t arg) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, false);
    const int fd = os_socket_fd(sock);
    const int value = static_cast<int>(arg);
    switch (code) {
    case OS_SOCKET_CTRL_SET_BLOCKING:
        return set_nonblocking(fd, arg == 0);
    case 1:
        LOGW("noimpl\n");
        return false;
    case OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE:
        return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, value);
    case OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE:
    case OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE: {
        auto *pbuff_size = reinterpret_cast<uint64_t *>(arg);
        PAL_ASSERT_RET(pbuff_size, false);
        int size = 0;
        const int name = code == OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE ? SO_RCVBUF : SO_SNDBUF;
        if (!get_int_option(fd, SOL_SOCKET, name, &size)) return false;
        *pbuff_size = static_cast<uint64_t>(size);
        return true;
    }
    case OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE:
        return set_int_option(fd, SOL_SOCKET, SO_SNDBUF, value);
    case OS_SOCKET_CTRL_SET_TCP_NODELAY:
        return set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, arg != 0 ? 1 : 0);
    case OS_SOCKET_CTRL_GET_TCP_NODELAY: {
        auto *penable = reinterpret_cast<uint8_t *>(arg);
        PAL_ASSERT_RET(penable, false);
        int enabled = 0;
        if (!get_int_option(fd, IPPROTO_TCP, TCP_NODELAY, &enabled)) return false;
        *penable = enabled != 0 ? 1 : 0;
        return true;
    }
    case OS_SOCKET_CTRL_SET_KEEPALIVE_INTVL:
        return set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, value);
    case OS_SOCKET_CTRL_SET_KEEPALIVE:
        return set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, (arg & 0xFF) != 0 ? 1 : 0);
    case 10:
        return true;
    case OS_SOCKET_CTRL_SET_KEEPALIVE_IDLE:
        return set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, value);
    case OS_SOCKET_CTRL_SET_KEEPALIVE_CNT:
        return set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, value);
    case OS_SOCKET_CTRL_ADD_MEMBERSHIP:
        return add_membership(fd, reinterpret_cast<const char *>(arg));
    case OS_SOCKET_CTRL_SET_RESET_ON_CLOSE: {
        struct linger lg{};
        lg.l_onoff = arg != 0 ? 1 : 0;
        return setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0;
    }
    case OS_SOCKET_CTRL_SET_DEFER_ACCEPT:
        return set_int_option(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, value);
    default:
        LOGE("unknown socket ctrl: %lu\n", code);
        return false;
    }
}

bool os_socket_pair(os_socket pair[2]) {
    PAL_ASSERT_RET(pair, false);
    int fds[2] = {kInvalidSocket, kInvalidSocket};
    if (!make_pair(fds)) return false;
    pair[0] = os_socket_from_fd(fds[0]);
    pair[1] = os_socket_from_fd(fds[1]);
    return true;
}

int os_socket_error(os_socket sock) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, -1);
    int error = 0;
    if (!get_int_option(os_socket_fd(sock), SOL_SOCKET, SO_ERROR, &error)) return -1;
    return error;
}

bool os_socket_peer_gone(os_socket sock) {
    if (sock == OS_SOCKET_NONE) return true;
    pollfd pfd{os_socket_fd(sock), POLLRDHUP, 0};
    if (poll(&pfd, 1, 0) <= 0) return false;
    return (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool os_socket_peer_closed_empty(os_socket sock) {
    if (sock == OS_SOCKET_NONE) return false;
    char byte;
    return recv(os_socket_fd(sock), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

int os_socket_wait_wake(os_socket sock, int flags, os_socket wake, int ms) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, -1);
    pollfd fds[2] = {};
    pollfd &pfd = fds[0];
    pfd.fd = os_socket_fd(sock);
    if (flags & OS_SOCKET_WAIT_READ) pfd.events |= POLLIN;
    if (flags & OS_SOCKET_WAIT_WRITE) pfd.events |= POLLOUT;
    nfds_t count = 1;
    if (wake != OS_SOCKET_NONE) {
        fds[1].fd = os_socket_fd(wake);
        fds[1].events = POLLIN;
        count = 2;
    }
    const uint64_t start = os_clock_ms();
    int r;
    for (;;) {
        int timeout = ms < 0 ? -1 : ms;
        if (ms > 0) {
            const uint64_t spent = os_clock_ms() - start;
            timeout = spent >= static_cast<uint64_t>(ms) ? 0 : ms - static_cast<int>(spent);
        }
        r = poll(fds, count, timeout);
        if (r >= 0 || errno != EINTR) break;
    }
    PAL_ASSERT_RET(r >= 0, -1);
    if (r == 0) return 0;
    const int woken = count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) ? OS_SOCKET_WAIT_WAKE : 0;
    if (pfd.revents == 0) return woken;
    if (pfd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    // A pending error always shows as POLLERR; only then is it worth a system call.
    const int error = (pfd.revents & POLLERR) ? os_socket_error(sock) : 0;
    if (error != 0) {
        if (error > 0) errno = error;
        return -1;
    }
    // Like a set-based wait, a hang-up or error counts as ready for what was asked.
    int ready = 0;
    if ((flags & OS_SOCKET_WAIT_READ) && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) {
        ready |= OS_SOCKET_WAIT_READ;
    }
    if ((flags & OS_SOCKET_WAIT_WRITE) && (pfd.revents & (POLLOUT | POLLHUP | POLLERR))) {
        ready |= OS_SOCKET_WAIT_WRITE;
    }
    return ready | woken;
}

int os_socket_wait_impl(os_socket sock, int flags, int ms) {
    return os_socket_wait_wake(sock, flags, OS_SOCKET_NONE, ms);
}

os_socket os_udp_open(const char *host, uint16_t port) {
    PAL_ASSERT_RET(host, OS_SOCKET_NONE);
    char port_text[8];
    std::snprintf(port_text, sizeof(port_text), "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *answers = nullptr;
    const int r = getaddrinfo(host, port_text, &hints, &answers);
    if (r != 0 || !answers) {
        if (r == EAI_SYSTEM) {
            LOGE_OS("failed to resolve name %s port %s error: ", host, port_text);
        } else {
            LOGE("failed to resolve name %s port %s error: %s\n", host, port_text, gai_strerror(r));
        }
        return OS_SOCKET_NONE;
    }
    os_ipaddr addr;
    const bool saved = os_sockaddr_save(&addr, answers->ai_addr, answers->ai_addrlen) != 0;
    freeaddrinfo(answers);
    if (!saved) return OS_SOCKET_NONE;
    const os_socket sock = os_socket_init(OS_SOCKET_UDP, os_ipaddr_family(&addr));
    if (sock == OS_SOCKET_NONE) return OS_SOCKET_NONE;
    if (os_socket_connect(sock, &addr) != 1) {
        const int saved_errno = errno;
        os_socket_exit(sock);
        errno = saved_errno;
        return OS_SOCKET_NONE;
    }
    return sock;
}
