// Poller: waits on many sockets at once and calls a function for each one that
// became ready. One thread waits; other threads insert, modify or remove and
// then wake it with os_poller_spak.
//
// The generic layer (os_poller.cpp) keeps the registrations and the whole
// contract of the calls below; a back end is only the system wait behind a
// table of operations. Two back ends exist:
// - "epoll" (the default on Linux): no object limit beyond the process's
//   descriptor limit. It honours OS_POLLER_EDGE as edge-triggered reading.
// - "select" (a poll(2) wait kept to the select limits): at most 64 objects,
//   the wake socket included; OS_POLLER_EDGE has no meaning there.
// Both deliver at most 512 events per pass.
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
// Back-end option, added to interest only when os_poller_support is true.
// On epoll it makes the entry edge-triggered: an event comes once per new
// arrival (or per new room to write), not while data waits. The drain rule
// follows: on every readable event, read until the receive says "nothing now"
// (or the peer closed); on every writable event, write until the send takes
// less than offered. Data left unread raises no second event, and that
// connection stalls.
constexpr uint32_t OS_POLLER_EDGE = 0x010;
// Removed from the poller just before its event is delivered.
constexpr uint32_t OS_POLLER_ONESHOT = 0x020;
// Pending socket error (event only).
constexpr uint32_t OS_POLLER_ERROR = 0x200;

// Objects of the select back end, the wake socket included.
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

// What one system wait saw on one descriptor: OS_POLLER_READ and _WRITE as
// the system reports them (a hang-up or an error counts as both), and
// OS_POLLER_ERROR when the socket's pending error is worth reading.
struct os_poller_ready {
    int64_t fd;
    uint32_t events;
};

// Back-end operations. The generic layer has checked every argument and holds
// the registrations; bool ones return true on success (insert: false also
// when the back end is full). wait makes one system wait of at most ms
// (< 0 no limit) and fills up to max entries: their number, 0 on time-out,
// -1 on error (errno kept).
struct os_poller_ops {
    void (*exit)(os_poller *poller);
    bool (*kill)(os_poller *poller);
    bool (*spak)(os_poller *poller);
    int (*wait)(os_poller *poller, os_poller_ready *ready, size_t max, int ms);
    bool (*insert)(os_poller *poller, int64_t fd, uint32_t flags);
    bool (*remove)(os_poller *poller, int64_t fd);
    bool (*modify)(os_poller *poller, int64_t fd, uint32_t flags);
    bool (*attach)(os_poller *poller);  // may be null
};

struct os_poller_registry;

struct os_poller {
    os_poller_ops ops;
    // 'p' (spak) and 'k' (kill) are sent on the write end by any thread; the
    // read end is watched by the back end like any other socket. Atomic because
    // a broken pair is rebuilt on the waiting thread.
    std::atomic<os_socket> wake_write;
    std::atomic<os_socket> wake_read;
    uint32_t support;      // flags the back end honours (OS_POLLER_EDGE)
    const char *backend;   // the back end's name
    void *imp;             // back-end state
    os_poller_registry *reg;  // the generic layer's registrations
};

// New poller with its wake pair registered, on the default back end; null on failure.
os_poller *os_poller_init();
// The same on the named back end ("epoll", "select"); null for an unknown name.
os_poller *os_poller_init_backend(const char *name);
// Chooses the back end of later os_poller_init calls; false (nothing changed)
// for an unknown name.
bool os_poller_backend_set(const char *name);
// The poller's back end name; with null, the default back end's.
const char *os_poller_backend_name(const os_poller *poller);
// Names of the back ends, separated by '|', for messages.
const char *os_poller_backend_names();

// Kills, closes the wake pair and frees everything.
void os_poller_exit(os_poller *poller);
// Ends the waiting thread's os_poller_wait with -1.
bool os_poller_kill(os_poller *poller);
// Ends the waiting thread's current wait after its pass, so that set changes take effect.
bool os_poller_spak(os_poller *poller);
// True when the back end honours OS_POLLER_EDGE.
bool os_poller_support(os_poller *poller);
// false when the poller is full (no message) or on a bad call. user must have its top bit clear.
// A registered socket is updated (flags and pointer), not added twice.
bool os_poller_insert(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user);
// true also when the object was not registered.
bool os_poller_remove(os_poller *poller, const os_poller_object *object);
// false when the object is not registered.
bool os_poller_modify(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user);
// Registered objects, the wake socket included.
size_t os_poller_count(os_poller *poller);
// ms < 0 no limit, 0 one poll. Returns the number of events delivered, 0 on
// time-out or wake-up, -1 on error or kill. An event whose registration an
// earlier callback of the same pass removed is not delivered.
int os_poller_wait(os_poller *poller, os_poller_func func, int ms);
// Calls the back end's attach operation when it has one; true otherwise.
bool os_poller_attach(os_poller *poller);
// Replaces a broken wake pair; true on success.
bool os_poller_reset_pair(os_poller *poller);

// Convenience for the common case of a socket object.
inline os_poller_object os_poller_socket_object(os_socket sock) {
    return os_poller_object{OS_POLLER_OBJECT_SOCKET, sock};
}
