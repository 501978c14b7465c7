#include "liblog/log_cache.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "libpal/os/os_thread.h"

namespace {

struct local_second {
    time_t sec = -1;
    tm local{};
    char stamp[LOG_STAMP_LEN + 1];
};

thread_local local_second t_second;
thread_local uint32_t t_tid = 0;
std::atomic<uint32_t> g_pid{0};

// An id and its decimal text, redone when the id differs (a forked child).
struct id_text {
    uint32_t id = 0;
    uint32_t len = 0;
    char text[LOG_ID_TEXT_MAXN];

    const char *of(uint32_t value, size_t *out_len) {
        if (value != id || len == 0) {
            len = static_cast<uint32_t>(log_put_uint(text, value) - text);
            id = value;
        }
        *out_len = len;
        return text;
    }
};
thread_local id_text t_tid_text;
thread_local id_text t_pid_text;

// The child runs on the forking thread alone; its cached ids are stale.
void after_fork_child() {
    t_tid = 0;
    g_pid.store(0, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_fork_hook = pthread_atfork(nullptr, nullptr, after_fork_child);

}  // namespace

void log_time_now(log_time *out) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != t_second.sec) {
        // Zone and daylight-saving changes fall on whole seconds.
        localtime_r(&now.tv_sec, &t_second.local);
        t_second.sec = now.tv_sec;
        const tm &l = t_second.local;
        char *p = t_second.stamp;
        p = log_put_digits(p, static_cast<uint32_t>(l.tm_year + 1900), 4);
        *p++ = '-';
        p = log_put_digits(p, static_cast<uint32_t>(l.tm_mon + 1), 2);
        *p++ = '-';
        p = log_put_digits(p, static_cast<uint32_t>(l.tm_mday), 2);
        *p++ = ' ';
        p = log_put_digits(p, static_cast<uint32_t>(l.tm_hour), 2);
        *p++ = ':';
        p = log_put_digits(p, static_cast<uint32_t>(l.tm_min), 2);
        *p++ = ':';
        p = log_put_digits(p, static_cast<uint32_t>(l.tm_sec), 2);
        *p = 0;
    }
    const tm &l = t_second.local;
    out->stamp = t_second.stamp;
    out->usec_since_epoch = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec / 1000);
    out->year = l.tm_year + 1900;
    out->mon = l.tm_mon + 1;
    out->day = l.tm_mday;
    out->hour = l.tm_hour;
    out->min = l.tm_min;
    out->sec = l.tm_sec;
    out->usec = static_cast<uint32_t>(now.tv_nsec / 1000);
}

uint32_t log_cached_pid() {
    uint32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<uint32_t>(getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

uint32_t log_cached_tid() {
    if (t_tid == 0) t_tid = os_thread_id();
    return t_tid;
}

const char *log_cached_tid_text(size_t *len) { return t_tid_text.of(log_cached_tid(), len); }

const char *log_cached_pid_text(size_t *len) { return t_pid_text.of(log_cached_pid(), len); }

[[gnu::noinline]] void log_copy(char *to, const char *from, size_t n) { std::memcpy(to, from, n); }

size_t log_put_clock(char *out, const log_time &t, bool with_ms) {
    char *p = out;
    std::memcpy(p, t.stamp + LOG_STAMP_CLOCK, LOG_STAMP_LEN - LOG_STAMP_CLOCK);
    p += LOG_STAMP_LEN - LOG_STAMP_CLOCK;
    if (with_ms) {
        *p++ = '.';
        p = log_put_digits(p, t.usec / 1000, 3);
    }
    *p++ = ' ';
    return static_cast<size_t>(p - out);
}
