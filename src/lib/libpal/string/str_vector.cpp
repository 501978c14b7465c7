#define LOG_TAG "pal"
#include "libpal/string/str_vector.h"

#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"

namespace {

constexpr uint64_t FIRST_CAPACITY = 16;

// A work buffer carries a link to the buffer it replaced. In reference mode the
// items of an earlier split still point into that one, so it lives until clear.
constexpr size_t WORK_LINK = sizeof(char *);

bool owns_copies(const str_vector *v) { return (v->flags & STR_VECTOR_COPY) != 0; }

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool same_text(const char *a, const char *b, bool icase) {
    if (!icase) return std::strcmp(a, b) == 0;
    for (; *a && fold(*a) == fold(*b); ++a, ++b) {
    }
    return fold(*a) == fold(*b);
}

// Makes room for one more slot. Existing items stay put when it fails.
bool ensure_slot(str_vector *v) {
    if (v->items && v->count < v->capacity) return true;
    uint64_t cap = v->capacity ? v->capacity * 2 : FIRST_CAPACITY;
    auto *items = static_cast<char **>(mem_realloc(v->items, cap * sizeof(char *)));
    if (!items) return false;
    v->items = items;
    v->capacity = cap;
    return true;
}

// Drops items added after keep (a failed split), freeing their copies.
void truncate_to(str_vector *v, uint64_t keep) {
    if (owns_copies(v))
        for (uint64_t i = keep; i < v->count; ++i) mem_free(v->items[i]);
    v->count = keep;
    if (v->items && v->count < v->capacity) v->items[v->count] = nullptr;
}

// Stores the NULL behind the last item so the array doubles as a list.
bool terminate(str_vector *v) {
    if (!ensure_slot(v)) return false;
    v->items[v->count] = nullptr;
    return true;
}

char *work_prev(char *work) {
    char *prev;
    std::memcpy(&prev, work - WORK_LINK, sizeof prev);
    return prev;
}

void work_free_all(char *work) {
    while (work) {
        char *prev = work_prev(work);
        mem_free(work - WORK_LINK);
        work = prev;
    }
}

// New work buffer holding a copy of text; the old one is kept (linked) only when
// reference items may still point into it.
bool work_replace(str_vector *v, const char *text) {
    size_t n = std::strlen(text) + 1;
    auto *block = static_cast<char *>(mem_malloc(WORK_LINK + n));
    if (!block) return false;
    char *prev = nullptr;
    if (v->work) {
        if (!owns_copies(v) && v->count > 0) {
            prev = v->work;
        } else {
            work_free_all(v->work);
        }
    }
    std::memcpy(block, &prev, sizeof prev);
    std::memcpy(block + WORK_LINK, text, n);
    v->work = block + WORK_LINK;
    v->work_size = n;
    return true;
}

int split_plain(str_vector *v, char *text, const char *separators) {
    uint64_t keep = v->count;
    char *piece = text;
    if (*separators) {
        for (char *p = text; *p; ++p) {
            if (!std::strchr(separators, *p)) continue;
            *p = 0;
            if (str_vector_add(v, piece) != 0) {
                truncate_to(v, keep);
                return -1;
            }
            piece = p + 1;
        }
    }
    if (str_vector_add(v, piece) != 0 || !terminate(v)) {
        truncate_to(v, keep);
        return -1;
    }
    return 0;
}

int split_quoted(str_vector *v, char *text) {
    uint64_t keep = v->count;
    bool quoted = false;
    char *piece = text;
    for (char *p = text; *p; ++p) {
        if (*p == '"' || *p == '\'') {
            quoted = !quoted;
        } else if (*p == ';' && !quoted) {
            *p = 0;
            if (str_vector_add(v, piece) != 0) {
                truncate_to(v, keep);
                return -1;
            }
            piece = p + 1;
        }
    }
    if ((*piece && str_vector_add(v, piece) != 0) || !terminate(v)) {
        truncate_to(v, keep);
        return -1;
    }
    return 0;
}

}  // namespace

int str_vector_init(str_vector *v, uint32_t flags) {
    PAL_ASSERT_RET(v != nullptr, -1);
    std::memset(v, 0, sizeof *v);
    if (!(flags & STR_VECTOR_MODE_MASK)) flags |= STR_VECTOR_REF;
    v->flags = flags;
    return 0;
}

str_vector *str_vector_new(uint32_t flags) {
    auto *v = static_cast<str_vector *>(mem_malloc(sizeof(str_vector)));
    if (!v) return nullptr;
    str_vector_init(v, flags);
    v->heap = 1;
    return v;
}

int str_vector_destroy(str_vector *v) {
    PAL_ASSERT_RET(v != nullptr, -1);
    str_vector_clear(v);
    if (v->heap) mem_free(v);
    return 0;
}

int str_vector_clear(str_vector *v) {
    PAL_ASSERT_RET(v != nullptr, -1);
    if (owns_copies(v))
        for (uint64_t i = 0; i < v->count; ++i) mem_free(v->items[i]);
    mem_free(v->items);
    work_free_all(v->work);
    v->items = nullptr;
    v->count = 0;
    v->capacity = 0;
    v->work = nullptr;
    v->work_size = 0;
    return 0;
}

int str_vector_add(str_vector *v, const char *text) {
    PAL_ASSERT_RET(v != nullptr, -1);
    PAL_ASSERT_RET(text != nullptr, -1);
    if ((v->flags & STR_VECTOR_SKIP_EMPTY) && !*text) return 0;
    if (!ensure_slot(v)) return -1;
    if ((v->flags & STR_VECTOR_UNIQUE) && str_vector_find(v, text) >= 0) return 0;
    char *item = const_cast<char *>(text);
    if (owns_copies(v)) {
        item = mem_strdup(text);
        if (!item) return -1;
    }
    v->items[v->count++] = item;
    return 0;
}

int64_t str_vector_find(const str_vector *v, const char *text) {
    PAL_ASSERT_RET(v != nullptr, -1);
    PAL_ASSERT_RET(text != nullptr, -1);
    bool icase = (v->flags & STR_VECTOR_ICASE) != 0;
    for (uint64_t i = 0; i < v->count; ++i)
        if (same_text(v->items[i], text, icase)) return static_cast<int64_t>(i);
    return -1;
}

int str_vector_split(str_vector *v, char *text, const char *separators) {
    PAL_ASSERT_RET(v != nullptr, -1);
    PAL_ASSERT_RET(text != nullptr, -1);
    PAL_ASSERT_RET(separators != nullptr, -1);
    return split_plain(v, text, separators);
}

int str_split_esape(const char *text, str_vector *v) {
    PAL_ASSERT_RET(text != nullptr, -1);
    PAL_ASSERT_RET(v != nullptr, -1);
    if (!work_replace(v, text)) return -1;
    size_t quotes = 0;
    for (const char *p = v->work; *p; ++p)
        if (*p == '"' || *p == '\'') ++quotes;
    if (quotes % 2 != 0) {
        LOGE("syntax error\n");
        return -1;
    }
    if (quotes == 0) return split_plain(v, v->work, ";");
    return split_quoted(v, v->work);
}
