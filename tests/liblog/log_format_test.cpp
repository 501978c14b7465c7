// The log call's own printf must give exactly what vsnprintf gives, or decline.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "liblog/log_cache.h"
#include "liblog/log_format.h"

namespace {

// Result of log_vformat into size bytes: the text, "<unsupported>" or "<no room>".
std::string fast(size_t size, const char *fmt, ...) {
    std::string out(size, '\x7f');
    va_list args;
    va_start(args, fmt);
    int n = log_vformat(out.data(), size, fmt, args);
    va_end(args);
    if (n == LOG_FORMAT_UNSUPPORTED) return "<unsupported>";
    if (n == LOG_FORMAT_NO_ROOM) return "<no room>";
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    return out.substr(0, static_cast<size_t>(n));
}

template <typename... Args>
void expect_like_snprintf(const char *fmt, Args... args) {
    char want[512];
    int n = std::snprintf(want, sizeof want, fmt, args...);
    ASSERT_GE(n, 0);
    EXPECT_EQ(fast(512, fmt, args...), std::string(want, static_cast<size_t>(n))) << fmt;
}

}  // namespace

TEST(LogFormat, SupportedConversionsMatchSnprintf) {
    expect_like_snprintf("plain text, no conversion");
    expect_like_snprintf("");
    expect_like_snprintf("%d|%i|%5d|%-5d|%05d|%-05d|%0d", 42, -7, -42, 42, -42, 42, 0);
    expect_like_snprintf("%d %d %d", INT_MIN, INT_MAX, 0);
    expect_like_snprintf("%u %x %X %08x %-6u|", 4000000000u, 0xbeefu, 0xbeefu, 0x1fu, 7u);
    expect_like_snprintf("%x %u", -1, -1);
    expect_like_snprintf("%ld %lu %lx %lld %llu %llX", LONG_MIN, ULONG_MAX, 0xfeedl, LLONG_MIN, ULLONG_MAX, 0xabcll);
    expect_like_snprintf("%zu %zx %zd", static_cast<size_t>(123456789012ull), static_cast<size_t>(255),
                         static_cast<size_t>(5));
    expect_like_snprintf("[%s] [%10s] [%-10s] [%.3s] [%8.2s] [%-8.2s] [%.0s]", "abc", "abc", "abc", "abcdef", "xyz",
                         "xyz", "gone");
    expect_like_snprintf("%c%c|%3c|%-3c|", 'a', 'b', 'c', 'd');
    expect_like_snprintf("100%% done %s%%", "now");
    expect_like_snprintf("session %08d accepted from 127.0.0.1 port %5d state=%s\n", 12, 40012, "open");
}

TEST(LogFormat, DeclinesWhatItDoesNotHandle) {
    for (const char *fmt : {"%f", "%p", "%*d", "%.3d", "%+d", "% d", "%#x", "%hd", "%05s", "%n", "%lc", "%e",
                            "%ls", "%5%", "trailing %"}) {
        EXPECT_EQ(fast(64, fmt, 1, 2, 3), "<unsupported>") << fmt;
    }
    EXPECT_EQ(fast(64, "%s", static_cast<const char *>(nullptr)), "<unsupported>");
}

TEST(LogFormat, TextThatDoesNotFitIsRefused) {
    EXPECT_EQ(fast(6, "%s", "hello"), "hello");
    EXPECT_EQ(fast(5, "%s", "hello"), "<no room>");
    EXPECT_EQ(fast(4, "ab%d", 12), "<no room>");
    EXPECT_EQ(fast(3, "%5d", 1), "<no room>");
    EXPECT_EQ(fast(1, ""), "");
}

// The time, pid and thread id columns of every line come from these.
TEST(LogDigits, FixedWidthAndUnpaddedMatchSnprintf) {
    const uint32_t values[] = {0, 7, 9, 10, 99, 100, 999, 1000, 54321, 123456, 999999, 4000000000u, UINT32_MAX};
    for (uint32_t value : values) {
        char got[16], want[16];
        for (int width = 1; width <= 10; ++width) {
            *log_put_digits(got, value, width) = 0;
            std::snprintf(want, sizeof want, "%0*u", width, value);
            // Fixed width keeps the low digits of a wider number.
            EXPECT_STREQ(got, want + std::strlen(want) - static_cast<size_t>(width)) << value << " width " << width;
        }
        *log_put_uint(got, value) = 0;
        std::snprintf(want, sizeof want, "%u", value);
        EXPECT_STREQ(got, want);
    }
}
