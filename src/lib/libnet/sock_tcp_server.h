// TCP servers: listening sockets for a list of local addresses, registered
// with the event loop, which accepts each connection and hands it to the
// server's accept procedure or to a new "<name>_work" thread.
#pragma once

#include <cstdint>

#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_socket.h"
#include "libpal/os/os_thread.h"

// The procedure owns the socket from the call on.
using sock_accept_proc = int (*)(os_socket sock, const os_ipaddr *peer, void *arg);

constexpr int SOCK_SRV_MAX_LISTEN = 32;
constexpr int SOCK_SRV_NAME_MAXN = 128;
// Address list fields this long or longer end the list.
constexpr int SOCK_SRV_FIELD_MAXN = 512;

// Filled by the caller, zero-initialised.
struct sock_srv_conf {
    const char *name;
    uint32_t recv_buf_size;  // 0: system default
    uint32_t send_buf_size;
    int32_t backlog;
    // Non-zero: a connection is accepted once its first bytes came, or after
    // about this many seconds without (for protocols whose client speaks first).
    uint32_t defer_accept_s;
    sock_accept_proc accept_proc;  // may be empty
    // Used without accept procedure: runs on its own thread with the new
    // socket as argument (cast to void *) and owns it.
    os_thread_func work_proc;
    uint32_t bound_port;  // out: the port the system chose when 0 was asked
    uint32_t bind_failed;  // out: addresses of the list that could not be listened on
    int32_t bind_error;    // out: errno of the first of them
    void *arg;            // handed to accept_proc
};

// Handed to the poller as user pointer of each listening socket.
struct sock_srv {
    int32_t type;  // SOCKET_TYPE_SERVER
    char name[SOCK_SRV_NAME_MAXN];
    sock_accept_proc accept_proc;
    os_thread_func work_proc;
    void *arg;
    uint32_t count;
    os_socket socks[SOCK_SRV_MAX_LISTEN];
};

// Listening socket for address text and port, or 0.
os_socket sock_tcp_bind(const char *addr, int port, sock_srv_conf *conf);
// sock_tcp_bind after a port check (a port above 65534 is reported, the bind still tried).
os_socket sock_bind(const char *addr, int port, sock_srv_conf *conf);
// Listeners for every address of the ';' or ',' separated list (null: the
// IPv4 and IPv6 wildcards), registered with the event loop. Port 0 lets the
// system choose one port shared by all listeners. Null when the record
// cannot be allocated or, without a list, the IPv4 wildcard cannot be bound.
sock_srv *sock_server_init_imp(const char *addrs, int port, sock_srv_conf *conf);
// True when an address that was asked for explicitly could not be listened
// on. The loopback default (OS_IPADDR_LOOPBACK_LIST) is the exception: a host
// without IPv6 has no ::1, and one loopback listener serves it.
bool sock_server_missed_configured(const char *addrs, const sock_srv_conf *conf);
// Removes and closes every listener and frees the record; null is ignored.
void sock_tcp_server_exit(sock_srv *srv);

// Loop thread: accepts every waiting connection of one listener.
void sock_server_accept(sock_srv *srv, os_socket listen_sock);
