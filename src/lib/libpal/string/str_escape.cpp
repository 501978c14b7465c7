#define LOG_TAG "pal"
#include "libpal/string/str_escape.h"

#include <array>
#include <cstring>

#include "libpal/basic/pal_assert.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

enum class url_state { normal, after_percent, one_digit };

// Short escapes by byte value; 0 means the byte needs no short form.
constexpr std::array<char, 0x20> SHORT_ESCAPE = [] {
    std::array<char, 0x20> t{};
    t[0x08] = 'b';
    t[0x09] = 't';
    t[0x0A] = 'n';
    t[0x0C] = 'f';
    t[0x0D] = 'r';
    return t;
}();

constexpr char HEX_UPPER[] = "0123456789ABCDEF";

size_t json_size(unsigned char c) {
    if (c == '"' || c == '\\') return 2;
    if (c >= 0x20) return 1;
    return SHORT_ESCAPE[c] ? 2 : 6;
}

}  // namespace

int str_unescape_url_args(const char *src, char *out, size_t out_size) {
    PAL_ASSERT_RET(src != nullptr, -1);
    PAL_ASSERT_RET(out != nullptr, -1);
    size_t len = std::strlen(src) + 1;
    if (len > out_size) {
        if (out_size > 0) out[0] = 0;
        PAL_ASSERT_REPORT("len<=bsize");
        return -1;
    }
    // Every input byte writes at most one output byte, so out cannot overflow.
    url_state state = url_state::normal;
    int first_digit = 0;
    size_t pos = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = src[i];
        switch (state) {
            case url_state::normal:
                if (c == '%')
                    state = url_state::after_percent;
                else
                    out[pos++] = c;
                break;
            case url_state::after_percent:
                first_digit = hex_value(c);
                if (first_digit >= 0) {
                    state = url_state::one_digit;
                } else {
                    out[pos++] = c;
                    state = url_state::normal;
                }
                break;
            case url_state::one_digit: {
                int second = hex_value(c);
                if (second >= 0) out[pos++] = static_cast<char>(first_digit * 16 + second);
                state = url_state::normal;
                break;
            }
        }
    }
    // An escape cut off by the end swallows the terminator; put one back.
    if (pos < len) out[pos] = 0;
    return 0;
}

size_t str_escape_json(char *dst, const char *src, size_t len) {
    PAL_ASSERT_RET(src != nullptr, 0);
    const auto *bytes = reinterpret_cast<const unsigned char *>(src);
    if (!dst) {
        size_t need = 0;
        for (size_t i = 0; i < len; ++i) need += json_size(bytes[i]);
        return need;
    }
    char *out = dst;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = static_cast<char>(c);
        } else if (c >= 0x20) {
            *out++ = static_cast<char>(c);
        } else if (SHORT_ESCAPE[c]) {
            *out++ = '\\';
            *out++ = SHORT_ESCAPE[c];
        } else {
            std::memcpy(out, "\\u00", 4);
            out[4] = HEX_UPPER[c >> 4];
            out[5] = HEX_UPPER[c & 0x0F];
            out += 6;
        }
    }
    return static_cast<size_t>(out - dst);
}
