// Growable vector of string pointers and the splitters built on it. The shell
// cuts its command lines with str_split_esape; the log core keeps name lists here.
#pragma once

#include <cstddef>
#include <cstdint>

// Storage mode (low nibble): copies owned by the vector, or the caller's pointers.
constexpr uint32_t STR_VECTOR_COPY = 0x01;
constexpr uint32_t STR_VECTOR_REF = 0x04;
constexpr uint32_t STR_VECTOR_MODE_MASK = 0x0F;
// Lookups fold ASCII letters.
constexpr uint32_t STR_VECTOR_ICASE = 0x10;
// Adding an empty string succeeds without storing it.
constexpr uint32_t STR_VECTOR_SKIP_EMPTY = 0x20;
// Adding a string already present (under the lookup rule) succeeds without storing it.
constexpr uint32_t STR_VECTOR_UNIQUE = 0x40;

struct str_vector {
    char **items;        // after a split, items[count] is NULL
    uint64_t count;
    uint64_t capacity;   // 16 on the first add, then doubled
    uint32_t flags;
    uint32_t heap;       // record allocated by str_vector_new
    char *work;          // private copy cut up by the last str_split_esape
    size_t work_size;
};

// All return 0 on success and -1 on failure unless said otherwise.
int str_vector_init(str_vector *v, uint32_t flags);
// Null when memory runs out.
str_vector *str_vector_new(uint32_t flags);
// Clears, then frees the record when str_vector_new made it.
int str_vector_destroy(str_vector *v);
int str_vector_clear(str_vector *v);
int str_vector_add(str_vector *v, const char *text);
// Index of the first equal item, or -1.
int64_t str_vector_find(const str_vector *v, const char *text);
// Cuts text in place at every separator byte and adds each piece, empty ones included.
int str_vector_split(str_vector *v, char *text, const char *separators);
// Splits a command line at ';' outside quotes; -1 with "syntax error" on unbalanced quotes.
int str_split_esape(const char *text, str_vector *v);
