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

// A vector initialised with flags and cleared when the test leaves.
struct vec : str_vector {
    explicit vec(uint32_t flags) { str_vector_init(this, flags); }
    ~vec() { str_vector_clear(this); }
};

}  // namespace

// --- records and storage modes ---

TEST(StrVector, InitSetsModeAndFlags) {
    vec dflt(STR_VECTOR_SKIP_EMPTY);
    EXPECT_EQ(dflt.flags & STR_VECTOR_MODE_MASK, STR_VECTOR_REF);
    EXPECT_EQ(dflt.flags & STR_VECTOR_SKIP_EMPTY, STR_VECTOR_SKIP_EMPTY);
    EXPECT_EQ(dflt.count, 0u);
    EXPECT_EQ(dflt.items, nullptr);
    vec copy(0x61);
    EXPECT_EQ(copy.flags, 0x61u);
}

TEST(StrVector, ReferenceModeStoresCallerPointerCopyModeOwnsCopies) {
    vec ref(STR_VECTOR_REF);
    char text[] = "alpha";
    ASSERT_EQ(str_vector_add(&ref, text), 0);
    EXPECT_EQ(ref.items[0], text);
    uint64_t before = live_blocks();
    vec copy(STR_VECTOR_COPY);
    ASSERT_EQ(str_vector_add(&copy, text), 0);
    EXPECT_NE(copy.items[0], text);
    text[0] = 'X';
    EXPECT_STREQ(copy.items[0], "alpha");
    str_vector_clear(&copy);
    EXPECT_EQ(live_blocks(), before);
}

TEST(StrVector, CapacityStartsAtSixteenAndDoublesCopiesStayIntact) {
    vec v(0);
    str_vector_add(&v, "x");
    EXPECT_EQ(v.capacity, 16u);
    for (int i = 1; i < 16; ++i) str_vector_add(&v, "x");
    EXPECT_EQ(v.capacity, 16u);
    str_vector_add(&v, "x");
    EXPECT_EQ(v.capacity, 32u);
    EXPECT_EQ(v.count, 17u);
    vec copies(STR_VECTOR_COPY);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(str_vector_add(&copies, std::to_string(i).c_str()), 0);
    ASSERT_EQ(copies.count, 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_STREQ(copies.items[i], std::to_string(i).c_str());
}

TEST(StrVector, ClearResetsButKeepsFlags) {
    vec v(0x61);
    str_vector_add(&v, "a");
    ASSERT_EQ(str_vector_clear(&v), 0);
    EXPECT_EQ(v.count, 0u);
    EXPECT_EQ(v.capacity, 0u);
    EXPECT_EQ(v.items, nullptr);
    EXPECT_EQ(v.flags, 0x61u);
    EXPECT_EQ(str_vector_add(&v, "b"), 0);
    EXPECT_EQ(items_of(v), strings{"b"});
}

TEST(StrVector, NewAndDestroyReleaseEverythingDestroyOfStackRecordOnlyClears) {
    uint64_t before = live_blocks();
    str_vector *v = str_vector_new(STR_VECTOR_COPY);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->heap, 1u);
    str_vector_add(v, "one");
    str_split_esape("a;b", v);
    EXPECT_EQ(str_vector_destroy(v), 0);
    EXPECT_EQ(live_blocks(), before);
    vec stack(STR_VECTOR_COPY);
    str_vector_add(&stack, "one");
    EXPECT_EQ(str_vector_destroy(&stack), 0);
    EXPECT_EQ(stack.count, 0u);
    EXPECT_EQ(stack.items, nullptr);
}

// --- add rules ---

TEST(StrVectorAdd, NullTextFails) {
    vec v(0);
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

// The empty text and duplicates under each flag set.
TEST(StrVectorAdd, EmptyAndDuplicateRules) {
    const struct {
        uint32_t flags;
        strings added;
        strings kept;
    } rows[] = {
        {STR_VECTOR_SKIP_EMPTY, {""}, {}},
        {0, {""}, {""}},
        {STR_VECTOR_COPY | STR_VECTOR_UNIQUE, {"net", "net", "NET"}, {"net", "NET"}},
        {STR_VECTOR_COPY | STR_VECTOR_UNIQUE | STR_VECTOR_ICASE, {"Main", "mAIN"}, {"Main"}},
        {0, {"a", "a"}, {"a", "a"}},
    };
    for (const auto &row : rows) {
        vec v(row.flags);
        for (const std::string &text : row.added) EXPECT_EQ(str_vector_add(&v, text.c_str()), 0);
        EXPECT_EQ(items_of(v), row.kept) << row.flags;
    }
}

// --- find ---

TEST(StrVectorFind, ExactOrAsciiCaseFoldedFirstMatch) {
    const struct {
        uint32_t flags;
        strings items;
        const char *wanted;
        int64_t found;
    } rows[] = {
        {0, {"pal", "Net"}, "Net", 1},
        {0, {"pal", "Net"}, "net", -1},
        {0, {"pal", "Net"}, "pa", -1},
        {0, {"pal", "Net"}, "pall", -1},
        {STR_VECTOR_ICASE, {"a[b", "Net"}, "nET", 1},
        // '[' and '{' differ by 0x20 like letters, but are not letters.
        {STR_VECTOR_ICASE, {"a[b", "Net"}, "a{b", -1},
        {STR_VECTOR_ICASE, {"a[b", "Net"}, "A[B", 0},
        {STR_VECTOR_ICASE, {"x", "A", "a"}, "a", 1},
    };
    for (const auto &row : rows) {
        vec v(row.flags);
        for (const std::string &item : row.items) str_vector_add(&v, item.c_str());
        EXPECT_EQ(str_vector_find(&v, row.wanted), row.found) << row.wanted;
    }
}

// --- plain split ---

TEST(StrVectorSplit, PiecesBySeparatorSetBehindExistingItemsAndTerminated) {
    const struct {
        uint32_t flags;
        const char *before;  // null: nothing added first
        const char *text;
        const char *separators;
        strings items;
    } rows[] = {
        {0, nullptr, "a,b,,c,", ",", {"a", "b", "", "c", ""}},
        {STR_VECTOR_SKIP_EMPTY, nullptr, "a b\tc  d", " \t", {"a", "b", "c", "d"}},
        {0, nullptr, "a,b c", "", {"a,b c"}},
        {STR_VECTOR_SKIP_EMPTY, nullptr, ",,,", ",", {}},
        {STR_VECTOR_COPY | STR_VECTOR_UNIQUE, "b", "a|b|c", "|", {"b", "a", "c"}},
    };
    for (const auto &row : rows) {
        vec v(row.flags);
        if (row.before) str_vector_add(&v, row.before);
        std::string text = row.text;
        ASSERT_EQ(str_vector_split(&v, text.data(), row.separators), 0) << row.text;
        EXPECT_EQ(items_of(v), row.items) << row.text;
        ASSERT_NE(v.items, nullptr);
        EXPECT_EQ(v.items[v.count], nullptr) << row.text;
    }
}

TEST(StrVectorSplit, ReferenceItemsPointIntoTheTextCutInPlace) {
    vec v(0);
    char text[] = "a,b,,c,";
    ASSERT_EQ(str_vector_split(&v, text, ","), 0);
    EXPECT_EQ(v.items[0], text);
    EXPECT_EQ(text[1], '\0');
}

TEST(StrVectorSplit, NullArgumentsFail) {
    vec v(0);
    char text[] = "a";
    str_log_capture log;
    EXPECT_EQ(str_vector_split(&v, nullptr, ","), -1);
    EXPECT_EQ(str_vector_split(&v, text, nullptr), -1);
    EXPECT_EQ(v.count, 0u);
}

// --- quoted split ---

TEST(StrSplitEscape, CutsAtSemicolonsOutsideQuotes) {
    const struct {
        uint32_t flags;
        const char *text;
        strings items;
    } rows[] = {
        {0x24, "a;b", {"a", "b"}},
        {0x24, "echo 'x;y';z", {"echo 'x;y'", "z"}},
        {0x24, "a\"b;c\"d;e", {"a\"b;c\"d", "e"}},
        // The ' closes the run that " opened, so the ';' after it cuts.
        {0x24, "\"a';b'\"", {"\"a'", "b'\""}},
        {0x24, "a;;b;", {"a", "b"}},
        // Without quotes a trailing empty piece is offered; with them it is not added.
        {STR_VECTOR_REF, "a;", {"a", ""}},
        {STR_VECTOR_REF, "'a';;", {"'a'", ""}},
        {0x24, "", {}},
    };
    for (const auto &row : rows) {
        vec v(row.flags);
        ASSERT_EQ(str_split_esape(row.text, &v), 0) << row.text;
        EXPECT_EQ(items_of(v), row.items) << row.text;
        EXPECT_EQ(v.items[v.count], nullptr) << row.text;
    }
}

TEST(StrSplitEscape, OddQuoteCountIsSyntaxError) {
    for (const char *text : {"a;'b", "echo \"it's\""}) {
        vec v(0x24);
        str_log_capture log;
        EXPECT_EQ(str_split_esape(text, &v), -1) << text;
        EXPECT_LOGGED(log.take(), "syntax error\n");
        EXPECT_EQ(v.count, 0u);
    }
}

TEST(StrSplitEscape, LeavesCallerTextAlone) {
    vec v(0x24);
    const char text[] = "a;b";
    ASSERT_EQ(str_split_esape(text, &v), 0);
    EXPECT_STREQ(text, "a;b");
    ASSERT_NE(v.work, nullptr);
    EXPECT_EQ(v.work_size, sizeof text);
    EXPECT_EQ(v.items[0], v.work);
    str_vector_clear(&v);
    EXPECT_EQ(v.work, nullptr);
}

// Items of a first split point into its work buffer, which must live on; copies survive too.
TEST(StrSplitEscape, SecondSplitKeepsEarlierItems) {
    vec ref(0x24);
    std::string first = "one;two";
    ASSERT_EQ(str_split_esape(first.c_str(), &ref), 0);
    ASSERT_EQ(str_split_esape("three", &ref), 0);
    EXPECT_EQ(items_of(ref), (strings{"one", "two", "three"}));
    uint64_t before = live_blocks();
    vec copy(0x61);
    ASSERT_EQ(str_split_esape("log;net", &copy), 0);
    ASSERT_EQ(str_split_esape("net;pal", &copy), 0);
    EXPECT_EQ(items_of(copy), (strings{"log", "net", "pal"}));
    str_vector_clear(&copy);
    EXPECT_EQ(live_blocks(), before);
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
