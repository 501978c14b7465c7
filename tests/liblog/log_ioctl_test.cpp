#include <gtest/gtest.h>

#include <string>

#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "libpal/env/malloc.h"
#include "log_test_util.h"
#include "liblog/log_sink_syslog.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(LogIoctl, SetLevelAndFlags) {
    scoped_log_ctx c;
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_LEVEL, LOG_WARN), 0);
    EXPECT_EQ(c.ctx->level.load(), LOG_WARN);
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FLAGS, 0x41u), 0);
    EXPECT_EQ(c.ctx->flags.load(), 0x41u);
}

TEST(LogIoctl, LevelByName) {
    scoped_log_ctx c;
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_LEVEL_NAME, "noti"), 0);
    EXPECT_EQ(c.ctx->level.load(), LOG_NOTI);
}

TEST(LogIoctl, UnknownLevelNameSilencesEverything) {
    scoped_log_ctx c;
    c.ctx->console_on.store(1);
    CaptureStderr();
    log2_ioctl(c.ctx, LOG2_IOCTL_LEVEL_NAME, "loud");
    log2_printf(c.ctx, LOG_CRIT, "t", "f", 1, nullptr, "not even crit\n");
    EXPECT_EQ(GetCapturedStderr(), "error: invalid level [loud]\n");
    EXPECT_EQ(c.ctx->level.load(), -1);
    log2_ioctl(c.ctx, LOG2_IOCTL_LEVEL_NAME, "info");
    EXPECT_EQ(c.ctx->level.load(), LOG_INFO);
}

TEST(LogIoctl, FlagList) {
    scoped_log_ctx c;
    log2_ioctl(c.ctx, LOG2_IOCTL_FLAG_LIST, "time|tid|func");
    EXPECT_EQ(c.ctx->flags.load(), 0x27u);
}

TEST(LogIoctl, FileSwitches) {
    scoped_log_ctx c;
    log2_ioctl(c.ctx, LOG2_IOCTL_DBGVIEW_ON, 1);
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
    log2_ioctl(c.ctx, LOG2_IOCTL_SYSLOG_ON, 1);
    EXPECT_EQ(c.ctx->dbgview_on.load(), 1);
    EXPECT_EQ(c.ctx->file_on.load(), 1);
    EXPECT_EQ(c.ctx->syslog_on.load(), 1);
    log2_ioctl(c.ctx, LOG2_IOCTL_DBGVIEW_ON, 0);
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 0);
    log2_ioctl(c.ctx, LOG2_IOCTL_SYSLOG_ON, 0);
    EXPECT_EQ(c.ctx->dbgview_on.load(), 0);
    EXPECT_EQ(c.ctx->file_on.load(), 0);
    EXPECT_EQ(c.ctx->syslog_on.load(), 0);
}

TEST(LogIoctl, FileDirIsCreatedAndStored) {
    scoped_log_ctx c;
    temp_dir dir;
    std::string sub = dir.file("a/b");
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FILE_DIR, sub.c_str()), 0);
    EXPECT_EQ(std::string(c.ctx->file.dir), sub);
    EXPECT_EQ(access(sub.c_str(), F_OK), 0);
}

TEST(LogIoctl, UnknownCodeFails) {
    scoped_log_ctx c;
    CaptureStderr();
    int r = log2_ioctl(c.ctx, 99, 0);
    EXPECT_EQ(GetCapturedStderr(), "Invalid command code\n");
    EXPECT_EQ(r, -1);
}

TEST(LogIoctl, NetworkSinksWithoutAttachFail) {
    scoped_log_ctx c;
    const log2_net_ops *bsvlog = log_attach_bsvlog();
    log2_attach_bsvlog(nullptr);
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_BSVLOG, "udp://127.0.0.1:514"), -1);
    log2_attach_bsvlog(bsvlog);
}

namespace {
std::string g_opened_url;
std::string g_sent;
const log2_net_ops FAKE_SYSLOG = {
    [](const char *url) {
        g_opened_url = url;
        return 0;
    },
    nullptr,
    [] { return "udp://127.0.0.1:5514"; },
    [](int level, const char *tag, const char *line) { g_sent += std::to_string(level) + tag + line; },
};
}  // namespace

TEST(LogIoctl, SyslogAttachOpensAndReceivesLinesWhenOn) {
    scoped_log_ctx c;
    c.ctx->flags.store(0);
    g_opened_url.clear();
    g_sent.clear();
    log2_attach_syslog(&FAKE_SYSLOG);
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_SYSLOG, "udp://127.0.0.1:5514"), 0);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "off\n");
    log2_ioctl(c.ctx, LOG2_IOCTL_SYSLOG_ON, 1);
    log2_printf(c.ctx, LOG_WARN, "sy", "f", 1, nullptr, "on\n");
    log2_attach_syslog(&g_log_syslog_ops);
    EXPECT_EQ(g_opened_url, "udp://127.0.0.1:5514");
    EXPECT_EQ(g_sent, "4syon\n");
}

TEST(LogIoctl, BsvlogAttachOpens) {
    scoped_log_ctx c;
    g_opened_url.clear();
    const log2_net_ops *bsvlog = log_attach_bsvlog();
    log2_attach_bsvlog(&FAKE_SYSLOG);
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_BSVLOG, "udp://127.0.0.1:9"), 0);
    log2_attach_bsvlog(bsvlog);
    EXPECT_EQ(g_opened_url, "udp://127.0.0.1:9");
}

TEST(LogFlags, EachNameSetsItsBits) {
    EXPECT_EQ(log_flags_2_int("tid"), 0x21u);
    EXPECT_EQ(log_flags_2_int("time"), 0x22u);
    EXPECT_EQ(log_flags_2_int("func"), 0x24u);
    EXPECT_EQ(log_flags_2_int("file"), 0x38u);
    EXPECT_EQ(log_flags_2_int("tid_name"), 0xA0u);
    EXPECT_EQ(log_flags_2_int("no_colour"), 0x00u);
    EXPECT_EQ(log_flags_2_int("time|time_ms"), 0x60u);
    EXPECT_EQ(log_flags_2_int("time_ms|time"), 0x62u);
}

TEST(LogFlags, UnknownNameIsReportedAndSkipped) {
    CaptureStderr();
    uint32_t flags = log_flags_2_int("tid|Time|func");
    EXPECT_EQ(GetCapturedStderr(), "Invalid tags: [Time]\n");
    EXPECT_EQ(flags, 0x25u);
}

TEST(LogDump, NineLinesOfCurrentSettings) {
    process_ctx_guard saved;
    temp_dir dir;
    log_ctx *ctx = log_ctx_process();
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_WARN);
    log2_ioctl(nullptr, LOG2_IOCTL_FILE, dir.file("dump me.log").c_str());
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_SIZE, 8192);
    log2_ioctl(nullptr, LOG2_IOCTL_DBGVIEW_ON, 1);
    ctx->console_on.store(1);
    ctx->file_on.store(0);
    ctx->syslog_on.store(0);
    char *text = log2_dump();
    ASSERT_NE(text, nullptr);
    std::string dump = text;
    mem_free(text);
    EXPECT_EQ(dump, "log_level=warn\nlog_shell_enale_out=1\nlog_dbgview_enale_out=1\nlog_file_enale_out=0\n"
                    "log_file_name='" + dir.file("dump me.log") + "'\nlog_file_max_size=8192\n"
                    "log_syslog_enale_out=0\nlog_syslog_url=''\nlog_bsvlog_url=''\n");
    EXPECT_EQ(log2_dbgview_get(), 1);
}
