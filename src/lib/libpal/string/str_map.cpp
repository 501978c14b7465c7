#define LOG_TAG "pal"
#include "libpal/string/str_map.h"

#include <algorithm>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"

namespace {

constexpr uint64_t FIRST_CAPACITY = 16;
constexpr size_t WORD = sizeof(uint64_t);
static_assert(sizeof(void *) == WORD);

bool key_inline(const str_map *m) { return (m->flags & STR_MAP_KEY_COPY) != 0; }
bool value_inline(const str_map *m) { return (m->flags & STR_MAP_VAL_STR) != 0; }
bool owns_pointers(const str_map *m) { return !value_inline(m) && (m->flags & STR_MAP_VAL_OWNED); }

// Pointer words sit unaligned behind inline keys, hence the memcpy.
void *read_word(const char *at) {
    void *p;
    std::memcpy(&p, at, WORD);
    return p;
}
void write_word(char *at, const void *p) { std::memcpy(at, &p, WORD); }

const char *entry_key(const str_map *m, const char *entry) {
    return key_inline(m) ? entry : static_cast<const char *>(read_word(entry));
}

// Size of the key part of an entry: the inline key with its NUL, or one word.
size_t key_part_size(const str_map *m, const char *key) {
    return key_inline(m) ? std::strlen(key) + 1 : WORD;
}

char *value_at(const str_map *m, char *entry) {
    return entry + key_part_size(m, entry_key(m, entry));
}

void *entry_value(const str_map *m, char *entry) {
    char *at = value_at(m, entry);
    return value_inline(m) ? at : read_word(at);
}

// One heap block in the layout of the map's flags; null when memory runs out.
char *build_entry(const str_map *m, const char *key, const void *value) {
    size_t key_size = key_part_size(m, key);
    size_t value_size = value_inline(m) ? std::strlen(static_cast<const char *>(value)) + 1 : WORD;
    auto *entry = static_cast<char *>(mem_malloc(key_size + value_size));
    if (!entry) return nullptr;
    if (key_inline(m))
        std::memcpy(entry, key, key_size);
    else
        write_word(entry, key);
    if (value_inline(m))
        std::memcpy(entry + key_size, value, value_size);
    else
        write_word(entry + key_size, value);
    return entry;
}

bool ensure_slot(str_map *m) {
    if (m->entries && m->count < m->capacity) return true;
    uint64_t cap = m->capacity ? m->capacity * 2 : FIRST_CAPACITY;
    auto *entries = static_cast<char **>(mem_realloc(m->entries, cap * sizeof(char *)));
    if (!entries) return false;
    std::memset(entries + m->capacity, 0, (cap - m->capacity) * sizeof(char *));
    m->entries = entries;
    m->capacity = cap;
    return true;
}

bool key_less(const str_map *m, const char *a_entry, const char *b_entry) {
    return std::strcmp(entry_key(m, a_entry), entry_key(m, b_entry)) < 0;
}

bool value_ok(const str_map *m, const void *value) { return !value_inline(m) || value != nullptr; }

}  // namespace

int str_map_init(str_map *m, uint32_t flags) {
    PAL_ASSERT_RET(m != nullptr, -1);
    std::memset(m, 0, sizeof *m);
    if (!(flags & STR_MAP_KEY_MASK)) flags |= STR_MAP_KEY_REF;
    m->flags = flags;
    return 0;
}

int str_map_clear(str_map *m) {
    PAL_ASSERT_RET(m != nullptr, -1);
    for (uint64_t i = 0; i < m->count; ++i) {
        if (owns_pointers(m)) mem_free(entry_value(m, m->entries[i]));
        mem_free(m->entries[i]);
    }
    mem_free(m->entries);
    m->entries = nullptr;
    m->count = 0;
    m->capacity = 0;
    return 0;
}

int64_t str_map_find(const str_map *m, const char *key) {
    PAL_ASSERT_RET(m != nullptr, -1);
    PAL_ASSERT_RET(key != nullptr, -1);
    if (m->flags & STR_MAP_SORTED) {
        uint64_t lo = 0, hi = m->count;
        while (lo < hi) {
            uint64_t mid = lo + (hi - lo) / 2;
            int cmp = std::strcmp(entry_key(m, m->entries[mid]), key);
            if (cmp == 0) return static_cast<int64_t>(mid);
            if (cmp < 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        return -1;
    }
    for (uint64_t i = 0; i < m->count; ++i)
        if (std::strcmp(entry_key(m, m->entries[i]), key) == 0) return static_cast<int64_t>(i);
    return -1;
}

int str_map_add(str_map *m, const char *key, const void *value) {
    PAL_ASSERT_RET(m != nullptr, -1);
    PAL_ASSERT_RET(key != nullptr, -1);
    PAL_ASSERT_RET(value_ok(m, value), -1);
    if (str_map_find(m, key) >= 0) return -1;
    if (!ensure_slot(m)) return -1;
    char *entry = build_entry(m, key, value);
    if (!entry) return -1;
    if (!(m->flags & STR_MAP_SORTED)) {
        m->entries[m->count++] = entry;
        return 0;
    }
    // Inserting at the ordered place gives the same array as appending and re-sorting.
    char **end = m->entries + m->count;
    char **at = std::upper_bound(m->entries, end, entry,
                                 [m](const char *a, const char *b) { return key_less(m, a, b); });
    std::memmove(at + 1, at, static_cast<size_t>(end - at) * sizeof(char *));
    *at = entry;
    ++m->count;
    return 0;
}

int str_map_set(str_map *m, const char *key, const void *value) {
    PAL_ASSERT_RET(m != nullptr, -1);
    PAL_ASSERT_RET(key != nullptr, -1);
    PAL_ASSERT_RET(value_ok(m, value), -1);
    int64_t index = str_map_find(m, key);
    if (index < 0) return str_map_add(m, key, value);
    char *entry = m->entries[index];
    char *at = value_at(m, entry);
    if (!value_inline(m)) {
        void *old = read_word(at);
        if (owns_pointers(m) && old != value) mem_free(old);
        write_word(at, value);
        return 0;
    }
    const auto *text = static_cast<const char *>(value);
    size_t new_len = std::strlen(text);
    if (new_len <= std::strlen(at)) {
        std::memmove(at, text, new_len + 1);
        return 0;
    }
    size_t key_size = static_cast<size_t>(at - entry);
    auto *nval = static_cast<char *>(mem_malloc(key_size + new_len + 1));
    PAL_ASSERT_RET(nval, -1);
    std::memcpy(nval, entry, key_size);
    std::memcpy(nval + key_size, text, new_len + 1);
    m->entries[index] = nval;
    mem_free(entry);
    return 0;
}

void *str_map_get(const str_map *m, const char *key) {
    int64_t index = str_map_find(m, key);
    if (index < 0) return nullptr;
    return entry_value(m, m->entries[index]);
}

const char *str_map_key_at(const str_map *m, uint64_t index) {
    PAL_ASSERT_RET(m != nullptr, nullptr);
    if (index >= m->count) return nullptr;
    return entry_key(m, m->entries[index]);
}

void *str_map_value_at(const str_map *m, uint64_t index) {
    PAL_ASSERT_RET(m != nullptr, nullptr);
    if (index >= m->count) return nullptr;
    return entry_value(m, m->entries[index]);
}
