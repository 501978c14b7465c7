// Poller: waits on many sockets at once and calls a function for each one that
// became ready. One thread waits; other threads insert, modify or remove and
// then wake it with os_poller_spak. The poller itself carries no lock.
//
// The generic layer works through a table of operations filled by a back end
// (today a poll(2)-based one with the select limits); another back end is one
// more table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libpal/os/os_socket.h"

// Object kinds.
constexpr uint32_t OS_POLLER_OBJECT_SOCKET = 1;
constexpr uint32_t OS_POLLER_OBJECT_PIPE = 2;
constexpr uint32_t OS_POLLER_OBJECT_PROC = 3;

// Interest and event flags (one set of bits for both).
constexpr uint32_t OS_POLLER_READ = 0x001;
constexpr uint32_t OS_POLLER_WRITE = 0x002;
// Back-end option, added to read interest only when os_poller_support is true.
constexpr uint32_t OS_POLLER_EDGE = 0x010;
// Removed from the poller just before its event is delivered.
constexpr uint32_t OS_POLLER_ONESHOT = 0x020;
// Pending socket error (event only).
constexpr uint32_t OS_POLLER_ERROR = 0x200;

// Objects per poller, the wake socket included.
constexpr size_t OS_POLLER_MAX_OBJECTS = 64;
// Events recorded in one pass.
constexpr size_t OS_POLLER_MAX_EVENTS = 512;

// Passed by value in calls.
struct os_poller_object {
    uint32_t type;     // OS_POLLER_OBJECT_*
    os_socket handle;  // the os_socket for sockets
};

struct os_poller;

// Called on the waiting thread for every delivered event; the return value is ignored.
using os_poller_func = int (*)(os_poller *poller, const os_poller_object *object,
                               uint32_t events, void *user);

// Back-end operations; bool ones return true on success, wait returns the
// number of events delivered, 0 on time-out or wake-up, -1 on error or kill.
struct os_poller_ops {
    void (*exit)(os_poller *poller);
    bool (*kill)(os_poller *poller);
    bool (*spak)(os_poller *poller);
    int (*wait)(os_poller *poller, os_poller_func func, int ms);
    bool (*insert)(os_poller *poller, const os_poller_object *object, uint32_t flags, void *user);
    bool (*remove)(os_poller *poller, const os_poller_object *object);
    bool (*modify)(os_poller *poller, const os_poller_object *object, uint32_t flags, void *user);
    bool (*attach)(os_poller *poller);  // may be null
};

struct os_poller {
    os_poller_ops ops;
    // 'p' (spak) and 'k' (kill) are sent on the write end by any thread; the
    // read end is watched by the back end like any other socket. Atomic because
    // a broken pair is rebuilt on the waiting thread.
    std::atomic<os_socket> wake_write;
    std::atomic<os_socket> wake_read;
    uint32_t support;      // flags the back end honours (OS_POLLER_EDGE)
    void *imp;             // back-end state
};

// New poller with its wake pair registered; null on failure.
os_poller *os_poller_init();
// Kills, closes the wake pair and frees everything.
void os_poller_exit(os_poller *poller);
// Ends the waiting thread's os_poller_wait with -1.
bool os_poller_kill(os_poller *poller);
// Ends the waiting thread's current wait after its pass, so that set changes take effect.
bool os_poller_spak(os_poller *poller);
// True when the back end honours OS_POLLER_EDGE.
bool os_poller_support(os_poller *poller);
// false when the poller is full (no message) or on a bad call. user must have its top bit clear.
bool os_poller_insert(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user);
// true also when the object was not registered.
bool os_poller_remove(os_poller *poller, const os_poller_object *object);
bool os_poller_modify(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user);
// ms < 0 no limit, 0 one poll. See os_poller_ops::wait for the result.
int os_poller_wait(os_poller *poller, os_poller_func func, int ms);
// Calls the back end's attach operation when it has one; true otherwise.
bool os_poller_attach(os_poller *poller);
// Replaces a broken wake pair; true on success.
bool os_poller_reset_pair(os_poller *poller);

// Convenience for the common case of a socket object.
inline os_poller_object os_poller_socket_object(os_socket sock) {
    return os_poller_object{OS_POLLER_OBJECT_SOCKET, sock};
}
