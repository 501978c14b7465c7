// TCP client: resolve, create a tuned socket, connect with a time limit and a
// stop check, or go through an outgoing proxy. Failures come back in a verr
// report: -1 time-out or user stop, -2 name resolution, else the OS error code.
#pragma once

#include <cstdint>

#include "libnet/net_sock.h"
#include "libpal/basic/verr.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_socket.h"

// Proxy types.
constexpr int32_t SOCK_PROXY_NONE = 0;
constexpr int32_t SOCK_PROXY_HTTP = 1;
constexpr int32_t SOCK_PROXY_SOCKS4 = 2;
constexpr int32_t SOCK_PROXY_SOCKS5 = 3;

// Outgoing proxy settings of a client.
struct sock_proxy_conf {
    int32_t type;  // SOCK_PROXY_*
    char host[1024];
    int32_t port;
    char user[4096];  // empty: no authentication
    char pwd[4096];
};

struct sock_cli_conf {
    uint32_t connect_timeout;  // ms
    uint32_t buf_size;         // non-zero: receive and send buffer size
    uint8_t no_wait;           // only start the connect
    sock_proxy_conf proxy;     // type other than 0: every connect goes through it
    sock_stop_hook *stop;      // may be null
};

// Connect step of the loop that waits for a connect in progress.
constexpr int SOCK_CONNECT_STEP_MS = 200;

// Stream TCP socket of family with no-delay (and buffer sizes); 0 on failure.
os_socket sock_tcp_init(int family, uint32_t buf_size, verr *err);
// Connects the non-blocking socket: 0 connected, -1 failed (report filled).
int sock_connect_imp(os_socket sock, const os_ipaddr *addr, const sock_cli_conf *conf,
                     verr *err);
// Connected socket to host:port, or 0 (no socket left behind).
os_socket sock_tcp_connect(const char *host, int port, sock_cli_conf *conf, verr *err);

// The proxy path (outgoing proxies); a connected, tunnelled socket or 0.
os_socket proxy_tcp_connect(const char *host, int port, sock_cli_conf *conf, verr *err);
