#include "libpal/string/str_vector.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/env/malloc.h"
#include "str_log_capture.h"
#include "str_mem_limit.h"

namespace {

std::vector<std::string> items_of(const str_vector &v) {
    std::vector<std::string> out;
    for (uint64_t i = 0; i < v.count; ++i) out.emplace_back(v.items[i]);
    return out;
}

using strings = std::vector<std::string>;

uint64_t live_blocks() {
    mem_stats s;
    mem_stats_get(&s);
    return s.malloc_count;
}

}  // namespace

// --- records and storage modes ---

TEST(StrVector, InitWithoutModeChoosesReference) {
    str_vector v;
    ASSERT_EQ(str_vector_init(&v, STR_VECTOR_SKIP_EMPTY), 0);
    EXPECT_EQ(v.flags & STR_VECTOR_MODE_MASK, STR_VECTOR_REF);
    EXPECT_EQ(v.flags & STR_VECTOR_SKIP_EMPTY, STR_VECTOR_SKIP_EMPTY);
    EXPECT_EQ(v.count, 0u);
    EXPECT_EQ(v.items, nullptr);
}

TEST(StrVector, InitKeepsGivenCopyMode) {
    str_vector v;
    ASSERT_EQ(str_vector_init(&v, 0x61), 0);
    EXPECT_EQ(v.flags, 0x61u);
}

TEST(StrVector, ReferenceModeStoresCallerPointer) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_REF);
    char text[] = "alpha";
    ASSERT_EQ(str_vector_add(&v, text), 0);
    EXPECT_EQ(v.items[0], text);
    str_vector_clear(&v);
}

TEST(StrVector, CopyModeOwnsItsCopies) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_COPY);
    uint64_t before = live_blocks();
    char text[] = "alpha";
    ASSERT_EQ(str_vector_add(&v, text), 0);
    EXPECT_NE(v.items[0], text);
    text[0] = 'X';
    EXPECT_STREQ(v.items[0], "alpha");
    str_vector_clear(&v);
    EXPECT_EQ(live_blocks(), before);
}

TEST(StrVector, CapacityStartsAtSixteenAndDoubles) {
    str_vector v;
    str_vector_init(&v, 0);
    str_vector_add(&v, "x");
    EXPECT_EQ(v.capacity, 16u);
    for (int i = 1; i < 16; ++i) str_vector_add(&v, "x");
    EXPECT_EQ(v.capacity, 16u);
    str_vector_add(&v, "x");
    EXPECT_EQ(v.capacity, 32u);
    EXPECT_EQ(v.count, 17u);
    str_vector_clear(&v);
}

TEST(StrVector, ManyCopiesStayIntactAcrossGrowth) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_COPY);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(str_vector_add(&v, std::to_string(i).c_str()), 0);
    ASSERT_EQ(v.count, 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_STREQ(v.items[i], std::to_string(i).c_str());
    str_vector_clear(&v);
}

TEST(StrVector, ClearResetsButKeepsFlags) {
    str_vector v;
    str_vector_init(&v, 0x61);
    str_vector_add(&v, "a");
    ASSERT_EQ(str_vector_clear(&v), 0);
    EXPECT_EQ(v.count, 0u);
    EXPECT_EQ(v.capacity, 0u);
    EXPECT_EQ(v.items, nullptr);
    EXPECT_EQ(v.flags, 0x61u);
    EXPECT_EQ(str_vector_add(&v, "b"), 0);
    EXPECT_EQ(items_of(v), strings{"b"});
    str_vector_clear(&v);
}

TEST(StrVector, NewAndDestroyReleaseEverything) {
    uint64_t before = live_blocks();
    str_vector *v = str_vector_new(STR_VECTOR_COPY);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->heap, 1u);
    str_vector_add(v, "one");
    str_split_esape("a;b", v);
    EXPECT_EQ(str_vector_destroy(v), 0);
    EXPECT_EQ(live_blocks(), before);
}

TEST(StrVector, DestroyOfStackRecordOnlyClears) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_COPY);
    str_vector_add(&v, "one");
    EXPECT_EQ(str_vector_destroy(&v), 0);
    EXPECT_EQ(v.count, 0u);
    EXPECT_EQ(v.items, nullptr);
}

// --- add rules ---

TEST(StrVectorAdd, NullTextFails) {
    str_vector v;
    str_vector_init(&v, 0);
    str_log_capture log;
    EXPECT_EQ(str_vector_add(&v, nullptr), -1);
    EXPECT_LOGGED(log.take(), "assert failed");
    EXPECT_EQ(v.count, 0u);
}

TEST(StrVectorAdd, NullVectorReportedEverywhere) {
    str_log_capture log;
    EXPECT_EQ(str_vector_init(nullptr, 0), -1);
    EXPECT_EQ(str_vector_add(nullptr, "a"), -1);
    EXPECT_EQ(str_vector_find(nullptr, "a"), -1);
    EXPECT_EQ(str_vector_clear(nullptr), -1);
    EXPECT_EQ(str_vector_destroy(nullptr), -1);
    char text[] = "a";
    EXPECT_EQ(str_vector_split(nullptr, text, ","), -1);
    EXPECT_EQ(str_split_esape("a", nullptr), -1);
    EXPECT_EQ(str_split_esape(nullptr, nullptr), -1);
    std::string out = log.take();
    EXPECT_LOGGED(out, "expr[v != nullptr]: assert failed");
}

TEST(StrVectorAdd, SkipEmptyIsSuccessfulNoOp) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_SKIP_EMPTY);
    EXPECT_EQ(str_vector_add(&v, ""), 0);
    EXPECT_EQ(v.count, 0u);
    str_vector_clear(&v);
}

TEST(StrVectorAdd, EmptyKeptWithoutSkipEmpty) {
    str_vector v;
    str_vector_init(&v, 0);
    EXPECT_EQ(str_vector_add(&v, ""), 0);
    EXPECT_EQ(v.count, 1u);
    str_vector_clear(&v);
}

TEST(StrVectorAdd, UniqueDropsDuplicate) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_COPY | STR_VECTOR_UNIQUE);
    EXPECT_EQ(str_vector_add(&v, "net"), 0);
    EXPECT_EQ(str_vector_add(&v, "net"), 0);
    EXPECT_EQ(str_vector_add(&v, "NET"), 0);
    EXPECT_EQ(items_of(v), (strings{"net", "NET"}));
    str_vector_clear(&v);
}

TEST(StrVectorAdd, UniqueCaseInsensitiveDropsCaseVariant) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_COPY | STR_VECTOR_UNIQUE | STR_VECTOR_ICASE);
    str_vector_add(&v, "Main");
    EXPECT_EQ(str_vector_add(&v, "mAIN"), 0);
    EXPECT_EQ(items_of(v), strings{"Main"});
    str_vector_clear(&v);
}

TEST(StrVectorAdd, WithoutUniqueDuplicatesAreKept) {
    str_vector v;
    str_vector_init(&v, 0);
    str_vector_add(&v, "a");
    str_vector_add(&v, "a");
    EXPECT_EQ(v.count, 2u);
    str_vector_clear(&v);
}

// --- find ---

TEST(StrVectorFind, ExactByDefault) {
    str_vector v;
    str_vector_init(&v, 0);
    str_vector_add(&v, "pal");
    str_vector_add(&v, "Net");
    EXPECT_EQ(str_vector_find(&v, "Net"), 1);
    EXPECT_EQ(str_vector_find(&v, "net"), -1);
    EXPECT_EQ(str_vector_find(&v, "pa"), -1);
    EXPECT_EQ(str_vector_find(&v, "pall"), -1);
    str_vector_clear(&v);
}

TEST(StrVectorFind, CaseInsensitiveFoldsAsciiLettersOnly) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_ICASE);
    str_vector_add(&v, "a[b");
    str_vector_add(&v, "Net");
    EXPECT_EQ(str_vector_find(&v, "nET"), 1);
    // '[' and '{' differ by 0x20 like letters, but are not letters.
    EXPECT_EQ(str_vector_find(&v, "a{b"), -1);
    EXPECT_EQ(str_vector_find(&v, "A[B"), 0);
    str_vector_clear(&v);
}

TEST(StrVectorFind, ReturnsFirstMatch) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_ICASE);
    str_vector_add(&v, "x");
    str_vector_add(&v, "A");
    str_vector_add(&v, "a");
    EXPECT_EQ(str_vector_find(&v, "a"), 1);
    str_vector_clear(&v);
}

// --- plain split ---

TEST(StrVectorSplit, KeepsEmptyPiecesAndTerminates) {
    str_vector v;
    str_vector_init(&v, 0);
    char text[] = "a,b,,c,";
    ASSERT_EQ(str_vector_split(&v, text, ","), 0);
    EXPECT_EQ(items_of(v), (strings{"a", "b", "", "c", ""}));
    EXPECT_EQ(v.items[v.count], nullptr);
    // Reference mode points into the caller's text, which was cut in place.
    EXPECT_EQ(v.items[0], text);
    EXPECT_EQ(text[1], '\0');
    str_vector_clear(&v);
}

TEST(StrVectorSplit, AnySeparatorByteCuts) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_SKIP_EMPTY);
    char text[] = "a b\tc  d";
    ASSERT_EQ(str_vector_split(&v, text, " \t"), 0);
    EXPECT_EQ(items_of(v), (strings{"a", "b", "c", "d"}));
    str_vector_clear(&v);
}

TEST(StrVectorSplit, EmptySeparatorSetGivesWholeText) {
    str_vector v;
    str_vector_init(&v, 0);
    char text[] = "a,b c";
    ASSERT_EQ(str_vector_split(&v, text, ""), 0);
    EXPECT_EQ(items_of(v), strings{"a,b c"});
    EXPECT_EQ(v.items[1], nullptr);
    str_vector_clear(&v);
}

TEST(StrVectorSplit, AllEmptyWithSkipEmptyStillTerminates) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_SKIP_EMPTY);
    char text[] = ",,,";
    ASSERT_EQ(str_vector_split(&v, text, ","), 0);
    EXPECT_EQ(v.count, 0u);
    ASSERT_NE(v.items, nullptr);
    EXPECT_EQ(v.items[0], nullptr);
    str_vector_clear(&v);
}

TEST(StrVectorSplit, AppendsBehindExistingItems) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_COPY | STR_VECTOR_UNIQUE);
    str_vector_add(&v, "b");
    char text[] = "a|b|c";
    ASSERT_EQ(str_vector_split(&v, text, "|"), 0);
    EXPECT_EQ(items_of(v), (strings{"b", "a", "c"}));
    EXPECT_EQ(v.items[3], nullptr);
    str_vector_clear(&v);
}

TEST(StrVectorSplit, NullArgumentsFail) {
    str_vector v;
    str_vector_init(&v, 0);
    char text[] = "a";
    str_log_capture log;
    EXPECT_EQ(str_vector_split(&v, nullptr, ","), -1);
    EXPECT_EQ(str_vector_split(&v, text, nullptr), -1);
    EXPECT_EQ(v.count, 0u);
}

// --- quoted split ---

TEST(StrSplitEscape, SplitsAtSemicolon) {
    str_vector v;
    str_vector_init(&v, 0x24);
    ASSERT_EQ(str_split_esape("a;b", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"a", "b"}));
    EXPECT_EQ(v.items[2], nullptr);
    str_vector_clear(&v);
}

TEST(StrSplitEscape, SemicolonInsideQuotesStaysInPiece) {
    str_vector v;
    str_vector_init(&v, 0x24);
    ASSERT_EQ(str_split_esape("echo 'x;y';z", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"echo 'x;y'", "z"}));
    EXPECT_EQ(v.items[2], nullptr);
    str_vector_clear(&v);
}

TEST(StrSplitEscape, DoubleQuotesProtectToo) {
    str_vector v;
    str_vector_init(&v, 0x24);
    ASSERT_EQ(str_split_esape("a\"b;c\"d;e", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"a\"b;c\"d", "e"}));
    str_vector_clear(&v);
}

TEST(StrSplitEscape, OddQuoteCountIsSyntaxError) {
    str_vector v;
    str_vector_init(&v, 0x24);
    str_log_capture log;
    EXPECT_EQ(str_split_esape("a;'b", &v), -1);
    EXPECT_LOGGED(log.take(), "syntax error\n");
    EXPECT_EQ(v.count, 0u);
    str_vector_clear(&v);
}

TEST(StrSplitEscape, ApostropheInsideDoubleQuotesUnbalances) {
    str_vector v;
    str_vector_init(&v, 0x24);
    str_log_capture log;
    EXPECT_EQ(str_split_esape("echo \"it's\"", &v), -1);
    EXPECT_EQ(v.count, 0u);
    str_vector_clear(&v);
}

TEST(StrSplitEscape, MixedQuotesToggleOneFlag) {
    // The ' closes the run that " opened, so the ';' after it cuts.
    str_vector v;
    str_vector_init(&v, 0x24);
    ASSERT_EQ(str_split_esape("\"a';b'\"", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"\"a'", "b'\""}));
    str_vector_clear(&v);
}

TEST(StrSplitEscape, SkipEmptyDropsEmptyCommands) {
    str_vector v;
    str_vector_init(&v, 0x24);
    ASSERT_EQ(str_split_esape("a;;b;", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"a", "b"}));
    str_vector_clear(&v);
}

TEST(StrSplitEscape, UnquotedTrailingEmptyPieceIsOffered) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_REF);
    ASSERT_EQ(str_split_esape("a;", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"a", ""}));
    str_vector_clear(&v);
}

TEST(StrSplitEscape, QuotedTrailingEmptyPieceIsNotAdded) {
    str_vector v;
    str_vector_init(&v, STR_VECTOR_REF);
    ASSERT_EQ(str_split_esape("'a';;", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"'a'", ""}));
    EXPECT_EQ(v.items[2], nullptr);
    str_vector_clear(&v);
}

TEST(StrSplitEscape, LeavesCallerTextAlone) {
    str_vector v;
    str_vector_init(&v, 0x24);
    const char text[] = "a;b";
    ASSERT_EQ(str_split_esape(text, &v), 0);
    EXPECT_STREQ(text, "a;b");
    ASSERT_NE(v.work, nullptr);
    EXPECT_EQ(v.work_size, sizeof text);
    EXPECT_EQ(v.items[0], v.work);
    str_vector_clear(&v);
    EXPECT_EQ(v.work, nullptr);
}

TEST(StrSplitEscape, SecondSplitKeepsEarlierReferenceItems) {
    str_vector v;
    str_vector_init(&v, 0x24);
    std::string first = "one;two";
    ASSERT_EQ(str_split_esape(first.c_str(), &v), 0);
    ASSERT_EQ(str_split_esape("three", &v), 0);
    // Items of the first split point into the first work buffer, which must live on.
    EXPECT_EQ(items_of(v), (strings{"one", "two", "three"}));
    str_vector_clear(&v);
}

TEST(StrSplitEscape, CopyModeItemsSurviveLaterSplits) {
    uint64_t before = live_blocks();
    str_vector v;
    str_vector_init(&v, 0x61);
    ASSERT_EQ(str_split_esape("log;net", &v), 0);
    ASSERT_EQ(str_split_esape("net;pal", &v), 0);
    EXPECT_EQ(items_of(v), (strings{"log", "net", "pal"}));
    str_vector_clear(&v);
    EXPECT_EQ(live_blocks(), before);
}

TEST(StrSplitEscape, EmptyTextWithSkipEmptyGivesNothing) {
    str_vector v;
    str_vector_init(&v, 0x24);
    ASSERT_EQ(str_split_esape("", &v), 0);
    EXPECT_EQ(v.count, 0u);
    EXPECT_EQ(v.items[0], nullptr);
    str_vector_clear(&v);
}

// Memory exhaustion: a child process runs under a tight address-space limit and
// adds copies until an add fails; the items already there must be intact.
TEST(StrVectorDeathTest, ExhaustionLeavesContentsIntact) {
    if (!STR_MEM_LIMIT_USABLE) GTEST_SKIP() << "sanitizer runtimes need the address space";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto child = [] {
        std::string big(1 << 20, 'x');
        str_vector v;
        str_vector_init(&v, STR_VECTOR_COPY);
        str_vector_add(&v, "first");
        if (!str_mem_limit(64ul << 20)) std::_Exit(3);
        uint64_t added = 1;
        for (int i = 0; i < 100000; ++i) {
            if (str_vector_add(&v, big.c_str()) != 0) break;
            ++added;
        }
        if (v.count != added || added < 2) std::_Exit(1);
        if (std::strcmp(v.items[0], "first") != 0) std::_Exit(2);
        for (uint64_t i = 1; i < v.count; ++i)
            if (std::strlen(v.items[i]) != big.size()) std::_Exit(2);
        std::_Exit(0);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}
