#include "malloc_counter.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
bool malloc_counter_works() { return false; }
uint64_t malloc_counter_calls() { return 0; }
#else
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *p, size_t size);

namespace {
std::atomic<uint64_t> g_calls{0};
}

extern "C" void *malloc(size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}

bool malloc_counter_works() { return true; }
uint64_t malloc_counter_calls() { return g_calls.load(std::memory_order_relaxed); }
#endif
