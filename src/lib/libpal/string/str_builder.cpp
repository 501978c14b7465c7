#define LOG_TAG "pal"
#include "libpal/string/str_builder.h"

#include <cerrno>
#include <cstring>

#include "libpal/env/malloc.h"
#include "libpal/os/os_error.h"
#include "libpal/basic/pal_assert.h"
#include "liblog/log2.h"

void *safe_malloc(size_t size) {
    void *p = mem_calloc(size);
    if (!p) LOG_FATAL("Failed to malloc %d bytes of memory: %s. Bailing out", static_cast<int>(size),
                      os_strerror(errno));
    return p;
}

char *safe_strdup(const char *text) {
    if (!text) {
        LOG_FATAL("safe_strdup called with NULL which would have crashed strdup. Bailing out");
    }
    char *copy = mem_strdup(text);
    if (!copy) LOG_FATAL("Failed to duplicate a string: %s. Bailing out", os_strerror(errno));
    return copy;
}

int safe_vasprintf(char **out, const char *fmt, va_list args) {
    int n = os_vasprintf_imp(out, fmt, args);
    if (n < 0) LOG_FATAL("Failed to vasprintf: %s. Bailing out", os_strerror(errno));
    return n;
}

void safe_realloc(str_buf *b, size_t new_cap) {
    size_t cap = b->cap;
    while (cap < new_cap) cap += STR_BUF_STEP;
    if (cap == b->cap) return;
    auto *text = static_cast<char *>(mem_realloc(b->text, cap));
    if (!text) {
        LOG_FATAL("Failed to realloc buffer to %d bytes of memory: %s. Bailing out", static_cast<int>(cap),
                  os_strerror(errno));
    }
    std::memset(text + b->cap, 0, cap - b->cap);
    b->text = text;
    b->cap = cap;
}

str_buf *str_buf_new() {
    auto *b = static_cast<str_buf *>(mem_calloc(sizeof(str_buf)));
    if (!b) return nullptr;
    b->text = static_cast<char *>(mem_calloc(STR_BUF_STEP));
    if (!b->text) {
        mem_free(b);
        return nullptr;
    }
    b->cap = STR_BUF_STEP;
    return b;
}

char *str_buf_add(str_buf *b, const void *bytes, size_t n) {
    PAL_CHECK_RET(b != nullptr, "b!=NULL", nullptr);
    PAL_CHECK_RET(bytes != nullptr || n == 0, "bytes!=NULL", b->text);
    if (b->cap < b->len + n + 1) safe_realloc(b, b->len + n + 1);
    if (b->cap < b->len + n + 1) return b->text;  // growth failed (process is ending)
    std::memcpy(b->text + b->len, bytes, n);
    b->len += n;
    b->text[b->len] = 0;
    return b->text;
}

char *str_buf_add_str(str_buf *b, const char *text) {
    PAL_CHECK_RET(b != nullptr, "b!=NULL", nullptr);
    if (!text || !*text) return b->text;
    return str_buf_add(b, text, std::strlen(text));
}

int str_buf_vprintf(str_buf *b, const char *fmt, va_list args) {
    PAL_CHECK_RET(b != nullptr && fmt != nullptr, "b!=NULL && fmt!=NULL", -1);
    char *text = nullptr;
    int n = safe_vasprintf(&text, fmt, args);
    if (n > 0) str_buf_add(b, text, static_cast<size_t>(n));
    mem_free(text);
    return n;
}

int str_buf_printf(str_buf *b, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = str_buf_vprintf(b, fmt, args);
    va_end(args);
    return n;
}

char *str_buf_take(str_buf *b) {
    if (!b) return nullptr;
    char *text = b->text;
    if (b->len == 0) {
        mem_free(text);
        text = nullptr;
    }
    mem_free(b);
    return text;
}

void str_buf_free(str_buf *b) {
    if (!b) return;
    mem_free(b->text);
    mem_free(b);
}
