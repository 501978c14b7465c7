// Bounded copy, concatenation and formatting. None writes outside its
// destination; overflows are reported through the log with the head of the text.
#pragma once

#include <cstdarg>
#include <cstddef>

// 0 when it fits; 22 (null dest/size 0/null src) or 34 (overflow with report) with errno set.
int str_safecopy_imp(char *dest, size_t size, const char *src, int report);
int str_safecat_imp(char *dest, size_t size, const char *src, int report);
#define str_safecopy(dest, size, src) str_safecopy_imp((dest), (size), (src), 1)
#define str_safecat(dest, size, src) str_safecat_imp((dest), (size), (src), 1)

// Formats behind the text in buf; returns the new total length, -1 when buf is full.
int strcat_vprintf(char *buf, size_t size, const char *fmt, va_list args);
int strcat_printf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Returns the formatted length (needed length, even when cut), 22 or -1 on error.
int str_sprintf_s(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Silent truncating copy; returns size when cut, else the length copied.
size_t str_copy_trunc(char *dest, size_t size, const char *src);

// '' for null/empty, 'text' when it holds a blank, tab or ';', else unchanged. Returns out.
char *str_quote_show(const char *text, char *out, size_t size);

// Copies n bytes when they fit in space and returns n, else -1 with an assertion report.
int mem_add_str(void *dest, size_t space, const void *src, size_t n);
// Packs a null-terminated list of strings, each with its terminator; total bytes or -1.
int mem_add_strs(void *dest, size_t space, ...);
