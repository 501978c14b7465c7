// Inside the event loop: what sock_env, sock_event and the TCP server share.
#pragma once

#include <cstdint>

#include "libpal/memory/lbuf.h"
#include "libpal/os/os_poller.h"

// The "events" list; null while the loop is down.
lbuf *sock_env_events();
// Passes the loop has run (wait, dispatch, sweep, hook).
uint64_t sock_env_pass_count();
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

// Closes an event context, telling its closed procedure why (SOCK_EVENT_CLOSED_*).
struct sock_event_ctx;
int sock_event_close_reason(sock_event_ctx *ectx, int reason);
// Counts a connection refused for want of room and warns, at most once a
// minute for each kind.
constexpr int SOCK_REFUSED_POLLER_FULL = 0;
constexpr int SOCK_REFUSED_NO_DESCRIPTOR = 1;
constexpr int SOCK_REFUSED_KINDS = 2;
void sock_event_refused_note(int kind);

// A descriptor held in reserve while the loop runs, so that a listener can
// still take a connection off its queue and close it when the process has no
// descriptor left (a level-triggered listener would otherwise stay readable
// and spin). false releases it, true takes it again.
void sock_env_spare(bool hold);

// Poller dispatch of the loop thread.
int sock_events_callback(os_poller *poller, const os_poller_object *object, uint32_t events,
                         void *user);
// Closes contexts past their first-data or idle time-out. Costs only the
// contexts it closes, plus one look at each rule's oldest context.
void sock_events_sweep(uint32_t first_ms, uint32_t idle_ms);
// Milliseconds until the sweep has a context to close (0: now), or -1 when
// no context can time out.
int64_t sock_events_sweep_due_ms(uint32_t first_ms, uint32_t idle_ms);
