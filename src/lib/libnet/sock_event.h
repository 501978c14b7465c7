// Records the event loop hands to the poller as user pointers, and the event
// contexts of connections whose procedures run on the loop thread.
//
// A host service on the loop uses the event context API below: it accepts a
// connection (a TCP server's accept procedure), opens a context with its own
// pointer and three procedures, reads when told (sock_event_recv), writes
// with os_socket_send on sock_event_socket, turns write interest on while
// output waits and off when it has gone, and frees its own state in the
// closed procedure, which runs exactly once whoever closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/os/os_poller.h"
#include "libpal/os/os_socket.h"

// The first field, type, of every user-pointer record.
constexpr int32_t SOCKET_TYPE_PROC = 1;
constexpr int32_t SOCKET_TYPE_SERVER = 2;
constexpr int32_t SOCKET_TYPE_EVENT = 3;

struct sock_event_ctx;

// Why a context was closed, as its closed procedure is told.
constexpr int SOCK_EVENT_CLOSED_PROC = 1;  // readable or writable returned negative
constexpr int SOCK_EVENT_CLOSED_IDLE = 2;  // the first-data or idle time-out of the sweep
constexpr int SOCK_EVENT_CLOSED_STOP = 3;  // the event loop went down (sock_env_exit)
constexpr int SOCK_EVENT_CLOSED_HOST = 4;  // sock_event_close or sock_del_event_proc

// The host's procedures. readable and writable run on the loop thread and
// must not block; a negative result closes the connection.
// - readable (required): data, the peer's close or an error is waiting
//   (events: OS_POLLER_READ, plus OS_POLLER_ERROR for a pending socket error).
// - writable (may be null): called while write interest is on and the
//   socket takes output.
// - closed (may be null): runs once, on the closing thread, with the socket
//   still open and already out of the poller; the context and its socket are
//   gone when it returns, so the host drops every pointer to them there.
//   It must not close another context (the sweep and the stop walk the
//   list while it runs).
struct sock_event_procs {
    int (*readable)(sock_event_ctx *ctx, uint32_t events, void *host);
    int (*writable)(sock_event_ctx *ctx, void *host);
    void (*closed)(sock_event_ctx *ctx, void *host, int reason);
};

// sock_event_open flag: edge-triggered reading and writing where the poller
// honours it (os_poller_support; the epoll back end does, and is otherwise
// level-triggered). Then the drain rule holds: readable must read until
// sock_event_recv says 0 (nothing now) or the peer closed, and writable must
// write until the send takes less than offered; what is left is not
// announced again and the connection stalls. Without the flag, or on the
// select back end, data left unread raises the event again on the next pass.
constexpr uint32_t SOCK_EVENT_EDGE = 0x1;

// Called with the poller's event flags; a negative result closes the connection.
using sock_event_proc = int (*)(os_socket sock, uint32_t events, uint64_t user);

// One connection, allocated zero-filled from the "events" list. The context
// owns its socket. Hosts read it only through the functions below.
struct sock_event_ctx {
    int32_t type;  // SOCKET_TYPE_EVENT
    sock_event_proc proc;  // the older single-procedure form
    uint64_t user;
    os_socket sock;
    uint64_t last_ms;    // monotonic ms of the insertion or the last event
    uint8_t first_data;  // set until the first event
    uint8_t busy;        // a procedure of this context runs now (loop thread)
    uint8_t closing;     // the close has begun: later closes do nothing
    uint8_t close_pending;  // closed while busy: done when the procedure returns
    int32_t close_reason;
    uint32_t interest;   // poller flags in use
    sock_event_procs procs;
    void *host;
    // Place in the sweep's order of last activity (see sock_event.cpp).
    sock_event_ctx *sweep_prev;
    sock_event_ctx *sweep_next;
};

// Plain callback record: func(socket, 0, arg) on every event of its socket.
struct sock_proc_ctx {
    int32_t type;  // SOCKET_TYPE_PROC
    int (*func)(os_socket sock, uint32_t events, void *arg);
    void *arg;
};

// Takes the socket into the loop with read interest and returns its context;
// null when the loop is down, the poller has no room (a counted, rate-limited
// warning) or procs->readable is missing, and the socket is then closed.
// Any thread; flags: SOCK_EVENT_EDGE or 0.
sock_event_ctx *sock_event_open(os_socket sock, const sock_event_procs *procs, void *host,
                                uint32_t flags);
// Write interest on while output waits, off once it has gone; 0, -1 on a bad
// context or a poller failure. Any thread.
int sock_event_write_interest(sock_event_ctx *ctx, bool on);
// Closes: closed runs (reason SOCK_EVENT_CLOSED_HOST), the socket is closed,
// the context freed. Inside the context's own procedure the close waits until
// that procedure returns. 0. Any thread, but only while the context lives.
int sock_event_close(sock_event_ctx *ctx);
// os_socket_recv_ex on the context's socket: bytes, 0 nothing now,
// OS_SOCKET_RECV_CLOSED the peer closed, -1 error.
int sock_event_recv(sock_event_ctx *ctx, void *data, size_t len);
os_socket sock_event_socket(const sock_event_ctx *ctx);
void *sock_event_host(const sock_event_ctx *ctx);

// The older form: registers the socket with read interest, level-triggered;
// 0, or -1 with the socket closed (a full poller is warned about as above).
int sock_insert_event_proc(os_socket sock, sock_event_proc proc, uint64_t user);
// Removes the socket from the poller, closes it and frees the context; 0.
int sock_del_event_proc(sock_event_ctx *ectx);
// Number of live event contexts.
size_t sock_event_count();
// Connections refused so far because the poller or the descriptors ran out.
uint64_t sock_event_refused_count();
