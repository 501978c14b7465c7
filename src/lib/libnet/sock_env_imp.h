// Inside the event loop: what sock_env, sock_event and the TCP server share.
#pragma once

#include <cstdint>

#include "libpal/memory/lbuf.h"
#include "libpal/os/os_poller.h"

// The "events" list; null while the loop is down.
lbuf *sock_env_events();
// True on the loop thread itself.
bool sock_env_on_loop_thread();

// Holds the loop thread between two passes for the lifetime of the guard, so
// that poller and event list can change without a pass running. On the loop
// thread (inside a pass) it does nothing.
class sock_loop_gate {
public:
    sock_loop_gate();
    ~sock_loop_gate();
    sock_loop_gate(const sock_loop_gate &) = delete;
    sock_loop_gate &operator=(const sock_loop_gate &) = delete;

private:
    bool held_;
};

// Poller dispatch of the loop thread.
int sock_events_callback(os_poller *poller, const os_poller_object *object, uint32_t events,
                         void *user);
// Closes contexts past their first-data or idle time-out.
void sock_events_sweep(uint32_t first_ms, uint32_t idle_ms);
