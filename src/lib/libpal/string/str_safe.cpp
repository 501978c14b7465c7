#define LOG_TAG "pal"
#include "libpal/string/str_safe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_error.h"
#include "libpal/string/str_tool.h"

namespace {

constexpr const char *EXPR_VAL = "_Expr_val";

int contract_fail(const char *expr) {
    LOGE("expr[%s]: %s\n", EXPR_VAL, expr);
    assert_dump_stack();
    errno = EINVAL;
    return EINVAL;
}

bool dest_bad(const char *dest, size_t size) { return dest == nullptr || size == 0; }

int overflow(char *dest, size_t size, const char *src, size_t need, int report) {
    if (!report) {
        dest[size - 1] = 0;
        return 0;
    }
    char head[16];
    str_get_head(src, head);
    LOGE("need_size=%d buf_size=%u head=[%s]\n", static_cast<int>(need), static_cast<unsigned>(size),
         head);
    assert_dump_stack();
    dest[0] = 0;
    errno = ERANGE;
    return ERANGE;
}

}  // namespace

int str_safecopy_imp(char *dest, size_t size, const char *src, int report) {
    if (dest_bad(dest, size)) return contract_fail("(dest) != NULL && (size) > 0");
    if (!src) {
        dest[0] = 0;
        return contract_fail("(src) != NULL");
    }
    size_t i = 0;
    for (; i < size; ++i) {
        dest[i] = src[i];
        if (src[i] == 0) return 0;
    }
    return overflow(dest, size, src, std::strlen(src) + 1, report);
}

int str_safecat_imp(char *dest, size_t size, const char *src, int report) {
    if (dest_bad(dest, size)) return contract_fail("(dest) != NULL && (size) > 0");
    if (!src) {
        dest[0] = 0;
        return contract_fail("(src) != NULL");
    }
    auto *end = static_cast<char *>(std::memchr(dest, 0, size));
    if (!end) {
        dest[0] = 0;
        return contract_fail("(\"String is not null terminated\" && 0)");
    }
    size_t pos = static_cast<size_t>(end - dest);
    const char *from = src;
    while (pos < size) {
        dest[pos] = *from;
        if (*from == 0) return 0;
        ++pos;
        ++from;
    }
    return overflow(dest, size, src, size + 1 + std::strlen(from), report);
}

int strcat_vprintf(char *buf, size_t size, const char *fmt, va_list args) {
    if (dest_bad(buf, size)) return contract_fail("(dest) != NULL && (size) > 0");
    // An unterminated buffer counts as full rather than being read past its end.
    size_t pos = strnlen(buf, size);
    if (pos >= size) return -1;
    size_t room = size - pos;
    int n = std::vsnprintf(buf + pos, room, fmt, args);
    if (n < 0) return static_cast<int>(pos);
    if (static_cast<size_t>(n) >= room) {
        PAL_ASSERT_REPORT("ret<clen");
    }
    return static_cast<int>(pos) + n;
}

int strcat_printf(char *buf, size_t size, const char *fmt, ...) {
    if (dest_bad(buf, size)) return contract_fail("(dest) != NULL && (size) > 0");
    va_list args;
    va_start(args, fmt);
    int r = strcat_vprintf(buf, size, fmt, args);
    va_end(args);
    return r;
}

int str_sprintf_s(char *buf, size_t size, const char *fmt, ...) {
    if (dest_bad(buf, size)) return contract_fail("(dest) != NULL && (size) > 0");
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, size, fmt, args);
    va_end(args);
    if (n < 0) {
        int eno = errno;
        buf[0] = 0;
        LOGE("buf_size=%u fmt=[%s] eno=[%d] [%s]\n", static_cast<unsigned>(size), fmt, eno,
             os_strerror(eno));
        assert_dump_stack();
        return -1;
    }
    if (static_cast<size_t>(n) >= size) {
        LOGE("need_size=%u buf_size=%u fmt=[%s]\n", static_cast<unsigned>(n + 1),
             static_cast<unsigned>(size), fmt);
        assert_dump_stack();
    }
    return n;
}

size_t str_copy_trunc(char *dest, size_t size, const char *src) {
    if (str_safecopy_imp(dest, size, src, 0) != 0) return size;
    return std::strlen(dest);
}

char *str_quote_show(const char *text, char *out, size_t size) {
    if (!text || !*text) {
        str_copy_trunc(out, size, "''");
    } else if (std::strpbrk(text, " \t;") && text[0] != '\'') {
        if (size > 0) out[0] = 0;
        strcat_printf(out, size, "'%s'", text);
    } else {
        str_copy_trunc(out, size, text);
    }
    return out;
}

int mem_add_str(void *dest, size_t space, const void *src, size_t n) {
    PAL_CHECK_RET(dest != nullptr && src != nullptr, "dest!=NULL && src!=NULL", -1);
    if (n > space) {
        PAL_ASSERT_REPORT("slen <= blen");
        return -1;
    }
    std::memcpy(dest, src, n);
    return static_cast<int>(n);
}

int mem_add_strs(void *dest, size_t space, ...) {
    va_list args;
    va_start(args, space);
    PAL_CHECK_RET(dest != nullptr, "dest!=NULL", -1);
    auto *out = static_cast<char *>(dest);
    size_t used = 0;
    while (const char *s = va_arg(args, const char *)) {
        int n = mem_add_str(out + used, space - used, s, std::strlen(s) + 1);
        if (n < 0) {
            va_end(args);
            return -1;
        }
        used += static_cast<size_t>(n);
    }
    va_end(args);
    return static_cast<int>(used);
}
