// Connection-context server: one thread per connection, each with a fixed-size
// record on the server's "sock_ctx" list, so that all of them can be stopped
// at shutdown. Fed by the accept procedure of a TCP server.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libpal/os/os_socket.h"
#include "libpal/os/os_thread.h"

struct lbuf;
struct sock_ctx_srv;

constexpr int32_t SOCK_CTX_STATE_STOP = 2;  // stop requested
constexpr size_t SOCK_CTX_NAME_MAXN = 256;

// Head of every connection record; the bytes behind it (up to the record
// size) belong to the thread procedure. Zero-filled at the start.
struct sock_ctx {
    os_socket sock;              // owned by the thread procedure
    std::atomic<int32_t> state;  // SOCK_CTX_STATE_STOP when the server stops
    os_thread *thread;
    sock_ctx_srv *srv;
    uint8_t reaped;  // claimed by sock_tcp_ctx_exit; the record outlives its thread
};

struct sock_ctx_srv {
    char name[SOCK_CTX_NAME_MAXN];  // also the name of every connection thread
    size_t rec_size;
    os_thread_func proc;  // runs one connection; receives its sock_ctx *
    lbuf *list;           // "sock_ctx"
    // Fault options of the connection procedure; handle by default, so that a
    // fault ends only its own connection.
    os_thread_except_opt except_opt;
    uint8_t closing;      // set under the list lock by sock_tcp_ctx_exit
    // wake[0] turns readable for good once sock_tcp_ctx_exit has set every
    // record to SOCK_CTX_STATE_STOP: connection threads may sleep on it (with
    // their socket) instead of polling the state. None when it could not be made.
    os_socket wake[2];
    // Set by a server whose procedures sleep in a blocking receive: the stop
    // then shuts each connection's input down, under the list lock. Such
    // procedures close the record's socket only with sock_tcp_ctx_close.
    uint8_t shutdown_on_stop;
};

// New context server, or null (crit: "os_list_init error\n", "os_fixed_pool_init error\n").
sock_ctx_srv *sock_tcp_ctx_init(const char *name, size_t rec_size, os_thread_func proc);
// Starts the connection thread for a new socket: 0, or -1 with the socket closed.
int sock_tcp_ctx_open(sock_ctx_srv *srv, os_socket sock);
// Asks every connection to stop, waits for its thread (one second each), frees the server.
// Called on one of the server's own connection threads, it stops and waits
// for the others only and returns false: the server stays until a second call
// from another thread has waited for that thread. Otherwise true (a thread
// that would not end in time keeps the server allocated; do not call again).
bool sock_tcp_ctx_exit(sock_ctx_srv *srv);
// Closes the record's socket under the list lock, so that a stop shutting
// the connections down never reaches a descriptor number already reused.
void sock_tcp_ctx_close(sock_ctx *ctx);
// Connections whose thread is running.
size_t sock_tcp_ctx_count(sock_ctx_srv *srv);
