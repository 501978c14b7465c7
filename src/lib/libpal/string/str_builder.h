// Fail-fast allocation wrappers ("Bailing out" ends the process) and the
// growable string builder used for every multi-line text the system returns.
#pragma once

#include <cstdarg>
#include <cstddef>

void *safe_malloc(size_t size);
char *safe_strdup(const char *text);
int safe_vasprintf(char **out, const char *fmt, va_list args);

struct str_buf {
    char *text;
    size_t len;   // bytes used, without the terminator
    size_t cap;
};

constexpr size_t STR_BUF_STEP = 4096;

// Grows b's capacity to at least new_cap (4096 steps, zeroed); bails out on failure.
void safe_realloc(str_buf *b, size_t new_cap);

str_buf *str_buf_new();
char *str_buf_add(str_buf *b, const void *bytes, size_t n);
char *str_buf_add_str(str_buf *b, const char *text);
int str_buf_printf(str_buf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int str_buf_vprintf(str_buf *b, const char *fmt, va_list args);
// Frees the builder and returns its text (null when empty); caller frees with mem_free.
char *str_buf_take(str_buf *b);
// Frees builder and text.
void str_buf_free(str_buf *b);
