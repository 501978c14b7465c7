#define LOG_TAG "pal"
#include "libpal/string/str_tool.h"

#include <cstring>

#include "libpal/basic/pal_assert.h"

namespace {

constexpr char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool is_space(unsigned char c) { return c < 0x80 && (c == ' ' || (c >= '\t' && c <= '\r')); }

}  // namespace

const char *str_istr(const char *text, const char *sub) {
    PAL_CHECK_RET(text != nullptr, "pstr!=NULL", nullptr);
    PAL_CHECK_RET(sub != nullptr, "psubstr!=NULL", nullptr);
    size_t tn = std::strlen(text), sn = std::strlen(sub);
    if (tn < sn) return nullptr;
    for (size_t i = 0; i + sn <= tn; ++i) {
        size_t k = 0;
        while (k < sn && fold(text[i + k]) == fold(sub[k])) ++k;
        if (k == sn) return text + i;
    }
    return nullptr;
}

bool str_starts_with(const char *text, const char *prefix) {
    PAL_CHECK_RET(text != nullptr && prefix != nullptr, "text!=NULL && prefix!=NULL", false);
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool str_istarts_with(const char *text, const char *prefix) {
    PAL_CHECK_RET(text != nullptr && prefix != nullptr, "text!=NULL && prefix!=NULL", false);
    for (; *prefix && *prefix != ' '; ++prefix, ++text) {
        if (fold(*text) != fold(*prefix)) return false;
    }
    return true;
}

bool str_ends_with(const char *text, const char *suffix) {
    PAL_CHECK_RET(text != nullptr && suffix != nullptr, "text!=NULL && suffix!=NULL", false);
    size_t tn = std::strlen(text), sn = std::strlen(suffix);
    return tn >= sn && std::memcmp(text + tn - sn, suffix, sn) == 0;
}

bool str_iends_with(const char *text, const char *suffix) {
    PAL_CHECK_RET(text != nullptr && suffix != nullptr, "text!=NULL && suffix!=NULL", false);
    size_t tn = std::strlen(text), sn = std::strlen(suffix);
    if (tn < sn) return false;
    const char *t = text + tn - sn;
    for (size_t i = 0; i < sn; ++i)
        if (fold(t[i]) != fold(suffix[i])) return false;
    return true;
}

const char *str_last_slash(const char *path, size_t len) {
    PAL_CHECK_RET(path != nullptr, "path!=NULL", nullptr);
    const char *last = nullptr;
    for (size_t i = 0; i < len && path[i]; ++i)
        if (path[i] == '/' || path[i] == '\\') last = path + i;
    return last;
}

const char *str_copy_until(const char *text, const char *delims, char *buf, size_t buf_size) {
    PAL_CHECK_RET(text != nullptr && delims != nullptr && buf != nullptr,
                  "text!=NULL && delims!=NULL && buf!=NULL", nullptr);
    size_t n = std::strcspn(text, delims);
    if (n + 1 > buf_size) return nullptr;
    std::memcpy(buf, text, n);
    buf[n] = 0;
    return text + n;
}

char *str_get_head(const char *text, char *buf) {
    PAL_CHECK_RET(text != nullptr, "info!=NULL", nullptr);
    PAL_CHECK_RET(buf != nullptr, "buf!=NULL", nullptr);
    size_t out = 0;
    for (size_t i = 0; i < 15 && text[i]; ++i)
        if (text[i] != '\r' && text[i] != '\n') buf[out++] = text[i];
    buf[out] = 0;
    return buf;
}

char *str_trim(char *text) {
    PAL_CHECK_RET(text != nullptr, "text!=NULL", nullptr);
    size_t n = std::strlen(text);
    while (n > 0 && is_space(static_cast<unsigned char>(text[n - 1]))) --n;
    text[n] = 0;
    size_t start = 0;
    while (is_space(static_cast<unsigned char>(text[start]))) ++start;
    if (start) std::memmove(text, text + start, n - start + 1);
    return text;
}
