// Figures of the running process that an operator asks for first.
#pragma once

#include <cstdint>

struct os_proc_stats {
    int64_t rss_bytes;  // resident memory; -1 when unknown
    int32_t threads;    // -1 when unknown
    int32_t open_fds;   // -1 when unknown
};

// Fills stats for the calling process; fields that cannot be read are -1.
void os_proc_stats_get(os_proc_stats *stats);
