#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "libpal/os/os_debug.h"
#include "libpal/os/os_error.h"
#include "log_test_util.h"
#include "liblog/log_sink_syslog.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {
std::string ini(const temp_dir &dir, const std::string &body) {
    std::string path = dir.file("hubd.ini");
    write_file(path, "[log]\n" + body);
    return path;
}
}  // namespace

TEST(LogInit, ReadsLevelFlagsFileAndSize) {
    process_ctx_guard saved;
    temp_dir dir;
    std::string path = ini(dir, "level=warn\nflags=time_ms|tid\nfile_dir=" + dir.file("logs") +
                                    "\nfile_mode=a\nfile=app.log\nfile_size=4k\ndbgview=1\n");
    log_ctx *ctx = log2_init(path.c_str());
    ASSERT_EQ(ctx, log_ctx_process());
    EXPECT_EQ(ctx->level.load(), LOG_WARN);
    EXPECT_EQ(ctx->flags.load(), 0x61u);
    EXPECT_EQ(ctx->file.max_size, 4096u);
    EXPECT_EQ(ctx->file.mode[0], 'a');
    EXPECT_EQ(std::string(ctx->file.name), dir.file("logs/app.log"));
    EXPECT_EQ(ctx->file_on.load(), 1);
    EXPECT_EQ(ctx->dbgview_on.load(), 1);
    EXPECT_EQ(access(dir.file("logs/app.log").c_str(), F_OK), 0);
}

TEST(LogInit, EmptyValuesLeaveSettingsAlone) {
    process_ctx_guard saved;
    temp_dir dir;
    log_ctx *ctx = log_ctx_process();
    ctx->level.store(LOG_VERB);
    ctx->flags.store(0x05);
    log2_init(ini(dir, "level=\nflags=\nfile=\n").c_str());
    EXPECT_EQ(ctx->level.load(), LOG_VERB);
    EXPECT_EQ(ctx->flags.load(), 0x05u);
    EXPECT_EQ(ctx->file_on.load(), 0);
}

TEST(LogInit, FileSizeBelow2048IsRejectedWithWarning) {
    process_ctx_guard saved;
    temp_dir dir;
    log_ctx *ctx = log_ctx_process();
    ctx->console_on.store(1);
    ctx->flags.store(0);
    ctx->level.store(LOG_INFO);
    uint32_t before = ctx->file.max_size;
    CaptureStderr();
    log2_init(ini(dir, "file_size=1k\n").c_str());
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "log2_ioctl log.file_size=1024 (must>=2048 error)\n");
    EXPECT_EQ(ctx->file.max_size, before);
}

TEST(LogInit, UnknownLevelSilencesUntilValidLevel) {
    process_ctx_guard saved;
    temp_dir dir;
    log_ctx *ctx = log_ctx_process();
    ctx->console_on.store(1);
    ctx->flags.store(0);
    CaptureStderr();
    log2_init(ini(dir, "level=chatty\n").c_str());
    log2_printf(nullptr, LOG_ERR, "t", "f", 1, nullptr, "silenced\n");
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "err");
    log2_printf(nullptr, LOG_ERR, "t", "f", 1, nullptr, "heard\n");
    EXPECT_EQ(GetCapturedStderr(), "error: invalid level [chatty]\nheard\n");
}

TEST(LogInit, BadFileModeKeepsMode) {
    process_ctx_guard saved;
    temp_dir dir;
    log_ctx *ctx = log_ctx_process();
    char before = ctx->file.mode[0];
    log2_init(ini(dir, "file_mode=x\n").c_str());
    EXPECT_EQ(ctx->file.mode[0], before);
}

TEST(LogInit, MissingFileAndNullPathReturnContext) {
    process_ctx_guard saved;
    EXPECT_EQ(log2_init(nullptr), log_ctx_process());
    EXPECT_EQ(log2_init("/nonexistent-dir/none.ini"), log_ctx_process());
}

TEST(LogInit, SyslogKeyConfiguresTheClientAndSwitchesItOn) {
    process_ctx_guard saved;
    temp_dir dir;
    log2_init(ini(dir, "syslog=tcp://127.0.0.1:601\n").c_str());
    EXPECT_EQ(log_ctx_process()->syslog_on.load(), 1);
    EXPECT_EQ(log_syslog_state(), LOG_SYSLOG_CONFIGURED);
    EXPECT_STREQ(log_net_url(), "tcp://127.0.0.1:601");
    log_net_close();
}

TEST(LogInitDeathTest, QldbglogEnvironmentEnablesTrace) {
    EXPECT_EXIT(
        {
            setenv("QLDBGLOG", "", 1);
            log2_init(nullptr);
            std::_Exit(log2_trace_enabled() ? 0 : 3);
        },
        testing::ExitedWithCode(0), "conf_file=\\(null\\)\n");
}

TEST(LogInitDeathTest, DebugKeyEnablesTraceAndEchoesKeys) {
    temp_dir dir;
    std::string path = ini(dir, "debug=1\nlevel=info\n");
    EXPECT_EXIT(
        {
            process_ctx_guard saved;
            unsetenv("QLDBGLOG");
            log2_init(path.c_str());
            std::_Exit(log2_trace_enabled() ? 0 : 3);
        },
        testing::ExitedWithCode(0), "log.debug=1\nlog.level=info\nlog.flags=\n");
}

TEST(LogTrace, OffWritesNothing) {
    if (log2_trace_enabled()) GTEST_SKIP() << "trace switched on by the environment";
    CaptureStderr();
    log2_trace("hidden %d\n", 1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

namespace {
std::string g_debug_text;
}

TEST(LogTraceDeathTest, OnWritesStderrAndDebuggerChannel) {
    EXPECT_EXIT(
        {
            os_debug_output_redirect([](const char *text) { g_debug_text += text; });
            log2_trace_enable();
            log2_trace("traced %d\n", 42);
            std::_Exit(g_debug_text == "traced 42\n" ? 0 : 3);
        },
        testing::ExitedWithCode(0), "traced 42\n");
}

TEST(OsStrerror, OkUnknownAndKnownCodes) {
    EXPECT_STREQ(os_strerror(0), "ok");
    EXPECT_STREQ(os_strerror(ENOENT), "No such file or directory");
    EXPECT_STREQ(os_strerror(99999), "unkown os_errno=99999 (0x1869f)");
}
