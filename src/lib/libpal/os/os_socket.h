// Thin socket wrapper: every other part of the system touches sockets only
// through these operations. Sockets made here are non-blocking.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/network/os_ipaddr.h"

// Native socket number plus one, so that 0 means no socket.
using os_socket = uintptr_t;
constexpr os_socket OS_SOCKET_NONE = 0;

constexpr int os_socket_fd(os_socket sock) { return static_cast<int>(sock) - 1; }
constexpr os_socket os_socket_from_fd(int fd) {
    return fd < 0 ? OS_SOCKET_NONE : static_cast<os_socket>(fd) + 1;
}

// Socket type: high byte the kind, low byte the protocol.
constexpr int OS_SOCKET_KIND_STREAM = 0x100;
constexpr int OS_SOCKET_KIND_DGRAM = 0x200;
constexpr int OS_SOCKET_KIND_RAW = 0x300;
constexpr int OS_SOCKET_PROTO_TCP = 0x01;
constexpr int OS_SOCKET_PROTO_UDP = 0x02;
constexpr int OS_SOCKET_PROTO_ICMP = 0x03;  // ICMPv6 on an IPv6 socket
constexpr int OS_SOCKET_TCP = OS_SOCKET_KIND_STREAM | OS_SOCKET_PROTO_TCP;    // 0x101
constexpr int OS_SOCKET_UDP = OS_SOCKET_KIND_DGRAM | OS_SOCKET_PROTO_UDP;     // 0x202
constexpr int OS_SOCKET_ICMP = OS_SOCKET_KIND_RAW | OS_SOCKET_PROTO_ICMP;     // 0x303
constexpr int OS_SOCKET_LOCAL_STREAM = OS_SOCKET_KIND_STREAM;                 // 0x100, family 3

// os_socket_ctrl codes; the argument is an integer unless said otherwise.
enum : unsigned long {
    OS_SOCKET_CTRL_SET_BLOCKING = 0,         // true: blocking
    // 1: not implemented, returns false
    OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 2,   // bytes
    OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE = 3,   // argument: uint64_t * (pbuff_size)
    OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 4,
    OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE = 5,   // argument: uint64_t *
    OS_SOCKET_CTRL_SET_TCP_NODELAY = 6,      // non-zero: no coalescing of small segments
    OS_SOCKET_CTRL_GET_TCP_NODELAY = 7,      // argument: uint8_t * (penable)
    OS_SOCKET_CTRL_SET_KEEPALIVE_INTVL = 8,  // seconds between probes
    OS_SOCKET_CTRL_SET_KEEPALIVE = 9,        // on / off
    // 10: accepted, does nothing, returns true
    OS_SOCKET_CTRL_SET_KEEPALIVE_IDLE = 11,  // idle seconds before the first probe
    OS_SOCKET_CTRL_SET_KEEPALIVE_CNT = 12,   // unanswered probes before the drop
    OS_SOCKET_CTRL_ADD_MEMBERSHIP = 13,      // argument: const char * dotted IPv4 group
    OS_SOCKET_CTRL_SET_RESET_ON_CLOSE = 14,  // non-zero: the close sends a reset, no orderly end
    OS_SOCKET_CTRL_SET_DEFER_ACCEPT = 15,    // listener: accept once data came, or after about these seconds
};

// os_socket_wait_impl flags and results.
constexpr int OS_SOCKET_WAIT_READ = 1;
constexpr int OS_SOCKET_WAIT_WRITE = 2;
constexpr int OS_SOCKET_WAIT_WAKE = 4;  // result of os_socket_wait_wake only

// Starts the socket layer: ignores SIGPIPE; returns true.
bool os_socket_init_env();
void os_socket_exit_env();

// New non-blocking socket of type (OS_SOCKET_TCP ...) and address family
// (OS_IPADDR_FAMILY_*); 0 on failure (errno kept).
os_socket os_socket_init(int type, int family);
// Closes; true on success.
bool os_socket_exit(os_socket sock);

// IP families enable address reuse first. true on success.
bool os_socket_bind(os_socket sock, const os_ipaddr *addr);
bool os_socket_listen(os_socket sock, int backlog);
// One connection, non-blocking with TCP no-delay; peer may be null. 0 when none.
os_socket os_socket_accept(os_socket sock, os_ipaddr *peer);
// 1 connected, 0 in progress, -1 failure (errno kept).
int os_socket_connect(os_socket sock, const os_ipaddr *addr);
// Own / peer address; true on success.
bool os_socket_local(os_socket sock, os_ipaddr *addr);
bool os_socket_peer(os_socket sock, os_ipaddr *addr);

// Bytes moved; 0 when the call would block (recv: also when the peer closed),
// -1 on error (errno kept). A length of 0 returns 0. send never raises SIGPIPE.
// Neither ever waits, whatever the socket's blocking mode.
int os_socket_recv(os_socket sock, void *data, size_t len);
int os_socket_send(os_socket sock, const void *data, size_t len);
// The receive for event-driven readers, which must tell the three outcomes
// apart: bytes read (> 0), 0 when nothing is there now, OS_SOCKET_RECV_CLOSED
// when the peer has closed (end of stream), -1 on error (errno kept). Never
// waits. A length of 0 is a bad call (-1).
constexpr int OS_SOCKET_RECV_CLOSED = -2;
int os_socket_recv_ex(os_socket sock, void *data, size_t len);
// A receive that sleeps until bytes arrive, the peer closes, or the socket is
// shut down for reading (from any thread, see os_socket_shutdown_read): bytes
// read, 0 at the end of the input, -1 on error (errno kept; EAGAIN when the
// socket is not in blocking mode).
int os_socket_recv_wait(os_socket sock, void *data, size_t len);
// Ends the socket's input: a receive asleep on it, now or later, returns 0.
// Output still goes out. True on success.
bool os_socket_shutdown_read(os_socket sock);
// A second descriptor for the same socket (close-on-exec), or OS_SOCKET_NONE.
// The blocking mode is shared; the socket ends when both are closed.
os_socket os_socket_dup(os_socket sock);

// The control table; true on success.
bool os_socket_ctrl(os_socket sock, unsigned long code, uintptr_t arg);

// Two connected loopback stream sockets for waking a waiting thread; true on success.
bool os_socket_pair(os_socket pair[2]);

// Waits for OS_SOCKET_WAIT_READ and/or _WRITE; ms < 0 no limit, 0 one poll.
// 0 on time-out, -1 when the wait fails or the socket has a pending error,
// else the ready flags (1, 2 or 3).
int os_socket_wait_impl(os_socket sock, int flags, int ms);
// The same, but also ends when wake turns readable: OS_SOCKET_WAIT_WAKE is
// then among the result flags. Lets a thread sleep without a limit and still
// be woken by another one.
int os_socket_wait_wake(os_socket sock, int flags, os_socket wake, int ms);
// The socket's pending error (SO_ERROR, cleared by reading); -1 when it cannot be read.
int os_socket_error(os_socket sock);
// True when the peer has closed or reset the connection; never waits.
bool os_socket_peer_gone(os_socket sock);
// True when the peer has closed and nothing it sent is left to read; never waits.
bool os_socket_peer_closed_empty(os_socket sock);

// Resolves host (datagram) and connects a UDP socket to host:port; 0 on
// failure, logged "failed to resolve name %s port %s error: " when unresolved.
os_socket os_udp_open(const char *host, uint16_t port);
