// Counted heap: every block of the program goes through here so that
// "show memory" can report live blocks and bytes and their high-water marks.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// A snapshot of the five process-wide counters.
struct mem_stats {
    uint64_t malloc_count;      // live blocks
    uint64_t malloc_bytes;      // live requested bytes
    uint32_t malloc_max_size;   // largest single request
    uint64_t malloc_max_count;  // highest malloc_count seen
    uint64_t malloc_max_bytes;  // highest malloc_bytes seen
};

// Platform allocation; null (with an err log and stack) on failure.
void *_malloc(size_t size);

// Counted blocks; null on failure. Every block keeps the platform alignment.
void *mem_malloc(size_t size);
void *mem_calloc(size_t size);
void mem_free(void *p);
void *mem_realloc(void *p, size_t size);
char *mem_strdup(const char *text);
// Bytes stored with the block at allocation (0 for null).
size_t mem_block_size(const void *p);

// Formats into a new counted block; returns the length, or -1 (out set to null).
int os_vasprintf_imp(char **out, const char *fmt, va_list args);
int os_asprintf(char **out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void mem_stats_get(mem_stats *out);
// Appends the five "show memory" lines to a string builder text; returns an owned text.
char *mem_stats_text();

// Reads the page size once; returns 0.
int mem_init();
int mem_page_size();
int mem_page_shift();
