#include <gtest/gtest.h>

#include <string>

#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "liblog/log_ring.h"
#include "libpal/env/malloc.h"
#include "log_test_util.h"

namespace {
void add(log_ring &ring, const std::string &text) { log_ring_append(&ring, text.data(), text.size()); }
std::string line_of(char ch, size_t len) { return std::string(len - 1, ch) + "\n"; }
}  // namespace

TEST(LogRing, LinesAreKeptInOrder) {
    log_ring ring;
    add(ring, "one\n");
    add(ring, "two\n");
    EXPECT_STREQ(log_ring_text(&ring), "one\ntwo\n");
    EXPECT_EQ(ring.used, 8u);
}

TEST(LogRing, FullRingDropsWholeOldestLines) {
    log_ring ring;
    for (char ch = 'a'; ch < 'a' + 10; ++ch) add(ring, line_of(ch, 100));
    ASSERT_EQ(ring.used, 1000u);
    add(ring, line_of('z', 50));
    std::string text = log_ring_text(&ring);
    EXPECT_EQ(text.size(), 950u);
    EXPECT_EQ(text.substr(0, 100), line_of('b', 100));
    EXPECT_EQ(text.substr(900), line_of('z', 50));
}

TEST(LogRing, DropsAsManyLinesAsTheNewTextNeeds) {
    log_ring ring;
    for (char ch = 'a'; ch < 'a' + 10; ++ch) add(ring, line_of(ch, 100));
    add(ring, line_of('z', 250));
    std::string text = log_ring_text(&ring);
    EXPECT_EQ(text.substr(0, 100), line_of('d', 100));
    EXPECT_EQ(ring.used, 950u);
}

TEST(LogRing, HoldsAtMost1023Characters) {
    log_ring ring;
    add(ring, line_of('a', 1023));
    EXPECT_EQ(ring.used, 1023u);
    add(ring, line_of('b', 1024));
    EXPECT_EQ(std::string(log_ring_text(&ring)), line_of('a', 1023));
}

TEST(LogRing, TooLongTextIsNotStoredAndKeepsOldLines) {
    log_ring ring;
    add(ring, "keep\n");
    add(ring, line_of('x', 2000));
    EXPECT_STREQ(log_ring_text(&ring), "keep\n");
}

TEST(LogRing, LongLineFittingAnEmptyRingReplacesShortOnes) {
    log_ring ring;
    add(ring, line_of('s', 100));
    add(ring, line_of('y', 950));
    EXPECT_EQ(std::string(log_ring_text(&ring)), line_of('y', 950));
}

TEST(LogRing, LogCallFeedsRingAndLastLogCopiesIt) {
    process_ctx_guard saved;
    log_ctx *ctx = log_ctx_process();
    ctx->console_on.store(0);
    ctx->flags.store(0);
    ctx->level.store(LOG_INFO);
    log2_printf(nullptr, LOG_INFO, "t", "f", 1, nullptr, "ring line %d\n", 7);
    char *copy = log2_last_log();
    ASSERT_NE(copy, nullptr);
    std::string text = copy;
    mem_free(copy);
    ASSERT_GE(text.size(), 12u);
    EXPECT_EQ(text.substr(text.size() - 12), "ring line 7\n");
}

TEST(LogRing, RecordOf2000CharactersNeverEntersViaLogCall) {
    scoped_log_ctx c;
    c.ctx->flags.store(0);
    std::string big(2000, 'q');
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "%s\n", big.c_str());
    EXPECT_EQ(c.ctx->last_log_ring.used, 0u);
}

// Thousands of appends of mixed lengths move the held text to the front of
// its store many times; after each one the ring must hold what a plain
// string model holds: a full ring frees at least the new line's length in
// whole oldest lines.
TEST(LogRing, ManyMixedAppendsMatchAModelOfTheNewestLines) {
    log_ring ring;
    std::string model;
    for (int i = 0; i < 5000; ++i) {
        std::string line = line_of(static_cast<char>('a' + i % 26), 1 + static_cast<size_t>(i * 37 % 300));
        add(ring, line);
        size_t drop = 0;
        if (model.size() + line.size() + 1 > LOG_RING_CAP) {
            while (drop < line.size() && drop < model.size()) drop = model.find('\n', drop) + 1;
        }
        model = model.substr(drop) + line;
        ASSERT_EQ(std::string(log_ring_text(&ring)), model) << "after append " << i;
        ASSERT_EQ(ring.used, model.size());
    }
}
