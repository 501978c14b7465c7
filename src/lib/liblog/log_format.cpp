#include "liblog/log_format.h"

#include <cstdint>
#include <cstring>

#include "liblog/log_cache.h"

namespace {

struct conversion {
    bool left = false;  // '-'
    bool zero = false;  // '0'
    int width = 0;
    int precision = -1;
    int size = 0;  // 0 int, 1 long, 2 long long, 3 size_t
};

// The runs of a log format and most texts are a few bytes: a loop copies
// them for less than a call would cost.
inline void copy_bytes(char *to, const char *from, size_t n) {
    if (n > 16) {
        std::memcpy(to, from, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

class out_buf {
public:
    out_buf(char *out, size_t size) : p_(out), end_(out + size - 1) {}
    bool put(char c) {
        if (p_ >= end_) return false;
        *p_++ = c;
        return true;
    }
    bool put(const char *s, size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) return false;
        copy_bytes(p_, s, n);
        p_ += n;
        return true;
    }
    bool pad(char c, int n) {
        if (n <= 0) return true;
        if (end_ - p_ < n) return false;
        std::memset(p_, c, static_cast<size_t>(n));
        p_ += n;
        return true;
    }
    // Copies from s up to its next '%' or its end and leaves s there; false
    // when the room ends first.
    bool put_until_percent(const char *&s) {
        const char *stop = strchrnul(s, '%');
        auto n = static_cast<size_t>(stop - s);
        if (static_cast<size_t>(end_ - p_) < n) return false;
        copy_bytes(p_, s, n);
        p_ += n;
        s = stop;
        return true;
    }
    // Room for n bytes that the caller fills in, or null.
    char *take(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) return nullptr;
        char *at = p_;
        p_ += n;
        return at;
    }
    char *pos() const { return p_; }

private:
    char *p_;
    char *end_;  // the last byte stays for the NUL
};

// The count digits of value in base at `at`, most significant first.
// Each base has its own loop: a division by a constant is a multiplication,
// one by a variable costs tens of cycles per digit.
void put_digits(char *at, uint64_t value, int count, unsigned base, bool upper) {
    char *end = at + count;
    if (base == 16) {
        const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            *--end = digits[value & 15];
            value >>= 4;
        } while (value);
        return;
    }
    for (; value > 0xFFFFFFFFu; value /= 10) *--end = static_cast<char>('0' + value % 10);
    log_put_digits(at, static_cast<uint32_t>(value), static_cast<int>(end - at));
}

int digit_count(uint64_t value, unsigned base) {
    if (base != 16) return log_digit_count(value);
    int n = 1;
    while (value >>= 4) ++n;
    return n;
}

// Digits, sign and padding go straight into the output, the digits last to
// first from where they end: a number is a few bytes, less than what a call
// to copy them would cost.
bool put_number(out_buf &out, const conversion &sp, uint64_t magnitude, bool negative, unsigned base, bool upper) {
    int count = digit_count(magnitude, base);
    int len = count + (negative ? 1 : 0);
    int fill = sp.width > len ? sp.width - len : 0;
    char *at = out.take(static_cast<size_t>(len + fill));
    if (!at) return false;
    auto pad = [&at](char c, int n) {
        for (int i = 0; i < n; ++i) *at++ = c;
    };
    if (!sp.left && !sp.zero) pad(' ', fill);
    if (negative) *at++ = '-';
    if (!sp.left && sp.zero) pad('0', fill);
    put_digits(at, magnitude, count, base, upper);
    at += count;
    if (sp.left) pad(' ', fill);
    return true;
}

bool put_text(out_buf &out, const conversion &sp, const char *s, size_t n) {
    int fill = sp.width - static_cast<int>(n);
    if (!sp.left && !out.pad(' ', fill)) return false;
    if (!out.put(s, n)) return false;
    return !sp.left || out.pad(' ', fill);
}

int64_t signed_arg(const conversion &sp, va_list &args) {
    switch (sp.size) {
    case 1: return va_arg(args, long);
    case 2: return va_arg(args, long long);
    case 3: return static_cast<int64_t>(va_arg(args, size_t));  // %zd: the signed type of size_t
    default: return va_arg(args, int);
    }
}

uint64_t unsigned_arg(const conversion &sp, va_list &args) {
    switch (sp.size) {
    case 1: return va_arg(args, unsigned long);
    case 2: return va_arg(args, unsigned long long);
    case 3: return va_arg(args, size_t);
    default: return va_arg(args, unsigned int);
    }
}

}  // namespace

int log_vformat(char *out_text, size_t size, const char *fmt, va_list args) {
    if (size == 0) return LOG_FORMAT_NO_ROOM;
    out_buf out(out_text, size);
    va_list ap;
    va_copy(ap, args);
    int result = 0;
    const char *f = fmt;
    while (*f) {
        // Plain text is copied in the same pass that looks for the next
        // conversion: the runs between conversions are short.
        if (!out.put_until_percent(f)) {
            result = LOG_FORMAT_NO_ROOM;
            break;
        }
        if (!*f) break;
        ++f;
        conversion sp;
        for (;; ++f) {
            if (*f == '-') {
                sp.left = true;
            } else if (*f == '0') {
                sp.zero = true;
            } else {
                break;
            }
        }
        while (*f >= '0' && *f <= '9' && sp.width < 100000) sp.width = sp.width * 10 + (*f++ - '0');
        if (*f == '.') {
            ++f;
            sp.precision = 0;
            while (*f >= '0' && *f <= '9' && sp.precision < 100000) sp.precision = sp.precision * 10 + (*f++ - '0');
        }
        if (*f == 'l') {
            ++f;
            sp.size = 1;
            if (*f == 'l') {
                ++f;
                sp.size = 2;
            }
        } else if (*f == 'z') {
            ++f;
            sp.size = 3;
        }
        if (sp.left) sp.zero = false;
        char conv = *f ? *f++ : 0;
        bool ok = true;
        switch (conv) {
        case 'd':
        case 'i': {
            if (sp.precision >= 0) {
                result = LOG_FORMAT_UNSUPPORTED;
                break;
            }
            int64_t v = signed_arg(sp, ap);
            uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            ok = put_number(out, sp, magnitude, v < 0, 10, false);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
            if (sp.precision >= 0) {
                result = LOG_FORMAT_UNSUPPORTED;
                break;
            }
            ok = put_number(out, sp, unsigned_arg(sp, ap), false, conv == 'u' ? 10 : 16, conv == 'X');
            break;
        case 's': {
            const char *s = va_arg(ap, const char *);
            if (!s || sp.zero || sp.size) {
                result = LOG_FORMAT_UNSUPPORTED;
                break;
            }
            size_t n = sp.precision >= 0 ? strnlen(s, static_cast<size_t>(sp.precision)) : std::strlen(s);
            ok = put_text(out, sp, s, n);
            break;
        }
        case 'c': {
            if (sp.zero || sp.size || sp.precision >= 0) {
                result = LOG_FORMAT_UNSUPPORTED;
                break;
            }
            char c = static_cast<char>(va_arg(ap, int));
            ok = put_text(out, sp, &c, 1);
            break;
        }
        case '%':
            if (sp.left || sp.zero || sp.width || sp.precision >= 0 || sp.size) {
                result = LOG_FORMAT_UNSUPPORTED;
                break;
            }
            ok = out.put('%');
            break;
        default:
            result = LOG_FORMAT_UNSUPPORTED;
            break;
        }
        if (result < 0) break;
        if (!ok) {
            result = LOG_FORMAT_NO_ROOM;
            break;
        }
    }
    va_end(ap);
    if (result < 0) return result;
    *out.pos() = 0;
    return static_cast<int>(out.pos() - out_text);
}
