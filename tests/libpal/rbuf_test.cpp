// Ring buffer: slot arithmetic, dropping the oldest record, batch reads, threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "libpal/memory/rbuf.h"
#include "str_log_capture.h"

namespace {

struct ring_closer {
    rbuf *ring;
    ~ring_closer() {
        if (ring) rbuf_exit(ring);
    }
};

uint32_t prefix_at(const uint8_t *p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }

// Writes a record of size bytes whose first four bytes carry seq.
void write_seq(rbuf *ring, uint32_t seq, size_t size) {
    std::vector<uint8_t> record(size, static_cast<uint8_t>(seq));
    std::memcpy(record.data(), &seq, sizeof(seq));
    ASSERT_EQ(rbuf_write(ring, record.data(), record.size()), 0);
}

// Reads everything waiting and returns the sequence numbers in order.
std::vector<uint32_t> drain(rbuf *ring) {
    std::vector<uint32_t> seqs;
    uint8_t buf[RBUF_READ_MAXN];
    for (;;) {
        const int n = rbuf_read_imp(ring, buf, sizeof(buf));
        EXPECT_GE(n, 0);
        if (n <= 0) break;
        for (int pos = 0; pos < n;) {
            const uint32_t len = prefix_at(buf + pos);
            uint32_t seq;
            std::memcpy(&seq, buf + pos + 2, sizeof(seq));
            seqs.push_back(seq);
            pos += 2 + static_cast<int>(len);
        }
    }
    return seqs;
}

}  // namespace

TEST(RbufInit, MegabyteRingWithMtuBlocksHas711Slots) {
    ring_closer ring{rbuf_init(1 << 20, 1472)};
    ASSERT_NE(ring.ring, nullptr);
    rbuf_stats stats{};
    ASSERT_TRUE(rbuf_stats_get(ring.ring, &stats));
    EXPECT_EQ(stats.max_queue_size, 711u);
    EXPECT_EQ(stats.slot_size, 1474u);
    EXPECT_EQ(stats.bs_byte, 2u);
}

TEST(RbufInit, BadSizesAreRefused) {
    str_log_capture log;
    EXPECT_EQ(rbuf_init(2, 100), nullptr);
    EXPECT_EQ(rbuf_init(1000, 2), nullptr);
    EXPECT_EQ(rbuf_init(1000, 600), nullptr);
    const std::string text = log.take();
    EXPECT_TRUE(str_contains(text, "all_size>2"));
    EXPECT_TRUE(str_contains(text, "block_size>2 && block_size<=UINT16_MAX"));
    EXPECT_TRUE(str_contains(text, "MaxQueueSize=1 <2 error"));
}

TEST(RbufInit, LargeBlocksUseFourBytePrefix) {
    ring_closer ring{rbuf_init(300000, 70000)};
    ASSERT_NE(ring.ring, nullptr);
    rbuf_stats stats{};
    ASSERT_TRUE(rbuf_stats_get(ring.ring, &stats));
    EXPECT_EQ(stats.bs_byte, 4u);
    EXPECT_EQ(stats.max_queue_size, 4u);
    std::vector<uint8_t> record(70000, 0x5A);
    EXPECT_EQ(rbuf_write(ring.ring, record.data(), record.size()), 0);
    std::vector<uint8_t> out(70004);
    ASSERT_EQ(rbuf_read_imp(ring.ring, out.data(), out.size()), 70004);
    EXPECT_EQ(out[0] | (out[1] << 8) | (out[2] << 16) | (out[3] << 24), 70000);
}

TEST(RbufWrite, FullRingDropsOldestRecord) {
    ring_closer ring{rbuf_init(1 << 20, 1472)};
    ASSERT_NE(ring.ring, nullptr);
    for (uint32_t seq = 1; seq <= 711; seq++) write_seq(ring.ring, seq, 100);
    rbuf_stats stats{};
    rbuf_stats_get(ring.ring, &stats);
    EXPECT_EQ(stats.drop_count, 0u);
    write_seq(ring.ring, 712, 100);
    rbuf_stats_get(ring.ring, &stats);
    EXPECT_EQ(stats.drop_count, 1u);
    EXPECT_EQ(stats.drop_bytes, 100u);
    EXPECT_EQ(stats.write_count, 712u);
    EXPECT_EQ(stats.queued, 711u);
    const std::vector<uint32_t> seqs = drain(ring.ring);
    ASSERT_EQ(seqs.size(), 711u);
    EXPECT_EQ(seqs.front(), 2u);
    EXPECT_EQ(seqs.back(), 712u);
    for (size_t i = 1; i < seqs.size(); i++) EXPECT_EQ(seqs[i], seqs[i - 1] + 1);
}

TEST(RbufWrite, RecordOfBlockSizeFitsAndOneMoreIsRefused) {
    ring_closer ring{rbuf_init(1 << 20, 1472)};
    std::vector<uint8_t> record(1473, 1);
    EXPECT_EQ(rbuf_write(ring.ring, record.data(), 1472), 0);
    str_log_capture log;
    EXPECT_EQ(rbuf_write(ring.ring, record.data(), 1473), -1);
    EXPECT_EQ(rbuf_write(ring.ring, record.data(), 0), -1);
    EXPECT_EQ(rbuf_write(ring.ring, nullptr, 10), -1);
    const std::string text = log.take();
    EXPECT_TRUE(str_contains(text, "size>0 && size<=ctx->BlockSize-ctx->bs_byte"));
    EXPECT_TRUE(str_contains(text, "block!=NULL"));
    rbuf_stats stats{};
    rbuf_stats_get(ring.ring, &stats);
    EXPECT_EQ(stats.write_count, 1u);
}

TEST(RbufWrite, SlotHoldsLittleEndianLengthThenRecord) {
    ring_closer ring{rbuf_init(4096, 600)};
    const uint8_t record[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    ASSERT_EQ(rbuf_write(ring.ring, record, sizeof(record)), 0);
    uint8_t buf[RBUF_READ_MAXN] = {};
    ASSERT_EQ(rbuf_read_imp(ring.ring, buf, sizeof(buf)), 7);
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(std::memcmp(buf + 2, record, sizeof(record)), 0);
}

TEST(RbufWrite, AllocLockWritesInPlace) {
    ring_closer ring{rbuf_init(4096, 600)};
    auto *area = static_cast<char *>(rbuf_alloc_lock(ring.ring, 3));
    ASSERT_NE(area, nullptr);
    std::memcpy(area, "abc", 3);
    rbuf_alloc_unlock(ring.ring, 3);
    uint8_t buf[RBUF_READ_MAXN] = {};
    ASSERT_EQ(rbuf_read_imp(ring.ring, buf, sizeof(buf)), 5);
    EXPECT_EQ(std::memcmp(buf + 2, "abc", 3), 0);
}

TEST(RbufRead, NothingWrittenReadsZero) {
    ring_closer ring{rbuf_init(1 << 20, 1472)};
    uint8_t buf[RBUF_READ_MAXN];
    EXPECT_EQ(rbuf_read_imp(ring.ring, buf, sizeof(buf)), 0);
}

TEST(RbufRead, BatchHoldsOnlyWholeRecords) {
    ring_closer ring{rbuf_init(1 << 20, 1472)};
    for (uint32_t seq = 1; seq <= 3; seq++) write_seq(ring.ring, seq, 1470);
    uint8_t buf[RBUF_READ_MAXN];
    EXPECT_EQ(rbuf_read_imp(ring.ring, buf, sizeof(buf)), 2944);
    EXPECT_EQ(prefix_at(buf), 1470u);
    EXPECT_EQ(prefix_at(buf + 1472), 1470u);
    EXPECT_EQ(rbuf_read_imp(ring.ring, buf, sizeof(buf)), 1472);
    EXPECT_EQ(rbuf_read_imp(ring.ring, buf, sizeof(buf)), 0);
}

TEST(RbufRead, BufferSmallerThanSlotIsRefused) {
    ring_closer ring{rbuf_init(1 << 20, 1472)};
    write_seq(ring.ring, 1, 10);
    uint8_t buf[1000];
    str_log_capture log;
    EXPECT_EQ(rbuf_read_imp(ring.ring, buf, sizeof(buf)), -1);
    EXPECT_EQ(rbuf_read_imp(nullptr, buf, sizeof(buf)), -1);
    const std::string text = log.take();
    EXPECT_TRUE(str_contains(text, "len>=ctx->BlockSize"));
    EXPECT_TRUE(str_contains(text, "h!=NULL"));
}

TEST(RbufRead, DroppedRecordsLeaveNoPendingBytes) {
    ring_closer ring{rbuf_init(3000, 1000)};  // two slots
    for (uint32_t seq = 1; seq <= 5; seq++) write_seq(ring.ring, seq, 500);
    EXPECT_EQ(drain(ring.ring), (std::vector<uint32_t>{4, 5}));
    rbuf_stats stats{};
    rbuf_stats_get(ring.ring, &stats);
    EXPECT_EQ(stats.pending_bytes, 0u);
    EXPECT_EQ(stats.drop_count, 3u);
    EXPECT_EQ(stats.drop_bytes, 1500u);
}

TEST(RbufConcurrent, WritersNeverBlockAndReaderSeesEachWriterInOrder) {
    ring_closer ring{rbuf_init(64 * 1024, 64)};
    constexpr int kWriters = 3;
    constexpr uint32_t kPerWriter = 20000;
    std::atomic<int> writers_done{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([&, w] {
            for (uint32_t i = 1; i <= kPerWriter; i++) {
                const uint32_t value[2] = {static_cast<uint32_t>(w), i};
                rbuf_write(ring.ring, value, sizeof(value));
            }
            writers_done.fetch_add(1, std::memory_order_relaxed);
        });
    }
    uint32_t last[kWriters] = {};
    uint64_t read_count = 0;
    bool ordered = true;
    uint8_t buf[RBUF_READ_MAXN];
    for (;;) {
        const bool done = writers_done.load(std::memory_order_relaxed) == kWriters;
        const int n = rbuf_read_imp(ring.ring, buf, sizeof(buf));
        ASSERT_GE(n, 0);
        for (int pos = 0; pos < n; pos += 2 + 8) {
            uint32_t value[2];
            ASSERT_EQ(prefix_at(buf + pos), 8u);
            std::memcpy(value, buf + pos + 2, sizeof(value));
            ASSERT_LT(value[0], static_cast<uint32_t>(kWriters));
            if (value[1] <= last[value[0]]) ordered = false;
            last[value[0]] = value[1];
            read_count++;
        }
        if (done && n == 0) break;
        if (n == 0) rbuf_wait_data(ring.ring, 10);
    }
    for (auto &t : writers) t.join();
    EXPECT_TRUE(ordered);
    rbuf_stats stats{};
    rbuf_stats_get(ring.ring, &stats);
    EXPECT_EQ(stats.write_count, uint64_t{kWriters} * kPerWriter);
    EXPECT_EQ(read_count + stats.drop_count, stats.write_count);
    EXPECT_EQ(stats.queued, 0u);
}

TEST(RbufConcurrent, WaitDataWakesOnWriteFromAnotherThread) {
    ring_closer ring{rbuf_init(4096, 100)};
    std::thread writer([&] { write_seq(ring.ring, 9, 10); });
    EXPECT_TRUE(rbuf_wait_data(ring.ring, -1));
    writer.join();
    EXPECT_EQ(drain(ring.ring), std::vector<uint32_t>{9});
}
