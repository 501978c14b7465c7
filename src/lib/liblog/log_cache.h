// Values every log record needs, kept so that the log path makes no system
// call for them: the local time and its text (made once per second per thread), the
// process id and the caller's thread id (both reset in a forked child).
#pragma once

#include <cstddef>
#include <cstdint>

struct log_time {
    // "YYYY-MM-DD hh:mm:ss" of this second (19 bytes, no NUL), kept by the
    // calling thread until its next log_time_now.
    const char *stamp;
    uint64_t usec_since_epoch;
    int year;
    int mon;   // 1..12
    int day;
    int hour;
    int min;
    int sec;
    uint32_t usec;
};

void log_time_now(log_time *out);
uint32_t log_cached_pid();
uint32_t log_cached_tid();

// Fixed-width decimal writers; each returns the position behind the digits.
inline char *log_put_digits(char *out, uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}
// Unpadded decimal.
inline char *log_put_uint(char *out, uint32_t value) {
    char tmp[10];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n) *out++ = tmp[--n];
    return out;
}
// memcpy kept a call into the C library: for the tens of bytes of a line
// piece its vector copy is several times faster than the `rep movs` the
// compiler puts in place of a copy whose length has a known bound.
void log_copy(char *to, const char *from, size_t n);

constexpr size_t LOG_STAMP_LEN = 19;
constexpr size_t LOG_STAMP_CLOCK = 11;  // where "hh:mm:ss" starts in the stamp

// "hh:mm:ss " (9 bytes) or "hh:mm:ss.mmm " (13 bytes); returns the length.
size_t log_put_clock(char *out, const log_time &t, bool with_ms);
