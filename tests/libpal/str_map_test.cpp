#include "libpal/string/str_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libpal/env/malloc.h"
#include "str_log_capture.h"
#include "str_mem_limit.h"

namespace {

std::vector<std::string> keys_of(const str_map &m) {
    std::vector<std::string> out;
    for (uint64_t i = 0; i < m.count; ++i) out.emplace_back(str_map_key_at(&m, i));
    return out;
}

using strings = std::vector<std::string>;

uint64_t live_blocks() {
    mem_stats s;
    mem_stats_get(&s);
    return s.malloc_count;
}

const char *text_of(const str_map &m, const char *key) {
    return static_cast<const char *>(str_map_get(&m, key));
}

// A map initialised with flags and cleared when the test leaves.
struct map : str_map {
    explicit map(uint32_t flags) { str_map_init(this, flags); }
    ~map() { str_map_clear(this); }
};

}  // namespace

TEST(StrMap, InitWithoutKeyModeChoosesReference) {
    str_map m;
    ASSERT_EQ(str_map_init(&m, STR_MAP_SORTED), 0);
    EXPECT_EQ(m.flags, STR_MAP_SORTED | STR_MAP_KEY_REF);
}

TEST(StrMap, UnsortedKeepsInsertionOrder) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR);
    for (const char *k : {"zeta", "alpha", "mid"}) ASSERT_EQ(str_map_add(&m, k, "v"), 0);
    EXPECT_EQ(keys_of(m), (strings{"zeta", "alpha", "mid"}));
    EXPECT_EQ(str_map_find(&m, "alpha"), 1);
}

TEST(StrMap, SortedKeepsByteWiseOrder) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR | STR_MAP_SORTED);
    for (const char *k : {"b", "a", "B", "\xC3\xA9", "ab", ""}) ASSERT_EQ(str_map_add(&m, k, k), 0);
    EXPECT_EQ(keys_of(m), (strings{"", "B", "a", "ab", "b", "\xC3\xA9"}));
    for (const char *k : {"b", "a", "B", "\xC3\xA9", "ab", ""}) {
        int64_t i = str_map_find(&m, k);
        ASSERT_GE(i, 0) << k;
        EXPECT_STREQ(str_map_key_at(&m, static_cast<uint64_t>(i)), k);
        EXPECT_STREQ(text_of(m, k), k);
    }
    EXPECT_EQ(str_map_find(&m, "c"), -1);
    EXPECT_EQ(str_map_find(&m, "aa"), -1);
}

TEST(StrMap, SortedLookupAcrossGrowth) {
    map m(STR_MAP_KEY_COPY | STR_MAP_SORTED);
    for (int i = 99; i >= 0; --i) {
        std::string k = "k" + std::to_string(i);
        ASSERT_EQ(str_map_add(&m, k.c_str(), reinterpret_cast<void *>(static_cast<uintptr_t>(i + 1))), 0);
    }
    EXPECT_EQ(m.count, 100u);
    EXPECT_EQ(m.capacity, 128u);
    for (int i = 0; i < 100; ++i) {
        std::string k = "k" + std::to_string(i);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(str_map_get(&m, k.c_str())), static_cast<uintptr_t>(i + 1));
    }
}

TEST(StrMap, CapacityStartsAtSixteenAndDoubles) {
    map m(STR_MAP_KEY_COPY);
    for (int i = 0; i < 17; ++i) {
        std::string k = std::to_string(i);
        str_map_add(&m, k.c_str(), nullptr);
        EXPECT_EQ(m.capacity, i < 16 ? 16u : 32u);
    }
    EXPECT_EQ(m.entries[17], nullptr) << "the new half is zeroed";
}

TEST(StrMap, AddRejectsPresentKey) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR);
    ASSERT_EQ(str_map_add(&m, "k", "one"), 0);
    EXPECT_EQ(str_map_add(&m, "k", "two"), -1);
    EXPECT_STREQ(text_of(m, "k"), "one");
    EXPECT_EQ(m.count, 1u);
}

TEST(StrMap, KeysCompareExactly) {
    map m(STR_MAP_KEY_COPY);
    str_map_add(&m, "Key", nullptr);
    EXPECT_EQ(str_map_find(&m, "key"), -1);
    EXPECT_EQ(str_map_add(&m, "key", nullptr), 0);
}

TEST(StrMap, InlineKeyIsCopied) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR);
    char key[] = "name";
    str_map_add(&m, key, "v");
    key[0] = 'X';
    EXPECT_STREQ(text_of(m, "name"), "v");
    // key inline, value inline: key, NUL, value, NUL in one block
    EXPECT_EQ(mem_block_size(m.entries[0]), std::strlen("name") + std::strlen("v") + 2);
}

TEST(StrMap, ReferenceKeyUsesCallerPointer) {
    map m(STR_MAP_VAL_STR);
    static const char key[] = "shared";
    str_map_add(&m, key, "value");
    EXPECT_EQ(str_map_key_at(&m, 0), key);
    EXPECT_EQ(mem_block_size(m.entries[0]), std::strlen("value") + 9);
}

TEST(StrMap, EntryLayoutSizes) {
    map m(STR_MAP_KEY_COPY);
    str_map_add(&m, "abc", nullptr);
    EXPECT_EQ(mem_block_size(m.entries[0]), 3u + 9u);
    str_map_clear(&m);
    str_map_init(&m, STR_MAP_KEY_REF);
    str_map_add(&m, "abc", nullptr);
    EXPECT_EQ(mem_block_size(m.entries[0]), 16u);
}

TEST(StrMap, PointerValueRoundTrips) {
    map m(STR_MAP_KEY_COPY);
    int target = 5;
    str_map_add(&m, "p", &target);
    EXPECT_EQ(str_map_get(&m, "p"), &target);
    EXPECT_EQ(str_map_get(&m, "q"), nullptr);
}

TEST(StrMap, SetAddsWhenAbsent) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR);
    ASSERT_EQ(str_map_set(&m, "a", "1"), 0);
    EXPECT_STREQ(text_of(m, "a"), "1");
}

TEST(StrMap, SetShorterStringReusesEntry) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR);
    str_map_add(&m, "k", "long value");
    char *entry = m.entries[0];
    ASSERT_EQ(str_map_set(&m, "k", "short"), 0);
    EXPECT_EQ(m.entries[0], entry);
    EXPECT_STREQ(text_of(m, "k"), "short");
}

TEST(StrMap, SetLongerStringRebuildsEntry) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR | STR_MAP_SORTED);
    str_map_add(&m, "b", "x");
    str_map_add(&m, "a", "y");
    uint64_t before = live_blocks();
    ASSERT_EQ(str_map_set(&m, "b", "a much longer value"), 0);
    EXPECT_EQ(live_blocks(), before) << "the old entry block is freed";
    EXPECT_STREQ(text_of(m, "b"), "a much longer value");
    EXPECT_EQ(keys_of(m), (strings{"a", "b"}));
}

TEST(StrMap, SetRebuildKeepsReferenceKey) {
    map m(STR_MAP_VAL_STR);
    static const char key[] = "k";
    str_map_add(&m, key, "1");
    ASSERT_EQ(str_map_set(&m, "k", "12345"), 0);
    EXPECT_EQ(str_map_key_at(&m, 0), key);
    EXPECT_STREQ(text_of(m, "k"), "12345");
}

TEST(StrMap, SetOwnValueFreesReplacedPointer) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_OWNED);
    uint64_t before = live_blocks();
    str_map_add(&m, "k", mem_strdup("one"));
    void *second = mem_strdup("two");
    ASSERT_EQ(str_map_set(&m, "k", second), 0);
    EXPECT_EQ(str_map_get(&m, "k"), second);
    str_map_clear(&m);
    EXPECT_EQ(live_blocks(), before);
}

TEST(StrMap, SetWithoutOwnershipLeavesOldPointer) {
    map m(STR_MAP_KEY_COPY);
    int a = 1, b = 2;
    str_map_add(&m, "k", &a);
    ASSERT_EQ(str_map_set(&m, "k", &b), 0);
    EXPECT_EQ(str_map_get(&m, "k"), &b);
}

TEST(StrMap, ClearReleasesEverything) {
    uint64_t before = live_blocks();
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR);
    for (int i = 0; i < 40; ++i) str_map_add(&m, std::to_string(i).c_str(), "value");
    ASSERT_EQ(str_map_clear(&m), 0);
    EXPECT_EQ(m.count, 0u);
    EXPECT_EQ(m.entries, nullptr);
    EXPECT_EQ(live_blocks(), before);
}

TEST(StrMap, NullArgumentsFail) {
    map m(STR_MAP_KEY_COPY | STR_MAP_VAL_STR);
    str_log_capture log;
    EXPECT_EQ(str_map_init(nullptr, 0), -1);
    EXPECT_EQ(str_map_clear(nullptr), -1);
    EXPECT_EQ(str_map_find(nullptr, "k"), -1);
    EXPECT_EQ(str_map_find(&m, nullptr), -1);
    EXPECT_EQ(str_map_add(&m, nullptr, "v"), -1);
    EXPECT_EQ(str_map_add(&m, "k", nullptr), -1) << "inline string values need a string";
    EXPECT_EQ(str_map_set(&m, nullptr, "v"), -1);
    EXPECT_EQ(str_map_set(nullptr, "k", "v"), -1);
    EXPECT_EQ(str_map_get(nullptr, "k"), nullptr);
    EXPECT_EQ(str_map_get(&m, nullptr), nullptr);
    EXPECT_EQ(m.count, 0u);
    EXPECT_LOGGED(log.take(), "assert failed");
}

// A child process under a tight address-space cap adds large values until an
// add fails, then tries to grow one: the map keeps every entry as it was.
TEST(StrMapDeathTest, ExhaustionLeavesContentsIntact) {
    if (!STR_MEM_LIMIT_USABLE) GTEST_SKIP() << "sanitizer runtimes need the address space";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto child = [] {
        std::string big(1 << 20, 'v');
        std::string bigger(4 << 20, 'w');
        str_map m;
        str_map_init(&m, STR_MAP_KEY_COPY | STR_MAP_VAL_STR | STR_MAP_SORTED);
        str_map_add(&m, "first", "1");
        if (!str_mem_limit(64ul << 20)) std::_Exit(3);
        uint64_t added = 1;
        for (int i = 0; i < 100000; ++i) {
            if (str_map_add(&m, ("k" + std::to_string(i)).c_str(), big.c_str()) != 0) break;
            ++added;
        }
        if (m.count != added || added < 2) std::_Exit(1);
        if (str_map_set(&m, "first", bigger.c_str()) != -1) std::_Exit(4);
        if (std::strcmp(static_cast<const char *>(str_map_get(&m, "first")), "1") != 0) std::_Exit(2);
        for (uint64_t i = 0; i + 1 < added; ++i) {
            const char *v = static_cast<const char *>(str_map_get(&m, ("k" + std::to_string(i)).c_str()));
            if (!v || std::strlen(v) != big.size()) std::_Exit(2);
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}
