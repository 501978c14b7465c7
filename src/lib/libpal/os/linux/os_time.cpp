#include "libpal/os/os_time.h"

#include <time.h>

#include <cmath>
#include <cstdio>

#include "libpal/string/str_safe.h"

uint64_t os_clock_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void os_clock_realtime(os_timespec *out) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    out->sec = ts.tv_sec;
    out->nsec = ts.tv_nsec / 100 * 100;  // 100-ns resolution
}

void os_localtime_tv(os_timeval *out) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t now = ts.tv_sec;
    tm local;
    localtime_r(&now, &local);
    local.tm_isdst = -1;
    out->sec = static_cast<int64_t>(mktime(&local));
    out->usec = (ts.tv_nsec / 1000000) * 1000;
}

char *str_duration(double seconds, char *out, size_t size) {
    if (!out || size == 0) return out;
    out[0] = 0;
    if (seconds < 0) seconds = 0;
    auto whole = static_cast<long long>(seconds);
    double fraction = seconds - static_cast<double>(whole);
    auto plural = [](long long n) { return n > 1 ? "s" : ""; };
    long long rest = whole;
    if (rest >= 86400) {
        long long days = rest / 86400;
        strcat_printf(out, size, "%lld day%s ", days, plural(days));
        rest %= 86400;
    }
    if (rest >= 3600) {
        long long hours = rest / 3600;
        strcat_printf(out, size, "%lld hour%s ", hours, plural(hours));
        rest %= 3600;
    }
    // Past a minute the text stops at whole minutes; seconds show only below one.
    if (rest >= 60) {
        long long minutes = rest / 60;
        strcat_printf(out, size, "%lld minute%s", minutes, plural(minutes));
    } else {
        double secs = static_cast<double>(rest) + fraction;
        strcat_printf(out, size, "%0.3f second%s", secs, secs > 1 ? "s" : "");
    }
    return out;
}
