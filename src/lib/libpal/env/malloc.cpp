#define LOG_TAG "pal"
#include "libpal/env/malloc.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

#include "libpal/basic/pal_assert.h"
#include "libpal/string/str_builder.h"

namespace {

// The 32-bit length sits at the start of a header padded to the platform's
// strictest alignment, so the caller's bytes keep that alignment.
constexpr size_t HEADER = alignof(std::max_align_t);
static_assert(HEADER >= sizeof(uint32_t));

std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_bytes{0};
std::atomic<uint32_t> g_max_size{0};
std::atomic<uint64_t> g_max_count{0};
std::atomic<uint64_t> g_max_bytes{0};

std::atomic<int> g_page_size{0};
std::atomic<int> g_page_shift{0};

template <typename T>
void raise_max(std::atomic<T> &max, T value) {
    T seen = max.load(std::memory_order_relaxed);
    while (value > seen && !max.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

unsigned char *block_of(void *p) { return static_cast<unsigned char *>(p) - HEADER; }

uint32_t stored_size(const void *p) {
    uint32_t size;
    std::memcpy(&size, static_cast<const unsigned char *>(p) - HEADER, sizeof size);
    return size;
}

void count_alloc(uint32_t size) {
    uint64_t count = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t bytes = g_bytes.fetch_add(size, std::memory_order_relaxed) + size;
    raise_max(g_max_size, size);
    raise_max(g_max_count, count);
    raise_max(g_max_bytes, bytes);
}

void count_free(uint32_t size) {
    uint64_t count = g_count.load(std::memory_order_relaxed);
    while (count > 0 && !g_count.compare_exchange_weak(count, count - 1, std::memory_order_relaxed)) {
    }
    // Never wrap below zero: a mismatched free leaves the byte count at 0.
    uint64_t bytes = g_bytes.load(std::memory_order_relaxed);
    while (!g_bytes.compare_exchange_weak(bytes, size < bytes ? bytes - size : 0,
                                          std::memory_order_relaxed)) {
    }
}

}  // namespace

void *_malloc(size_t size) {
    void *p = std::malloc(size);
    if (!p) {
        LOGE("size=%u malloc failed\n", static_cast<unsigned>(size));
        assert_dump_stack();
    }
    return p;
}

void *mem_malloc(size_t size) {
    if (size > UINT32_MAX) return nullptr;
    auto *block = static_cast<unsigned char *>(_malloc(size + HEADER));
    if (!block) return nullptr;
    uint32_t size32 = static_cast<uint32_t>(size);
    std::memcpy(block, &size32, sizeof size32);
    count_alloc(size32);
    return block + HEADER;
}

void *mem_calloc(size_t size) {
    void *p = mem_malloc(size);
    if (p) std::memset(p, 0, size);
    return p;
}

void mem_free(void *p) {
    if (!p) return;
    uint32_t size = stored_size(p);
    std::free(block_of(p));
    count_free(size);
}

size_t mem_block_size(const void *p) { return p ? stored_size(p) : 0; }

void *mem_realloc(void *p, size_t size) {
    if (!p) return mem_malloc(size);
    uint32_t old = stored_size(p);
    if (old >= size) {
        if (size != 0) return p;
        mem_free(p);
        return nullptr;
    }
    void *fresh = mem_malloc(size);
    if (!fresh) return nullptr;
    std::memcpy(fresh, p, old);
    mem_free(p);
    return fresh;
}

char *mem_strdup(const char *text) {
    if (!text) return nullptr;
    size_t n = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(mem_malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

int os_vasprintf_imp(char **out, const char *fmt, va_list args) {
    *out = nullptr;
    va_list measure;
    va_copy(measure, args);
    int len = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (len < 0) {
        LOGE("fmt=%s vsnprintf failed\n", fmt);
        assert_dump_stack();
        return -1;
    }
    auto *text = static_cast<char *>(mem_malloc(static_cast<size_t>(len) + 1));
    if (!text) return -1;
    va_list again;
    va_copy(again, args);
    int len2 = std::vsnprintf(text, static_cast<size_t>(len) + 1, fmt, again);
    va_end(again);
    if (len2 < 0) {
        LOGE("fmt=%s vsnprintf2 failed\n", fmt);
        assert_dump_stack();
        mem_free(text);
        return -1;
    }
    *out = text;
    return len;
}

int os_asprintf(char **out, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int r = os_vasprintf_imp(out, fmt, args);
    va_end(args);
    return r;
}

void mem_stats_get(mem_stats *out) {
    out->malloc_count = g_count.load(std::memory_order_relaxed);
    out->malloc_bytes = g_bytes.load(std::memory_order_relaxed);
    out->malloc_max_size = g_max_size.load(std::memory_order_relaxed);
    out->malloc_max_count = g_max_count.load(std::memory_order_relaxed);
    out->malloc_max_bytes = g_max_bytes.load(std::memory_order_relaxed);
}

char *mem_stats_text() {
    mem_stats s;
    mem_stats_get(&s);
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    str_buf_printf(b, "malloc_count=%llu\n", static_cast<unsigned long long>(s.malloc_count));
    str_buf_printf(b, "malloc_bytes=%llu\n", static_cast<unsigned long long>(s.malloc_bytes));
    str_buf_printf(b, "malloc_max_size=%u\n", s.malloc_max_size);
    str_buf_printf(b, "malloc_max_count=%llu\n", static_cast<unsigned long long>(s.malloc_max_count));
    str_buf_printf(b, "malloc_max_bytes=%llu\n", static_cast<unsigned long long>(s.malloc_max_bytes));
    return str_buf_take(b);
}

int mem_init() {
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) page = 4096;
    int shift = 0;
    for (long v = page; v > 1; v >>= 1) ++shift;
    g_page_size.store(static_cast<int>(page), std::memory_order_relaxed);
    g_page_shift.store(shift, std::memory_order_relaxed);
    LOGV("pagesize=%d\n", static_cast<int>(page));
    return 0;
}

int mem_page_size() { return g_page_size.load(std::memory_order_relaxed); }
int mem_page_shift() { return g_page_shift.load(std::memory_order_relaxed); }

// The program's own C++ allocations are counted too, so "show memory" covers
// every heap byte of this code.
void *operator new(size_t size) {
    void *p = mem_malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return mem_malloc(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return mem_malloc(size); }
void operator delete(void *p) noexcept { mem_free(p); }
void operator delete[](void *p) noexcept { mem_free(p); }
void operator delete(void *p, size_t) noexcept { mem_free(p); }
void operator delete[](void *p, size_t) noexcept { mem_free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { mem_free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { mem_free(p); }
