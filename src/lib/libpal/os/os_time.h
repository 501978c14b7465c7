// Clocks used by logs, dumps and time-outs.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_timespec {
    int64_t sec;
    int64_t nsec;
};
struct os_timeval {
    int64_t sec;
    int64_t usec;
};

// Monotonic milliseconds.
uint64_t os_clock_ms();
void os_clock_realtime(os_timespec *out);
// Local calendar time converted back to seconds since 1970; usec = ms * 1000.
void os_localtime_tv(os_timeval *out);
// Duration text such as "1 day 1 hour 1 minute" or "5.250 seconds"; returns out (64 bytes).
char *str_duration(double seconds, char *out, size_t size);
