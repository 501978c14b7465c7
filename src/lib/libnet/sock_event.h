// Records the event loop hands to the poller as user pointers, and the event
// contexts of accepted connections whose procedure runs on the loop thread.
#pragma once

#include <cstdint>

#include "libpal/os/os_socket.h"

// The first field, type, of every user-pointer record.
constexpr int32_t SOCKET_TYPE_PROC = 1;
constexpr int32_t SOCKET_TYPE_SERVER = 2;
constexpr int32_t SOCKET_TYPE_EVENT = 3;

// Called with the poller's event flags; a negative result closes the connection.
using sock_event_proc = int (*)(os_socket sock, uint32_t events, uint64_t user);

// One accepted connection, allocated zero-filled from the "events" list.
// The context owns its socket.
struct sock_event_ctx {
    int32_t type;  // SOCKET_TYPE_EVENT
    sock_event_proc proc;
    uint64_t user;
    os_socket sock;
    uint64_t last_ms;    // monotonic ms of the insertion or the last event
    uint8_t first_data;  // set until the first event
};

// Plain callback record: func(socket, 0, arg) on every event of its socket.
struct sock_proc_ctx {
    int32_t type;  // SOCKET_TYPE_PROC
    int (*func)(os_socket sock, uint32_t events, void *arg);
    void *arg;
};

// Registers the socket with read interest; 0, or -1 with the socket closed.
int sock_insert_event_proc(os_socket sock, sock_event_proc proc, uint64_t user);
// Removes the socket from the poller, closes it and frees the context; 0.
int sock_del_event_proc(sock_event_ctx *ectx);
// Number of live event contexts.
size_t sock_event_count();
