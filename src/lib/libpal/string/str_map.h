// Small string-keyed map (bsv values): an array of entry blocks, each holding
// the key (inline or by pointer) and the value (inline string or 64-bit pointer).
#pragma once

#include <cstddef>
#include <cstdint>

// Key storage (low nibble): copied into the entry, or the caller's pointer.
constexpr uint32_t STR_MAP_KEY_COPY = 0x01;
constexpr uint32_t STR_MAP_KEY_REF = 0x08;
constexpr uint32_t STR_MAP_KEY_MASK = 0x0F;
// Entries kept in byte-wise key order; lookups use binary search.
constexpr uint32_t STR_MAP_SORTED = 0x80;
// Values are strings copied into the entry; otherwise opaque pointers.
constexpr uint32_t STR_MAP_VAL_STR = 0x100;
// Pointer values belong to the map (freed with mem_free on replace and clear).
constexpr uint32_t STR_MAP_VAL_OWNED = 0x200;

struct str_map {
    char **entries;      // one heap block per entry
    uint64_t count;
    uint64_t capacity;   // 16 entry pointers at first, then doubled
    uint32_t flags;
};

// All return 0 on success and -1 on failure unless said otherwise.
int str_map_init(str_map *m, uint32_t flags);
int str_map_clear(str_map *m);
// Index of the key, or -1.
int64_t str_map_find(const str_map *m, const char *key);
// -1 when the key is present or memory runs out.
int str_map_add(str_map *m, const char *key, const void *value);
// Adds, or replaces the value of a present key.
int str_map_set(str_map *m, const char *key, const void *value);
// The pointer value or the address of the inline string; null when absent.
void *str_map_get(const str_map *m, const char *key);

// Key and value of the entry at index (null when out of range).
const char *str_map_key_at(const str_map *m, uint64_t index);
void *str_map_value_at(const str_map *m, uint64_t index);
