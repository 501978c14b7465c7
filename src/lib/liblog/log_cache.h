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

// "00" to "99": two digits per division, which halves the chain of
// dependent multiplications a number costs.
inline constexpr char LOG_DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Fixed-width decimal writers; each returns the position behind the digits.
inline char *log_put_digits(char *out, uint32_t value, int width) {
    int i = width;
    while (i >= 2) {
        const char *pair = LOG_DIGIT_PAIRS + 2 * (value % 100);
        value /= 100;
        out[--i] = pair[1];
        out[--i] = pair[0];
    }
    if (i) out[0] = static_cast<char>('0' + value % 10);
    return out + width;
}
// Decimal digits of value.
inline int log_digit_count(uint64_t value) {
    int n = 1;
    for (; value >= 10000; value /= 10000) n += 4;
    if (value >= 1000) return n + 3;
    if (value >= 100) return n + 2;
    return value >= 10 ? n + 1 : n;
}
// Unpadded decimal.
inline char *log_put_uint(char *out, uint32_t value) { return log_put_digits(out, value, log_digit_count(value)); }
// The caller's thread id and the process id as decimal text (no NUL), kept
// per thread; *len gets the length. LOG_ID_TEXT_MAXN bytes are readable, so
// that a caller copies a constant length and moves on by *len.
constexpr size_t LOG_ID_TEXT_MAXN = 12;
const char *log_cached_tid_text(size_t *len);
const char *log_cached_pid_text(size_t *len);
// memcpy kept a call into the C library: for the tens of bytes of a line
// piece its vector copy is several times faster than the `rep movs` the
// compiler puts in place of a copy whose length has a known bound.
void log_copy(char *to, const char *from, size_t n);

constexpr size_t LOG_STAMP_LEN = 19;
constexpr size_t LOG_STAMP_CLOCK = 11;  // where "hh:mm:ss" starts in the stamp

// "hh:mm:ss " (9 bytes) or "hh:mm:ss.mmm " (13 bytes); returns the length.
size_t log_put_clock(char *out, const log_time &t, bool with_ms);
