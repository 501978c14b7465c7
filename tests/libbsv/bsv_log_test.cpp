#include <gtest/gtest.h>

#include <ctime>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_reg.h"
#include "libbsv/bsv_type.h"
#include "libbsv/bsv_value.h"
#include "libpal/env/malloc.h"
#include "libpal/memory/rbuf.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "malloc_counter.h"

namespace {

// The process context with the console off and both text hooks recording
// tags, put back as it was at scope end.
std::vector<std::string> g_hooked_tags;
void record_tag(int, const char *tag, const char *, int) { g_hooked_tags.emplace_back(tag); }

struct quiet_log {
    log_ctx *ctx = log_ctx_process();
    uint8_t console = ctx->console_on.load();
    int32_t level = ctx->level.load();
    quiet_log() {
        ctx->console_on.store(0);
        ctx->level.store(LOG_DBG);
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_INFO, record_tag);
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_WARN, record_tag);
        g_hooked_tags.clear();
        bsv_log_attach();
    }
    ~quiet_log() {
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_INFO, static_cast<log2_hook_fn>(nullptr));
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_WARN, static_cast<log2_hook_fn>(nullptr));
        ctx->console_on.store(console);
        ctx->level.store(level);
    }
};

int drain(bsv_reader *reader) {
    const uint8_t *rec = nullptr;
    int count = 0;
    while (bsv_read_raw_log(reader, &rec) > 0) ++count;
    return count;
}

TEST(BsvLogEncode, LongMessageIsCutToExactly1470BytesAndTerminated) {
    std::string msg(3000, 'm');
    uint8_t rec[BSV_LOG_REC_MAXN + 8];
    std::memset(rec, 0xAA, sizeof rec);
    size_t len = bsv_log_encode(rec, LOG_INFO, "main", "a.cpp", 7, "fn", msg.c_str());
    ASSERT_EQ(len, 1470u);
    EXPECT_EQ(rec[1469], 0);
    EXPECT_EQ(rec[1470], 0xAA);  // nothing written behind the record
    bsv_value_ctx *ctx = bsv_value_init(BSV_LOG_INFO, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_STREQ(bsv_value_get_str_n(ctx, rec, len, BSV_LOG_FUNC), "fn");
    EXPECT_STREQ(bsv_value_get_str_n(ctx, rec, len, BSV_LOG_LINE), "7");
    const char *cut = bsv_value_get_str_n(ctx, rec, len, BSV_LOG_MSG);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(cut) + std::strlen(cut) + 1, rec + 1470);
    EXPECT_EQ(bsv_value_get_u8(ctx, rec, BSV_LOG_LEVEL), LOG_INFO);
    bsv_value_exit(ctx);
}

TEST(BsvLogEncode, TextsAfterACutOneAreLeftOut) {
    std::string file(2000, 'f');
    uint8_t rec[BSV_LOG_REC_MAXN];
    size_t len = bsv_log_encode(rec, LOG_ERR, "main", file.c_str(), 1, "fn", "message");
    ASSERT_EQ(len, 1470u);
    bsv_value_ctx *ctx = bsv_value_init(BSV_LOG_INFO, 0);
    EXPECT_STREQ(bsv_value_get_str_n(ctx, rec, len, BSV_LOG_MSG), "");
    EXPECT_EQ(std::strlen(bsv_value_get_str_n(ctx, rec, len, BSV_LOG_FILE)),
              1470 - 21 - 5 - std::strlen(bsv_value_get_str_n(ctx, rec, len, BSV_LOG_TID_NAME)) - 1 - 1);
    bsv_value_exit(ctx);
}

TEST(BsvLogEncode, SourceFileLosesTheBuildTreePrefix) {
    uint8_t rec[BSV_LOG_REC_MAXN];
    bsv_reg_log();
    bsv_value_ctx *ctx = bsv_value_init(BSV_LOG_INFO, 0);
    const std::string rows[][2] = {
        {std::string(HUBD_SOURCE_DIR) + "/src/lib/libnet/net_sock.cpp", "src/lib/libnet/net_sock.cpp"},
        {"../../../../src/lib/libnet/net_sock.cpp", "src/lib/libnet/net_sock.cpp"},
        {"./x.cpp", "x.cpp"},
        {"/elsewhere/y.cpp", "/elsewhere/y.cpp"},
        {"..hidden.cpp", "..hidden.cpp"},
    };
    for (const auto &row : rows) {
        size_t len = bsv_log_encode(rec, LOG_INFO, "main", row[0].c_str(), 1, "fn", "x");
        EXPECT_STREQ(bsv_value_get_str_n(ctx, rec, len, BSV_LOG_FILE), row[1].c_str());
    }
    bsv_value_exit(ctx);
}

TEST(BsvOpen, QuerySizesTheRingAndUnknownNamesFail) {
    bsv_reg_log();
    char err[BSV_ERR_MAXN];
    bsv_reader *reader = bsv_open("log?bsv_rbuf_size=64k", err);
    ASSERT_NE(reader, nullptr) << err;
    rbuf_stats stats{};
    ASSERT_TRUE(rbuf_stats_get(reader->ring, &stats));
    EXPECT_EQ(stats.all_size, 65536u);
    EXPECT_EQ(stats.slot_size, 1474u);
    EXPECT_EQ(stats.max_queue_size, 44u);
    bsv_close(reader, 1);
    EXPECT_EQ(bsv_open("nolog", err), nullptr);
    EXPECT_STREQ(err, "name does not exist");
}

TEST(BsvLogRecord, TagsOfItsOwnTransportsMakeNoRecordButReachTheTextSinks) {
    quiet_log quiet;
    bsv_reader *reader = bsv_open_log();
    ASSERT_NE(reader, nullptr);
    for (const char *tag : {"net", "bsv", "main"}) {
        log2_printf(nullptr, LOG_INFO, tag, __FILE__, __LINE__, __func__, "hello %s\n", tag);
    }
    EXPECT_EQ(g_hooked_tags, (std::vector<std::string>{"net", "bsv", "main"}));
    const uint8_t *rec = nullptr;
    int len = bsv_read_raw_log(reader, &rec);
    ASSERT_GT(len, 0);
    EXPECT_STREQ(bsv_value_get_str_n(reader->value, rec, static_cast<size_t>(len), BSV_LOG_TAG), "main");
    EXPECT_EQ(bsv_read_raw_log(reader, &rec), 0);
    bsv_close(reader, 1);
}

TEST(BsvLogRecord, NinthReaderOpensButReceivesNothing) {
    quiet_log quiet;
    std::vector<bsv_reader *> readers;
    for (int i = 0; i < 9; ++i) {
        readers.push_back(bsv_open_log());
        ASSERT_NE(readers.back(), nullptr);
    }
    log2_printf(nullptr, LOG_INFO, "main", __FILE__, __LINE__, __func__, "to all\n");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(drain(readers[i]), i < 8 ? 1 : 0) << "reader " << i;
    for (bsv_reader *reader : readers) bsv_close(reader, 1);
}

TEST(BsvReadLog, TextShowsLocalTimeToTheMillisecond) {
    bsv_reader *reader = bsv_open_log();
    ASSERT_NE(reader, nullptr);
    uint8_t rec[BSV_LOG_REC_MAXN];
    size_t len = bsv_log_encode(rec, LOG_WARN, "dbg", "f.cpp", 3, "fn", "noon\n");
    tm noon{.tm_hour = 12, .tm_mday = 9, .tm_mon = 0, .tm_year = 124, .tm_isdst = -1};
    uint64_t sec = static_cast<uint64_t>(mktime(&noon));
    uint32_t usec = 123456;
    for (int i = 0; i < 8; ++i) rec[i] = static_cast<uint8_t>(sec >> (8 * i));
    for (int i = 0; i < 4; ++i) rec[8 + i] = static_cast<uint8_t>(usec >> (8 * i));
    bsv_write(bsv_log_type(), rec, len);
    bsv_write(bsv_log_type(), rec, len);

    const uint8_t *raw = nullptr;
    ASSERT_EQ(bsv_read_raw_log(reader, &raw), static_cast<int>(len));
    EXPECT_EQ(bsv_value_get_u32(reader->value, raw, BSV_LOG_USEC), 123456u);
    char text[BSV_LOG_TEXT_MAXN];
    int level = 0;
    int n = bsv_read_log(reader, &level, text);
    ASSERT_GT(n, 0);
    EXPECT_EQ(level, LOG_WARN);
    std::string expected_tail = " --- [" + std::string(reinterpret_cast<const char *>(rec) + 25) + "] dbg fn(): noon\n";
    EXPECT_EQ(std::string(text, 29), "2024-01-09 12:00:00.123 WARN ");
    EXPECT_NE(std::string(text).find(expected_tail), std::string::npos) << text;
    EXPECT_EQ(bsv_read_log(reader, &level, text), 0);
    EXPECT_EQ(bsv_read_log(nullptr, &level, text), -1);
    bsv_close(reader, 1);
}

TEST(BsvLogRecord, EncodingAndDeliveryAllocateNothing) {
    if (!malloc_counter_works()) GTEST_SKIP() << "malloc is not interposable under the sanitizers";
    quiet_log quiet;
    bsv_reader *reader = bsv_open_log();
    ASSERT_NE(reader, nullptr);
    log2_printf(nullptr, LOG_INFO, "main", __FILE__, __LINE__, __func__, "warm %d\n", 0);
    mem_stats before{};
    mem_stats_get(&before);
    uint64_t calls = malloc_counter_calls();
    for (int i = 0; i < 1000; ++i) bsv_log_record(LOG_INFO, "main", __FILE__, __LINE__, __func__, "a record");
    EXPECT_EQ(malloc_counter_calls(), calls);
    mem_stats after{};
    mem_stats_get(&after);
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(drain(reader), 711);  // a 1 MiB ring keeps its newest 711 records
    bsv_close(reader, 1);
}

TEST(BsvLogConcurrent, WritersAndAReaderShareTheRing) {
    quiet_log quiet;
    bsv_reader *reader = bsv_open_log();
    ASSERT_NE(reader, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> got{0};
    std::thread drainer([&] {
        while (!done.load(std::memory_order_relaxed)) got.fetch_add(drain(reader), std::memory_order_relaxed);
        got.fetch_add(drain(reader), std::memory_order_relaxed);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([] {
            for (int i = 0; i < 200; ++i) bsv_log_record(LOG_INFO, "main", "w.cpp", i, "w", "concurrent");
        });
    }
    for (std::thread &w : writers) w.join();
    done.store(true);
    drainer.join();
    rbuf_stats stats{};
    rbuf_stats_get(reader->ring, &stats);
    EXPECT_EQ(static_cast<uint64_t>(got.load()) + stats.drop_count, 800u);
    bsv_close(reader, 1);
}

}  // namespace
