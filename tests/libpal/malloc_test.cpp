// The counted heap: block layout, alignment and the five counters.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "libpal/env/malloc.h"

namespace {

mem_stats snapshot() {
    mem_stats s;
    mem_stats_get(&s);
    return s;
}

TEST(MemMalloc, EveryBlockKeepsThePlatformAlignment) {
    std::vector<void *> blocks;
    for (size_t size : {1u, 3u, 4u, 7u, 8u, 12u, 15u, 16u, 17u, 31u, 100u, 4096u, 65537u}) {
        for (void *p : {mem_malloc(size), mem_calloc(size)}) {
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u) << size;
            blocks.push_back(p);
        }
    }
    // Storing 8- and 16-byte values in a block is well-defined (UBSan checks this).
    auto *words = static_cast<long double *>(mem_malloc(4 * sizeof(long double)));
    ASSERT_NE(words, nullptr);
    words[3] = 1.5L;
    EXPECT_EQ(words[3], 1.5L);
    mem_free(words);
    void *grown = mem_realloc(mem_malloc(5), 77);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(grown) % alignof(std::max_align_t), 0u);
    blocks.push_back(grown);
    for (void *p : blocks) mem_free(p);
}

TEST(MemMalloc, CountersFollowTheCallersBytesExactly) {
    mem_stats before = snapshot();
    void *a = mem_malloc(100);
    void *b = mem_malloc(28);
    mem_stats during = snapshot();
    EXPECT_EQ(during.malloc_count, before.malloc_count + 2);
    EXPECT_EQ(during.malloc_bytes, before.malloc_bytes + 128);
    EXPECT_GE(during.malloc_max_count, during.malloc_count);
    EXPECT_GE(during.malloc_max_bytes, during.malloc_bytes);
    mem_free(a);
    mem_free(b);
    mem_stats after = snapshot();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
    EXPECT_GE(after.malloc_max_bytes, during.malloc_bytes);
}

TEST(MemMalloc, MaxSizeRemembersTheLargestRequest) {
    size_t big = snapshot().malloc_max_size + 12345;
    void *p = mem_malloc(big);
    ASSERT_NE(p, nullptr);
    mem_free(p);
    EXPECT_EQ(snapshot().malloc_max_size, big);
}

TEST(MemMalloc, CallocZeroFills) {
    auto *p = static_cast<unsigned char *>(mem_calloc(300));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(p[i], 0);
    mem_free(p);
}

TEST(MemRealloc, ShrinkKeepsTheBlockAndItsStoredLength) {
    mem_stats before = snapshot();
    auto *p = static_cast<char *>(mem_malloc(64));
    std::strcpy(p, "keep me");
    char *same = static_cast<char *>(mem_realloc(p, 10));
    EXPECT_EQ(same, p);
    EXPECT_EQ(mem_block_size(same), 64u);
    EXPECT_STREQ(same, "keep me");
    mem_free(same);
    EXPECT_EQ(snapshot().malloc_bytes, before.malloc_bytes);
}

TEST(MemRealloc, GrowCopiesAndZeroSizeFrees) {
    mem_stats before = snapshot();
    auto *p = static_cast<char *>(mem_realloc(nullptr, 8));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcdefg", 8);
    auto *q = static_cast<char *>(mem_realloc(p, 4000));
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "abcdefg");
    EXPECT_EQ(snapshot().malloc_bytes, before.malloc_bytes + 4000);
    EXPECT_EQ(mem_realloc(q, 0), nullptr);
    EXPECT_EQ(snapshot().malloc_count, before.malloc_count);
    EXPECT_EQ(snapshot().malloc_bytes, before.malloc_bytes);
}

TEST(MemMalloc, StrdupCopiesAndNullStaysNull) {
    EXPECT_EQ(mem_strdup(nullptr), nullptr);
    char *copy = mem_strdup("hello");
    EXPECT_STREQ(copy, "hello");
    EXPECT_EQ(mem_block_size(copy), 6u);
    mem_free(copy);
    mem_free(nullptr);  // ignored
}

TEST(MemMalloc, TooLargeForTheHeaderIsRefused) {
    mem_stats before = snapshot();
    EXPECT_EQ(mem_malloc(size_t{1} << 33), nullptr);
    EXPECT_EQ(snapshot().malloc_count, before.malloc_count);
}

TEST(MemMalloc, CxxAllocationsAreCountedToo) {
    mem_stats before = snapshot();
    auto owned = std::make_unique<std::array<char, 1000>>();
    std::string text(5000, 'x');
    mem_stats during = snapshot();
    EXPECT_GE(during.malloc_bytes, before.malloc_bytes + 6000);
    EXPECT_GE(during.malloc_count, before.malloc_count + 2);
    owned.reset();
    text = std::string();
    text.shrink_to_fit();
    EXPECT_EQ(snapshot().malloc_count, before.malloc_count);
}

TEST(MemVasprintf, FormatsIntoACountedBlock) {
    char *out = nullptr;
    EXPECT_EQ(os_asprintf(&out, "%s-%d", "abc", 42), 6);
    EXPECT_STREQ(out, "abc-42");
    EXPECT_EQ(mem_block_size(out), 7u);
    mem_free(out);
}

TEST(MemStatsText, ShowsTheFiveLinesInOrder) {
    char *text = mem_stats_text();
    ASSERT_NE(text, nullptr);
    std::string s(text);
    mem_free(text);
    size_t pos = 0;
    for (const char *key : {"malloc_count=", "malloc_bytes=", "malloc_max_size=", "malloc_max_count=",
                            "malloc_max_bytes="}) {
        size_t at = s.find(key, pos);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_TRUE(at == 0 || s[at - 1] == '\n');
        pos = at;
    }
    EXPECT_EQ(s.back(), '\n');
}

}  // namespace
