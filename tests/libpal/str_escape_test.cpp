#include "libpal/string/str_escape.h"

#include <gtest/gtest.h>

#include <string>

#include "str_log_capture.h"

namespace {

std::string unescape(const std::string &src) {
    std::string out(src.size() + 1, '#');
    EXPECT_EQ(str_unescape_url_args(src.c_str(), out.data(), out.size()), 0);
    return std::string(out.c_str());
}

std::string escape(const std::string &src) {
    size_t need = str_escape_json(nullptr, src.data(), src.size());
    std::string out(need + 8, '#');
    size_t wrote = str_escape_json(out.data(), src.data(), src.size());
    EXPECT_EQ(wrote, need);
    EXPECT_EQ(out[need], '#') << "nothing may be written past the escaped bytes";
    out.resize(wrote);
    return out;
}

}  // namespace

// --- percent-decoding ---

TEST(StrUnescapeUrl, DecodesHexPairsOfBothCases) {
    EXPECT_EQ(unescape("a%41%62%2f%2F"), "aAb//");
}

TEST(StrUnescapeUrl, PlusIsNotTranslated) { EXPECT_EQ(unescape("a+b"), "a+b"); }

TEST(StrUnescapeUrl, BrokenEscapesAreDropped) {
    // %2x vanishes entirely; the final % before the terminator writes only the terminator.
    EXPECT_EQ(unescape("%41%2x%"), "A");
}

TEST(StrUnescapeUrl, PercentBeforeNonHexIsLost) { EXPECT_EQ(unescape("%zz%%41"), "zz%41"); }

TEST(StrUnescapeUrl, CutEscapeAtEndStillTerminates) {
    std::string out(8, '#');
    ASSERT_EQ(str_unescape_url_args("ab%4", out.data(), 5), 0);
    EXPECT_STREQ(out.c_str(), "ab");
}

TEST(StrUnescapeUrl, DecodedByteCanBeHigh) { EXPECT_EQ(unescape("%C3%A9"), "\xC3\xA9"); }

TEST(StrUnescapeUrl, ExactSizeIsEnough) {
    char out[4];
    EXPECT_EQ(str_unescape_url_args("abc", out, sizeof out), 0);
    EXPECT_STREQ(out, "abc");
}

TEST(StrUnescapeUrl, TooSmallOutputIsLeftEmpty) {
    char out[3] = {'x', 'y', 'z'};
    str_log_capture log;
    EXPECT_EQ(str_unescape_url_args("abc", out, sizeof out), -1);
    EXPECT_EQ(out[0], '\0');
    // The size is checked against the input, even when decoding would shrink it.
    EXPECT_EQ(str_unescape_url_args("%41%42", out, sizeof out), -1);
    EXPECT_LOGGED(log.take(), "expr[len<=bsize]: assert failed");
}

TEST(StrUnescapeUrl, ZeroSizeOutputUntouched) {
    char out[1] = {'x'};
    str_log_capture log;
    EXPECT_EQ(str_unescape_url_args("", out, 0), -1);
    EXPECT_EQ(out[0], 'x');
}

TEST(StrUnescapeUrl, NullArgumentsFail) {
    char out[4];
    str_log_capture log;
    EXPECT_EQ(str_unescape_url_args(nullptr, out, sizeof out), -1);
    EXPECT_EQ(str_unescape_url_args("a", nullptr, 4), -1);
    EXPECT_LOGGED(log.take(), "assert failed");
}

// --- JSON escaping ---

TEST(StrEscapeJson, PlainBytesUnchanged) { EXPECT_EQ(escape("hello /world"), "hello /world"); }

TEST(StrEscapeJson, QuoteAndBackslashGetBackslash) { EXPECT_EQ(escape("a\"b\\c"), "a\\\"b\\\\c"); }

TEST(StrEscapeJson, ShortControlEscapes) {
    EXPECT_EQ(escape("\b\t\n\f\r"), "\\b\\t\\n\\f\\r");
}

TEST(StrEscapeJson, OtherControlBytesUseUpperHex) {
    EXPECT_EQ(escape("\x01"), "\\u0001");
    EXPECT_EQ(escape("\x1F"), "\\u001F");
    EXPECT_EQ(escape("\x0B"), "\\u000B");
    EXPECT_EQ(escape(std::string(1, '\0')), "\\u0000");
}

TEST(StrEscapeJson, SizeOfSingleControlByteIsSix) {
    EXPECT_EQ(str_escape_json(nullptr, "\x01", 1), 6u);
}

TEST(StrEscapeJson, HighBytesCopiedUnchanged) {
    EXPECT_EQ(escape("\xC3\xA9\x7F\xFF"), "\xC3\xA9\x7F\xFF");
}

TEST(StrEscapeJson, LengthNotTerminatorBounds) {
    // Only len bytes are read, NULs inside included.
    const char src[] = {'a', '\0', 'b', 'c'};
    EXPECT_EQ(str_escape_json(nullptr, src, 3), 8u);
    EXPECT_EQ(escape(std::string(src, 3)), "a\\u0000b");
}

TEST(StrEscapeJson, MixedSizesAddUp) {
    // 1 + 2 + 2 + 6 + 1
    EXPECT_EQ(str_escape_json(nullptr, "a\"\n\x02z", 5), 12u);
}

TEST(StrEscapeJson, EmptyInputNeedsNothing) {
    char dst[1] = {'#'};
    EXPECT_EQ(str_escape_json(nullptr, "", 0), 0u);
    EXPECT_EQ(str_escape_json(dst, "", 0), 0u);
    EXPECT_EQ(dst[0], '#');
}

TEST(StrEscapeJson, NullSourceFails) {
    str_log_capture log;
    EXPECT_EQ(str_escape_json(nullptr, nullptr, 5), 0u);
    EXPECT_LOGGED(log.take(), "assert failed");
}
