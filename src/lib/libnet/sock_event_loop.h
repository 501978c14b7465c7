// The process-wide socket event loop: one poller, one thread "sock_listen"
// that waits on it and dispatches, the "events" list of connection contexts
// with first-data and idle clean-up, and a periodic hook.
#pragma once

#include <cstdint>

#include "libpal/os/os_poller.h"

// Starts the loop; 0. A set-up failure is a crit record (the process ends).
// A second call while the loop runs does nothing.
int sock_env_init();
// Stops the loop thread (waits up to one second); 0, also when none runs.
int sock_env_stop();
// Stops, closes every remaining connection context, frees poller and list; 0.
int sock_env_exit();

// The process poller, or null while the loop is down.
os_poller *sock_env_poller();

// A connection that sends nothing within first_ms of its insertion, or stays
// silent idle_ms after its last event, is closed; 0 switches a rule off.
void sock_env_first_data_timeout_set(uint32_t first_ms);
void sock_env_idle_timeout_set(uint32_t idle_ms);

// Runs on the loop thread after every wake-up, at least about once a second.
// Without a hook (and without a watchdog or a pending time-out) an idle loop
// sleeps until something arrives.
using sock_periodic_proc = void (*)(void *arg);
void sock_env_periodic_set(sock_periodic_proc proc, void *arg);

// Poller changes from any thread. Off the loop thread they wait until the loop
// is between passes, so that the loop never reads a set while it changes.
// true on success (insert: false when the poller is full or down).
bool sock_poller_insert(os_socket sock, uint32_t flags, void *user);
bool sock_poller_remove(os_socket sock);
