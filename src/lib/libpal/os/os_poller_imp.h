// Back-end side of the poller: what a back end provides to the generic layer.
// Not for callers of the poller.
#pragma once

#include <cstdint>

#include "libpal/os/os_poller.h"

struct os_poller_backend {
    const char *name;
    // Creates the back-end state in poller->imp; false on failure.
    bool (*init)(os_poller *poller);
    uint32_t support;  // flags honoured, see os_poller_support
    os_poller_ops ops;
};

// The set-based back end: at most 64 objects, 512 events a pass.
extern const os_poller_backend os_poller_select_backend;
// The epoll back end: as many objects as descriptors, 512 events a pass.
extern const os_poller_backend os_poller_epoll_backend;

// Top bit of a user pointer: marks a pipe object.
constexpr uint64_t OS_POLLER_PIPE_BIT = uint64_t{1} << 63;

// Kill ('k') and spak ('p') over the wake pair, for back-end tables.
bool os_poller_generic_kill(os_poller *poller);
bool os_poller_generic_spak(os_poller *poller);
