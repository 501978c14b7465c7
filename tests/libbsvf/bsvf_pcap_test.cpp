#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_reg.h"
#include "libbsv/bsv_type.h"
#include "libbsv/bsv_value.h"
#include "libbsvf/bsvf_pcap.h"
#include "libbsvf/bsvf_pcap_file.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "pcap_parse.h"

namespace {

// A private log context, console off, writing its log file to path.
struct pcap_log {
    log_ctx *ctx = log_ctx_new();
    explicit pcap_log(const std::string &path, char mode = 'w') {
        bsvf_log_attach();
        ctx->console_on.store(0);
        ctx->file.mode[0] = mode;
        EXPECT_EQ(log2_ioctl(ctx, LOG2_IOCTL_FILE, path.c_str()), 0);
        log2_ioctl(ctx, LOG2_IOCTL_FILE_ON, 1);
    }
    ~pcap_log() { log_ctx_free(ctx); }
    void log(const char *msg) { log2_printf(ctx, LOG_INFO, "main", __FILE__, __LINE__, "fn", "%s", msg); }
};

TEST(BsvfTypeToDlt, UserLinkTypesFor1To15Only) {
    const int rows[][2] = {{1, 147}, {2, 148}, {15, 161}, {0, -1}, {16, -1}, {-3, -1}};
    for (const auto &row : rows) EXPECT_EQ(bsvf_type_2_dlt(row[0]), row[1]) << row[0];
}

TEST(BsvfPcapWrite, RecordTimeBecomesPacketTimeAndTheRestItsData) {
    temp_folder dir;
    bsvf_pcap *h = bsvf_pcap_create_imp(dir.file("r.pcap").c_str(), 0, BSV_TYPE_LOG);
    ASSERT_NE(h, nullptr);
    std::string rec(200, 'r');
    const uint8_t time[12] = {0x10, 0x20, 0x30, 0x40, 1, 0, 0, 0, 0x40, 0xE2, 0x01, 0};  // usec 123456
    rec.replace(0, 12, reinterpret_cast<const char *>(time), 12);
    bsvf_pcap_write(h, rec.data(), rec.size());
    bsvf_pcap_write(h, rec.data(), 12);  // refused: no data behind the time
    bsvf_pcap_close(h);
    pcap_view view = pcap_parse(slurp(dir.file("r.pcap")));
    ASSERT_TRUE(view.header_ok);
    EXPECT_EQ(view.linktype, 147u);
    ASSERT_EQ(view.packets.size(), 1u);
    EXPECT_EQ(view.packets[0].sec, 0x40302010u);  // seconds cut to 32 bits
    EXPECT_EQ(view.packets[0].usec, 123456u);
    EXPECT_EQ(view.packets[0].data, rec.substr(12));
    EXPECT_EQ(view.packets[0].data.size(), 188u);
}

TEST(BsvfPcapFile, LogFileHoldsOnePacketPerRecordWithTheRecordsTime) {
    temp_folder dir;
    std::string path = dir.file("hubd.pcap");
    bsv_reader *reader = bsv_open_log();
    ASSERT_NE(reader, nullptr);
    {
        pcap_log log(path);
        for (const char *msg : {"one\n", "two\n", "three\n"}) log.log(msg);
    }
    pcap_view view = pcap_parse(slurp(path));
    ASSERT_TRUE(view.header_ok);
    EXPECT_EQ(view.trailing, 0u);
    ASSERT_EQ(view.packets.size(), 3u);
    for (const pcap_packet &packet : view.packets) {
        const uint8_t *rec = nullptr;
        int len = bsv_read_raw_log(reader, &rec);
        ASSERT_GT(len, 12);
        EXPECT_EQ(packet.sec, static_cast<uint32_t>(bsv_value_get_u64(reader->value, rec, BSV_LOG_SEC)));
        EXPECT_EQ(packet.usec, bsv_value_get_u32(reader->value, rec, BSV_LOG_USEC));
        EXPECT_EQ(packet.data, std::string(reinterpret_cast<const char *>(rec) + 12, static_cast<size_t>(len) - 12));
    }
    bsv_close(reader, 1);
}

TEST(BsvfPcapFile, SizeSetAfterOpeningCapsTheFile) {
    temp_folder dir;
    std::string path = dir.file("cap.pcap");
    pcap_log log(path);
    log2_ioctl(log.ctx, LOG2_IOCTL_FILE_SIZE, 8192);
    std::string msg(300, 'x');
    for (int i = 0; i < 200; ++i) log.log(msg.c_str());
    std::string bytes = slurp(path);
    EXPECT_LT(bytes.size(), 8192u);
    pcap_view view = pcap_parse(bytes);
    ASSERT_TRUE(view.header_ok);
    EXPECT_EQ(view.trailing, 0u);
    EXPECT_GT(view.packets.size(), 5u);
}

TEST(BsvfPcapFile, FileDeletedWhileLoggingIsRecreatedByTheNextRecord) {
    temp_folder dir;
    std::string path = dir.file("del.pcap");
    pcap_log log(path);
    log.log("before\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    log.log("after\n");
    pcap_view view = pcap_parse(slurp(path));
    ASSERT_TRUE(view.header_ok);
    ASSERT_EQ(view.packets.size(), 1u);
    EXPECT_NE(view.packets[0].data.find("after"), std::string::npos);
}

}  // namespace
