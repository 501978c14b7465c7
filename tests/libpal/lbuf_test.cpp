// Slab pools: callbacks, counting, walking, clearing and threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "libpal/env/malloc.h"
#include "libpal/memory/lbuf.h"
#include "str_log_capture.h"

namespace {

struct calls {
    int constructed = 0;
    int destroyed = 0;
    std::vector<void *> destroyed_items;
};

void on_construct(void *item, void *user) {
    static_cast<calls *>(user)->constructed++;
    std::memset(item, 0x11, 4);
}

void on_destroy(void *item, void *user) {
    auto *c = static_cast<calls *>(user);
    c->destroyed++;
    c->destroyed_items.push_back(item);
}

}  // namespace

TEST(LbufPool, CountFollowsAllocationsAndFrees) {
    calls c;
    lbuf *pool = lbuf_init("events", on_construct, on_destroy, &c, 32);
    ASSERT_NE(pool, nullptr);
    EXPECT_STREQ(lbuf_name(pool), "events");
    void *a = lbuf_slab_malloc(pool);
    void *b = lbuf_malloc(pool, 100, true);
    void *d = lbuf_slab_malloc(pool);
    EXPECT_EQ(lbuf_count(pool), 3u);
    EXPECT_EQ(c.constructed, 3);
    lbuf_free(pool, b);
    EXPECT_EQ(lbuf_count(pool), 2u);
    EXPECT_EQ(c.destroyed, 1);
    EXPECT_EQ(c.destroyed_items[0], b);
    lbuf_free(pool, nullptr);
    EXPECT_EQ(lbuf_count(pool), 2u);
    EXPECT_EQ(c.destroyed, 1);
    lbuf_free(pool, a);
    lbuf_free(pool, d);
    EXPECT_EQ(lbuf_count(pool), 0u);
    lbuf_exit(pool);
}

TEST(LbufPool, ItemsKnowTheirPoolAndSize) {
    lbuf *pool = lbuf_init("sock_ctx", nullptr, nullptr, nullptr, 48);
    void *item = lbuf_slab_malloc(pool);
    EXPECT_EQ(lbuf_item_pool(item), pool);
    EXPECT_EQ(lbuf_item_size(item), 48u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(item) % alignof(std::max_align_t), 0u);
    lbuf_exit(pool);
}

TEST(LbufPool, ZeroFlagClearsTheItemAfterNothingElse) {
    lbuf *pool = lbuf_init("z", nullptr, nullptr, nullptr, 0);
    auto *item = static_cast<uint8_t *>(lbuf_malloc(pool, 256, true));
    ASSERT_NE(item, nullptr);
    for (int i = 0; i < 256; i++) ASSERT_EQ(item[i], 0) << i;
    lbuf_exit(pool);
}

TEST(LbufPool, ConstructRunsOnTheNewItem) {
    calls c;
    lbuf *pool = lbuf_init("c", on_construct, nullptr, &c, 8);
    auto *item = static_cast<uint8_t *>(lbuf_malloc(pool, 8, true));
    EXPECT_EQ(item[0], 0x11);
    lbuf_exit(pool);
}

TEST(LbufPool, SlabWithoutItemSizeIsRefused) {
    lbuf *pool = lbuf_init("none", nullptr, nullptr, nullptr, 0);
    str_log_capture log;
    EXPECT_EQ(lbuf_slab_malloc(pool), nullptr);
    EXPECT_TRUE(str_contains(log.take(), "B->item_size != 0"));
    EXPECT_EQ(lbuf_count(pool), 0u);
    lbuf_exit(pool);
}

TEST(LbufPool, ClearDestroysEveryItemAndEmptiesTheList) {
    calls c;
    lbuf *pool = lbuf_init("clear", nullptr, on_destroy, &c, 16);
    for (int i = 0; i < 5; i++) lbuf_slab_malloc(pool);
    lbuf_clear(pool);
    EXPECT_EQ(c.destroyed, 5);
    EXPECT_EQ(lbuf_count(pool), 0u);
    EXPECT_EQ(lbuf_first(pool), nullptr);
    lbuf_slab_malloc(pool);
    EXPECT_EQ(lbuf_count(pool), 1u);
    lbuf_exit(pool);
    EXPECT_EQ(c.destroyed, 6);
}

TEST(LbufPool, ExitReturnsEveryBlockToTheHeap) {
    mem_stats before{};
    mem_stats_get(&before);
    lbuf *pool = lbuf_init("heap", nullptr, nullptr, nullptr, 64);
    for (int i = 0; i < 10; i++) lbuf_slab_malloc(pool);
    lbuf_exit(pool);
    mem_stats after{};
    mem_stats_get(&after);
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
}

TEST(LbufWalk, ListKeepsAllocationOrderAndAllowsFreeWhileWalking) {
    lbuf *pool = lbuf_init("walk", nullptr, nullptr, nullptr, sizeof(int));
    for (int i = 0; i < 6; i++) *static_cast<int *>(lbuf_slab_malloc(pool)) = i;
    std::vector<int> order;
    lbuf_lock(pool);
    for (void *item = lbuf_first(pool); item;) {
        void *next = lbuf_next(pool, item);
        const int value = *static_cast<int *>(item);
        order.push_back(value);
        if (value % 2 == 0) lbuf_free(pool, item);
        item = next;
    }
    lbuf_unlock(pool);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(lbuf_count(pool), 3u);
    std::vector<int> left;
    for (void *item = lbuf_first(pool); item; item = lbuf_next(pool, item)) {
        left.push_back(*static_cast<int *>(item));
    }
    EXPECT_EQ(left, (std::vector<int>{1, 3, 5}));
    lbuf_exit(pool);
}

TEST(LbufConcurrent, ThreadsAllocateAndFreeWithoutLosingCount) {
    lbuf *pool = lbuf_init("threads", nullptr, nullptr, nullptr, 24);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([pool] {
            std::vector<void *> mine;
            for (int i = 0; i < 2000; i++) {
                mine.push_back(lbuf_slab_malloc(pool));
                if (i % 3 == 0) {
                    lbuf_free(pool, mine.back());
                    mine.pop_back();
                }
            }
            for (void *item : mine) lbuf_free(pool, item);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(lbuf_count(pool), 0u);
    EXPECT_EQ(lbuf_first(pool), nullptr);
    lbuf_exit(pool);
}
