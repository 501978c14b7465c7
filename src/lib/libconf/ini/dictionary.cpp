#define LOG_TAG "conf"
#include "libconf/ini/dictionary.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "liblog/log2.h"

namespace {

// Renamed keys are built here; longer results are cut.
constexpr size_t DICT_RENAME_MAX = 4096;

// A key cut to DICT_KEY_MAX bytes, held on the stack for one call.
struct CutKey {
    char text[DICT_KEY_MAX + 1];
    explicit CutKey(const char *key) {
        size_t n = strnlen(key, DICT_KEY_MAX);
        std::memcpy(text, key, n);
        text[n] = 0;
    }
};

char *dup_or_null(const char *text) { return text ? mem_strdup(text) : nullptr; }

// Open addressing over (hash, slot) pairs: a lookup compares the hash in
// the table and touches a key only when the hash matches, so that loading
// a large file costs one probe or two per line.
class DictIndex {
public:
    int32_t find(const IniDict *d, const char *key, uint32_t hash) const {
        if (cells_.empty()) return -1;
        for (size_t i = hash & mask(); cells_[i].slot != EMPTY; i = (i + 1) & mask()) {
            const Cell &c = cells_[i];
            if (c.slot >= 0 && c.hash == hash && std::strcmp(d->keys[c.slot], key) == 0) return c.slot;
        }
        return -1;
    }
    // False when memory runs out; the index is then unchanged.
    bool insert(uint32_t hash, int32_t slot) {
        if ((used_ + dead_ + 1) * 2 > cells_.size() && !rebuild(used_ + 1)) return false;
        size_t i = hash & mask();
        while (cells_[i].slot >= 0) i = (i + 1) & mask();
        if (cells_[i].slot == DEAD) --dead_;
        cells_[i] = {hash, slot};
        ++used_;
        return true;
    }
    void erase(uint32_t hash, int32_t slot) {
        if (cells_.empty()) return;
        for (size_t i = hash & mask(); cells_[i].slot != EMPTY; i = (i + 1) & mask()) {
            if (cells_[i].slot != slot) continue;
            cells_[i].slot = DEAD;
            --used_;
            ++dead_;
            return;
        }
    }
    bool reserve(size_t entries) { return (entries + dead_) * 2 <= cells_.size() || rebuild(entries); }

private:
    static constexpr int32_t EMPTY = -1;
    static constexpr int32_t DEAD = -2;
    struct Cell {
        uint32_t hash;
        int32_t slot;
    };
    size_t mask() const { return cells_.size() - 1; }
    bool rebuild(size_t entries) {
        size_t size = 64;
        while (size < entries * 2 + 2) size *= 2;
        std::vector<Cell> grown;
        try {
            grown.assign(size, Cell{0, EMPTY});
        } catch (const std::bad_alloc &) {
            return false;
        }
        for (const Cell &c : cells_) {
            if (c.slot < 0) continue;
            size_t i = c.hash & (size - 1);
            while (grown[i].slot != EMPTY) i = (i + 1) & (size - 1);
            grown[i] = c;
        }
        cells_.swap(grown);
        dead_ = 0;
        return true;
    }
    std::vector<Cell> cells_;
    size_t used_ = 0;
    size_t dead_ = 0;
};

DictIndex *index_of(const IniDict *d) { return static_cast<DictIndex *>(d->index); }

void free_slot(IniDict *d, int32_t i) {
    index_of(d)->erase(d->hashes[i], i);
    mem_free(d->keys[i]);
    mem_free(d->values[i]);
    mem_free(d->comments[i]);
    d->keys[i] = nullptr;
    d->values[i] = nullptr;
    d->comments[i] = nullptr;
    d->hashes[i] = 0;
    d->lines[i] = 0;
    d->marks[i] = 0;
    --d->count;
}

template <typename T>
bool grow_array(T **array, int32_t old_size, int32_t new_size) {
    auto *grown = static_cast<T *>(mem_realloc(*array, sizeof(T) * static_cast<size_t>(new_size)));
    if (!grown) return false;
    std::memset(grown + old_size, 0, sizeof(T) * static_cast<size_t>(new_size - old_size));
    *array = grown;
    return true;
}

// Doubles every array. On failure the arrays grown so far keep their larger
// blocks but size stays, so the dictionary remains consistent.
bool dictionary_grow(IniDict *d) {
    if (d->size > INT32_MAX / 2) return false;
    int32_t new_size = d->size * 2;
    if (!grow_array(&d->values, d->size, new_size) || !grow_array(&d->keys, d->size, new_size) ||
        !grow_array(&d->comments, d->size, new_size) || !grow_array(&d->hashes, d->size, new_size) ||
        !grow_array(&d->lines, d->size, new_size) || !grow_array(&d->marks, d->size, new_size))
        return false;
    d->size = new_size;
    return true;
}

// True when key equals section or begins with section and a tab.
bool in_section_or_is(const char *key, const char *section, size_t section_len) {
    return std::strncmp(key, section, section_len) == 0 &&
           (key[section_len] == 0 || key[section_len] == '\t');
}

}  // namespace

uint32_t dictionary_hash(const char *key) {
    uint32_t h = 0;
    for (const char *p = key; *p; ++p) {
        h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

IniDict *dictionary_new(int32_t size) {
    if (size < DICT_MIN_SIZE) size = DICT_MIN_SIZE;
    auto *d = static_cast<IniDict *>(mem_calloc(sizeof(IniDict)));
    if (!d) return nullptr;
    d->size = size;
    auto n = static_cast<size_t>(size);
    d->values = static_cast<char **>(mem_calloc(n * sizeof(char *)));
    d->keys = static_cast<char **>(mem_calloc(n * sizeof(char *)));
    d->comments = static_cast<char **>(mem_calloc(n * sizeof(char *)));
    d->hashes = static_cast<uint32_t *>(mem_calloc(n * sizeof(uint32_t)));
    d->lines = static_cast<int32_t *>(mem_calloc(n * sizeof(int32_t)));
    d->marks = static_cast<uint8_t *>(mem_calloc(n));
    d->index = new (std::nothrow) DictIndex();
    if (!d->values || !d->keys || !d->comments || !d->hashes || !d->lines || !d->marks || !d->index) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

void dictionary_del(IniDict *d) {
    if (!d) return;
    if (d->keys) {
        for (int32_t i = 0; i < d->size; ++i) {
            if (!d->keys[i]) continue;
            mem_free(d->keys[i]);
            mem_free(d->values[i]);
            mem_free(d->comments[i]);
        }
    }
    mem_free(d->values);
    mem_free(d->keys);
    mem_free(d->comments);
    mem_free(d->hashes);
    mem_free(d->lines);
    mem_free(d->marks);
    delete index_of(d);
    mem_free(d->trailer);
    mem_free(d);
}

int32_t dictionary_find(const IniDict *d, const char *key) {
    PAL_ASSERT_RET(d != nullptr, -1);
    PAL_ASSERT_RET(key != nullptr, -1);
    CutKey cut(key);
    return index_of(d)->find(d, cut.text, dictionary_hash(cut.text));
}

const char *dictionary_get(const IniDict *d, const char *key, const char *def) {
    int32_t slot = dictionary_find(d, key);
    return slot < 0 ? def : d->values[slot];
}

int dictionary_set(IniDict *d, const char *key, const char *value, const char *comment) {
    return dictionary_set_line(d, key, value, comment, -1, 0);
}

int dictionary_set_line(IniDict *d, const char *key, const char *value, const char *comment, int32_t line,
                        uint8_t marks) {
    PAL_ASSERT_RET(d != nullptr, -1);
    PAL_ASSERT_RET(key != nullptr, -1);
    CutKey cut(key);
    uint32_t hash = dictionary_hash(cut.text);
    DictIndex *index = index_of(d);
    int32_t slot = index->find(d, cut.text, hash);
    if (slot >= 0) {
        char *copy = dup_or_null(value);
        if (value && !copy) return -1;
        mem_free(d->values[slot]);
        d->values[slot] = copy;
        if (line >= 0) {
            d->lines[slot] = line;
            d->marks[slot] = marks;
        }
        return 0;
    }
    if (d->count >= d->size && !dictionary_grow(d)) return -1;
    char *key_copy = mem_strdup(cut.text);
    char *value_copy = dup_or_null(value);
    char *comment_copy = (comment && *comment) ? mem_strdup(comment) : nullptr;
    if (!key_copy || (value && !value_copy) || (comment && *comment && !comment_copy)) {
        mem_free(key_copy);
        mem_free(value_copy);
        mem_free(comment_copy);
        return -1;
    }
    // First free slot at or after count, wrapping to 0: a slot freed below
    // count is reused only once the slots above it are taken.
    slot = d->count;
    while (d->keys[slot]) slot = (slot + 1) % d->size;
    if (!index->insert(hash, slot)) {
        mem_free(key_copy);
        mem_free(value_copy);
        mem_free(comment_copy);
        return -1;
    }
    d->keys[slot] = key_copy;
    d->values[slot] = value_copy;
    d->comments[slot] = comment_copy;
    d->hashes[slot] = hash;
    d->lines[slot] = line > 0 ? line : 0;
    d->marks[slot] = line >= 0 ? marks : 0;
    ++d->count;
    return 0;
}

int dictionary_set_origin(IniDict *d, const char *key, int32_t line, uint8_t marks) {
    int32_t slot = dictionary_find(d, key);
    if (slot < 0) return -1;
    d->lines[slot] = line;
    d->marks[slot] = marks;
    return 0;
}

int dictionary_unset(IniDict *d, const char *key) {
    int32_t slot = dictionary_find(d, key);
    if (slot < 0) return -1;
    free_slot(d, slot);
    return 0;
}

int dictionary_del_section(IniDict *d, const char *section) {
    PAL_ASSERT_RET(d != nullptr, -1);
    PAL_ASSERT_RET(section != nullptr, -1);
    CutKey cut(section);
    size_t len = std::strlen(cut.text);
    int removed = 0;
    for (int32_t i = 0; i < d->size; ++i) {
        if (d->keys[i] && in_section_or_is(d->keys[i], cut.text, len)) {
            free_slot(d, i);
            ++removed;
        }
    }
    return removed ? 0 : -2;
}

int dictionary_secrename(IniDict *d, const char *old_name, const char *new_name) {
    PAL_ASSERT_RET(d != nullptr, -1);
    PAL_ASSERT_RET(old_name != nullptr, -1);
    PAL_ASSERT_RET(new_name != nullptr, -1);
    CutKey old_cut(old_name);
    CutKey new_cut(new_name);
    if (dictionary_find(d, new_cut.text) >= 0) {
        LOGE("nsec=%s exist error\n", new_cut.text);
        return -1;
    }
    size_t old_len = std::strlen(old_cut.text);
    // Build every new key first, so that a failed allocation renames nothing.
    int matched = 0;
    for (int32_t i = 0; i < d->size; ++i)
        if (d->keys[i] && in_section_or_is(d->keys[i], old_cut.text, old_len)) ++matched;
    if (!matched) return -2;
    auto **renamed = static_cast<char **>(mem_calloc(sizeof(char *) * static_cast<size_t>(matched)));
    if (!renamed) return -1;
    DictIndex *index = index_of(d);
    // Room for the new names first, so that the swap below cannot fail half way.
    if (!index->reserve(static_cast<size_t>(d->count) + static_cast<size_t>(matched))) {
        mem_free(renamed);
        return -1;
    }
    int built = 0;
    for (int32_t i = 0; i < d->size && built < matched; ++i) {
        if (!d->keys[i] || !in_section_or_is(d->keys[i], old_cut.text, old_len)) continue;
        char text[DICT_RENAME_MAX];
        std::snprintf(text, sizeof text, "%s%s", new_cut.text, d->keys[i] + old_len);
        renamed[built] = mem_strdup(text);
        if (!renamed[built]) {
            for (int k = 0; k < built; ++k) mem_free(renamed[k]);
            mem_free(renamed);
            return -1;
        }
        ++built;
    }
    built = 0;
    for (int32_t i = 0; i < d->size && built < matched; ++i) {
        if (!d->keys[i] || !in_section_or_is(d->keys[i], old_cut.text, old_len)) continue;
        index->erase(d->hashes[i], i);
        mem_free(d->keys[i]);
        d->keys[i] = renamed[built++];
        d->hashes[i] = dictionary_hash(d->keys[i]);
        index->insert(d->hashes[i], i);  // room was reserved above
    }
    mem_free(renamed);
    return 0;
}

const char *dictionary_key_in_section(const char *key, const char *section, size_t section_len) {
    if (!key || std::strncmp(key, section, section_len) != 0 || key[section_len] != '\t')
        return nullptr;
    return key + section_len + 1;
}
