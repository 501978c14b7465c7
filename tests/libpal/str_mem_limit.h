// Runs a check in a child process whose address space is capped a little above
// what it already uses, so that allocations start failing soon. Sanitizer
// runtimes reserve huge address ranges, so such builds skip these checks.
#pragma once

#include <sys/resource.h>

#include <cstdio>
#include <execinfo.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STR_MEM_LIMIT_USABLE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STR_MEM_LIMIT_USABLE 0
#endif
#endif
#ifndef STR_MEM_LIMIT_USABLE
#define STR_MEM_LIMIT_USABLE 1
#endif

// Caps the address space at current use plus extra bytes; false when it cannot.
inline bool str_mem_limit(unsigned long extra) {
    void *frames[4];
    backtrace(frames, 4);  // loads the unwinder the failure report needs
    long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    if (pages == 0) return false;
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(pages) * 4096 + extra;
    return setrlimit(RLIMIT_AS, &lim) == 0;
}
