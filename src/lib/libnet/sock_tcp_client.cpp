// TCP client: tuned sockets and a connect bounded by time and a stop hook.
#define LOG_TAG "net"
#include "libnet/sock_tcp_client.h"

#include <cerrno>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

bool stop_requested(const sock_cli_conf *conf) {
    sock_stop_hook *hook = conf ? conf->stop : nullptr;
    if (!hook) return false;
    if (hook->stop.load(std::memory_order_relaxed)) return true;
    return hook->func && hook->func(hook->user, conf->connect_timeout);
}

int connect_failed(const os_ipaddr *addr, verr *err) {
    int code = errno;
    char text[OS_IPADDR_CSTR_MAXN];
    if (!os_ipaddr_cstr(addr, text, sizeof text)) text[0] = '\0';
    verr_set_os(err, code, "connect %s ", text);
    return -1;
}

}  // namespace

os_socket sock_tcp_init(int family, uint32_t buf_size, verr *err) {
    os_socket sock = os_socket_init(OS_SOCKET_TCP, family);
    if (sock == OS_SOCKET_NONE) {
        verr_set_os(err, errno, "os_socket_init error: ");
        return OS_SOCKET_NONE;
    }
    if (buf_size) {
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, buf_size))
            LOGW("OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", static_cast<int>(buf_size));
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, buf_size))
            LOGW("OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", static_cast<int>(buf_size));
    }
    if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        LOGW("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    return sock;
}

int sock_connect_imp(os_socket sock, const os_ipaddr *addr, const sock_cli_conf *conf,
                     verr *err) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE && addr && conf, -1);
    uint64_t start = os_clock_ms();
    for (;;) {
        int state = os_socket_connect(sock, addr);
        if (state == 1) return 0;
        if (state < 0) return connect_failed(addr, err);
        for (;;) {
            if (os_clock_ms() - start >= conf->connect_timeout) {
                char text[OS_IPADDR_CSTR_MAXN];
                if (!os_ipaddr_cstr(addr, text, sizeof text)) text[0] = '\0';
                verr_set(err, -1, "connect %s timeout", text);
                return -1;
            }
            if (stop_requested(conf)) {
                verr_set(err, -1, "User request stop");
                return -1;
            }
            int ready = os_socket_wait_impl(sock, OS_SOCKET_WAIT_WRITE, SOCK_CONNECT_STEP_MS);
            // A refused or unreachable connect shows up here as the socket's pending error.
            if (ready < 0) return connect_failed(addr, err);
            if (ready & OS_SOCKET_WAIT_WRITE) break;
        }
    }
}

os_socket sock_tcp_connect(const char *host, int port, sock_cli_conf *conf, verr *err) {
    PAL_ASSERT_RET(host && conf, OS_SOCKET_NONE);
    if (conf->proxy.type != SOCK_PROXY_NONE) return proxy_tcp_connect(host, port, conf, err);
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    if (!os_addrinfo_addr(host, &addr)) {
        verr_set(err, -2, "addrinfo_addr %s failed", host);
        return OS_SOCKET_NONE;
    }
    os_ipaddr_port_set(&addr, static_cast<uint16_t>(port));
    os_socket sock = sock_tcp_init(os_ipaddr_family(&addr), conf->buf_size, err);
    if (sock == OS_SOCKET_NONE) return OS_SOCKET_NONE;
    int result;
    if (conf->no_wait) {
        result = os_socket_connect(sock, &addr) >= 0 ? 0 : connect_failed(&addr, err);
    } else {
        result = sock_connect_imp(sock, &addr, conf, err);
    }
    if (result != 0) {
        os_socket_exit(sock);
        return OS_SOCKET_NONE;
    }
    return sock;
}
