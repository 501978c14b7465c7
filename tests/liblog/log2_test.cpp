#define LOG_TAG "test"
#include "liblog/log2.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_debug.h"
#include "libpal/os/os_thread.h"
#include "log_test_util.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Console output of one record of a private context with the given flags.
std::string console_line(log_ctx *ctx, uint32_t fmt_flags, uint32_t flags, const char *msg) {
    ctx->flags.store(fmt_flags);
    ctx->console_on.store(1);
    CaptureStderr();
    log2_printf(ctx, flags, "test", "/src/lib/dir/unit.cpp", 42, "do_work", "%s", msg);
    return GetCapturedStderr();
}

std::string tid_text() { return std::to_string(os_thread_id()); }

}  // namespace

// One record of each format flag on the console: the exact line (or its
// pattern where the clock shows) and what log2_printf returns (-1: not checked).
TEST(Log2Format, EachFlagAddsItsPiece) {
    char name[OS_THREAD_NAME_MAXN];
    os_thread_name_get(name);
    const char *path = "/src/lib/dir/unit.cpp";
    const struct {
        uint32_t fmt_flags;
        uint32_t flags;
        const char *file;
        int line;
        const char *func;
        const char *msg;
        std::string shown;
        bool pattern;
        int returned;
    } rows[] = {
        {0, LOG_INFO, path, 42, "do_work", "hello\n", "hello\n", false, -1},
        {LOG_FMT_TID, LOG_INFO, path, 42, "do_work", "x\n", "[" + tid_text() + "] x\n", false, -1},
        {LOG_FMT_TIME, LOG_INFO, path, 42, "do_work", "x\n", R"(\d\d:\d\d:\d\d x\n)", true, -1},
        {LOG_FMT_TIME_MS, LOG_INFO, path, 42, "do_work", "x\n", R"(\d\d:\d\d:\d\d\.\d{3} x\n)", true, -1},
        // Time wins over time_ms when both are set.
        {LOG_FMT_TIME | LOG_FMT_TIME_MS, LOG_INFO, path, 42, "do_work", "x\n", R"(\d\d:\d\d:\d\d x\n)", true, -1},
        {LOG_FMT_FUNC, LOG_INFO, path, 42, "do_work", "x\n", "do_work(): x\n", false, -1},
        {LOG_FMT_FUNC, LOG_INFO, "f.cpp", 1, nullptr, "x\n", "x\n", false, -1},
        {log_flags_2_int("file|no_colour"), LOG_INFO, path, 42, "do_work", "x\n", "[unit.cpp:42] x\n", false, -1},
        {LOG_FMT_FILE, LOG_INFO, path, 42, "do_work", "x\n", "[/src/lib/dir/unit.cpp:42] x\n", false, -1},
        {LOG_FMT_FILE | LOG_FMT_FILE_BASE, LOG_INFO, "c:\\src\\win.cpp", 7, nullptr, "x\n", "[win.cpp:7] x\n",
         false, -1},
        {LOG_FMT_TID_NAME, LOG_INFO, path, 42, "do_work", "x\n", std::string("[") + name + "] x\n", false, -1},
        // A missing newline is appended and not counted; the record's own is.
        {0, LOG_INFO, "f", 1, nullptr, "abc", "abc\n", false, 3},
        {LOG_FMT_FUNC, LOG_INFO, "f", 1, "fn", "abc\n", "fn(): abc\n", false, 10},
        {0, LOG_INFO, path, 42, "do_work", "", "\n", false, -1},
        {0, LOG_ERR | LOG_F_APPEND_OSERR, "f", 1, nullptr, "open x: ", "open x: No such file or directory\n", false,
         -1},
    };
    for (const auto &row : rows) {
        scoped_log_ctx c;
        c.ctx->flags.store(row.fmt_flags);
        c.ctx->console_on.store(1);
        CaptureStderr();
        errno = ENOENT;
        int n = log2_printf(c.ctx, row.flags, "test", row.file, row.line, row.func, "%s", row.msg);
        std::string line = GetCapturedStderr();
        if (row.pattern) {
            EXPECT_TRUE(std::regex_match(line, std::regex(row.shown))) << line;
        } else {
            EXPECT_EQ(line, row.shown) << row.fmt_flags;
        }
        if (row.returned >= 0) {
            EXPECT_EQ(n, row.returned) << row.shown;
        }
    }
}

TEST(Log2Format, PiecesComeInFixedOrder) {
    scoped_log_ctx c;
    char name[OS_THREAD_NAME_MAXN];
    os_thread_name_get(name);
    std::string line = console_line(c.ctx, 0xFF & ~LOG_FMT_COLOUR & ~LOG_FMT_TIME_MS, LOG_INFO, "x\n");
    std::string expect_tail = "[" + tid_text() + "] [" + name + "] [unit.cpp:42] do_work(): x\n";
    ASSERT_EQ(line.size(), 9 + expect_tail.size()) << line;
    EXPECT_EQ(line.substr(9), expect_tail);
}

TEST(Log2Format, LongMessageIsCutTo8191BytesEndingInNewline) {
    scoped_log_ctx c;
    std::string msg(10000, 'a');
    c.ctx->flags.store(0);
    c.ctx->console_on.store(1);
    CaptureStderr();
    int n = log2_printf(c.ctx, LOG_INFO, "test", "f", 1, nullptr, "%s", msg.c_str());
    std::string line = GetCapturedStderr();
    EXPECT_EQ(n, 8191);
    ASSERT_EQ(line.size(), 8191u);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find_first_not_of('a'), 8190u);
}

// A conversion the fast formatter declines goes to vsnprintf; when the text
// is then too long, the long way formats the same arguments once more.
TEST(Log2Format, LongMessageWithDeclinedConversionIsFormattedAgainWhole) {
    scoped_log_ctx c;
    std::string msg(10000, 'c');
    c.ctx->flags.store(0);
    c.ctx->console_on.store(1);
    CaptureStderr();
    int n = log2_printf(c.ctx, LOG_INFO, "test", "f", 1, nullptr, "%.1f %s", 2.5, msg.c_str());
    std::string line = GetCapturedStderr();
    EXPECT_EQ(n, 8191);
    ASSERT_EQ(line.size(), 8191u);
    EXPECT_EQ(line.substr(0, 5), "2.5 c");
    EXPECT_EQ(line.find_first_not_of('c', 4), 8190u);
}

TEST(Log2Format, LongMessageAfterPrefixStillFitsTheLine) {
    scoped_log_ctx c;
    std::string msg(10000, 'b');
    std::string line = console_line(c.ctx, LOG_FMT_FUNC, LOG_INFO, msg.c_str());
    ASSERT_EQ(line.size(), 8191u);
    EXPECT_EQ(line.substr(0, 11), "do_work(): ");
    EXPECT_EQ(line.back(), '\n');
}

TEST(Log2Errno, AcceptedRecordKeepsErrno) {
    scoped_log_ctx c;
    temp_dir dir;
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE, dir.file("e.log").c_str());
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
    errno = EACCES;
    log2_printf(c.ctx, LOG_ERR | LOG_F_APPEND_OSERR, "test", "f", 1, "fn", "x %d\n", 1);
    EXPECT_EQ(errno, EACCES);
}

TEST(Log2Errno, RecordToFailingFileKeepsErrno) {
    scoped_log_ctx c;
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE, "/nonexistent-dir/sub/e.log");
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
    errno = EINTR;
    log2_printf(c.ctx, LOG_ERR, "test", "f", 1, "fn", "x\n");
    EXPECT_EQ(errno, EINTR);
}

TEST(Log2Errno, DroppedRecordKeepsErrno) {
    scoped_log_ctx c;
    c.ctx->level.store(LOG_ERR);
    errno = EPIPE;
    EXPECT_EQ(log2_printf(c.ctx, LOG_VERB, "test", "f", 1, "fn", "x\n"), 0);
    EXPECT_EQ(errno, EPIPE);
}

TEST(Log2Level, RecordAboveLevelIsDroppedWithZero) {
    scoped_log_ctx c;
    c.ctx->level.store(LOG_NOTI);
    c.ctx->console_on.store(1);
    CaptureStderr();
    EXPECT_EQ(log2_printf(c.ctx, LOG_INFO, "test", "f", 1, nullptr, "quiet\n"), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(Log2Level, RecordAtOrBelowLevelPasses) {
    scoped_log_ctx c;
    c.ctx->level.store(LOG_NOTI);
    c.ctx->flags.store(0);
    c.ctx->console_on.store(1);
    CaptureStderr();
    EXPECT_EQ(log2_printf(c.ctx, LOG_NOTI, "test", "f", 1, nullptr, "a\n"), 2);
    EXPECT_EQ(log2_printf(c.ctx, LOG_WARN, "test", "f", 1, nullptr, "b\n"), 2);
    EXPECT_EQ(GetCapturedStderr(), "a\nb\n");
}

TEST(Log2Level, FlagBitsDoNotRaiseTheLevel) {
    scoped_log_ctx c;
    c.ctx->level.store(LOG_DBG);
    EXPECT_GT(log2_printf(c.ctx, LOG_DBG | LOG_F_APPEND_OSERR, "test", "f", 1, nullptr, "a\n"), 0);
    EXPECT_EQ(log2_printf(c.ctx, LOG_VERB | LOG_F_APPEND_OSERR, "test", "f", 1, nullptr, "a\n"), 0);
}

TEST(Log2Level, ProcessContextIsUsedForNull) {
    process_ctx_guard saved;
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_WARN);
    EXPECT_EQ(log2_level_get(), LOG_WARN);
    EXPECT_EQ(LOGI("dropped\n"), 0);
}

namespace {
struct hook_record {
    int level;
    std::string tag, line;
    int length;
};
std::vector<hook_record> g_info_calls, g_warn_calls;
void info_hook(int level, const char *tag, const char *line, int length) {
    g_info_calls.push_back({level, tag, line, length});
}
void warn_hook(int level, const char *tag, const char *line, int length) {
    g_warn_calls.push_back({level, tag, line, length});
}
}  // namespace

TEST(Log2Hooks, BothSetSplitByLevel) {
    scoped_log_ctx c;
    c.ctx->flags.store(0);
    c.ctx->level.store(LOG_VERB);
    g_info_calls.clear();
    g_warn_calls.clear();
    log2_ioctl(c.ctx, LOG2_IOCTL_HOOK_INFO, &info_hook);
    log2_ioctl(c.ctx, LOG2_IOCTL_HOOK_WARN, &warn_hook);
    for (int level = LOG_CRIT; level <= LOG_VERB; ++level) {
        log2_printf(c.ctx, static_cast<uint32_t>(level) | LOG_F_NO_EXIT, "hk", "f", 1, nullptr, "L%d\n", level);
    }
    ASSERT_EQ(g_warn_calls.size(), 3u);
    ASSERT_EQ(g_info_calls.size(), 4u);
    EXPECT_EQ(g_warn_calls[0].level, LOG_CRIT);
    EXPECT_EQ(g_warn_calls[2].level, LOG_WARN);
    EXPECT_EQ(g_info_calls[0].level, LOG_NOTI);
    EXPECT_EQ(g_info_calls[3].level, LOG_VERB);
    EXPECT_EQ(g_info_calls[0].tag, "hk");
    EXPECT_EQ(g_info_calls[0].line, "L5\n");
    EXPECT_EQ(g_info_calls[0].length, 3);
}

TEST(Log2Hooks, OneHookAloneIsNotCalled) {
    scoped_log_ctx c;
    g_info_calls.clear();
    log2_ioctl(c.ctx, LOG2_IOCTL_HOOK_INFO, &info_hook);
    log2_printf(c.ctx, LOG_INFO, "hk", "f", 1, nullptr, "x\n");
    EXPECT_TRUE(g_info_calls.empty());
}

TEST(Log2Hooks, LongTagIsCutTo255Bytes) {
    scoped_log_ctx c;
    g_info_calls.clear();
    log2_ioctl(c.ctx, LOG2_IOCTL_HOOK_INFO, &info_hook);
    log2_ioctl(c.ctx, LOG2_IOCTL_HOOK_WARN, &warn_hook);
    std::string tag(400, 't');
    log2_printf(c.ctx, LOG_INFO, tag.c_str(), "f", 1, nullptr, "x\n");
    ASSERT_EQ(g_info_calls.size(), 1u);
    EXPECT_EQ(g_info_calls[0].tag, std::string(255, 't'));
}

namespace {
std::vector<std::string> g_debug_texts;
void capture_debug(const char *text) { g_debug_texts.emplace_back(text); }
}  // namespace

// The debugger copy leaves out the clock, whichever of the two is shown.
TEST(Log2Dbgview, CopySkipsTimePrefix) {
    const struct {
        uint32_t fmt_flags;
        const char *line;  // pattern of the console line
        size_t clock;      // bytes of clock and blank
    } rows[] = {
        {LOG_FMT_TIME_MS | LOG_FMT_TID, R"(\d\d:\d\d:\d\d\.\d{3} \[\d+\] dv\n)", 13},
        {LOG_FMT_TIME | LOG_FMT_FUNC, R"(\d\d:\d\d:\d\d do_work\(\): dv\n)", 9},
    };
    for (const auto &row : rows) {
        scoped_log_ctx c;
        g_debug_texts.clear();
        os_debug_output_redirect(&capture_debug);
        c.ctx->dbgview_on.store(1);
        std::string line = console_line(c.ctx, row.fmt_flags, LOG_INFO, "dv\n");
        os_debug_output_redirect(nullptr);
        ASSERT_EQ(g_debug_texts.size(), 1u);
        EXPECT_TRUE(std::regex_match(line, std::regex(row.line))) << line;
        EXPECT_EQ(g_debug_texts[0], line.substr(row.clock));
    }
}

TEST(Log2Dbgview, OffSendsNothing) {
    scoped_log_ctx c;
    g_debug_texts.clear();
    os_debug_output_redirect(&capture_debug);
    log2_printf(c.ctx, LOG_INFO, "test", "f", 1, nullptr, "x\n");
    os_debug_output_redirect(nullptr);
    EXPECT_TRUE(g_debug_texts.empty());
}

namespace {
struct bin_record {
    uint32_t flags;
    std::string tag, file, func, msg;
    int line;
};
std::vector<bin_record> g_bin_records;
const log2_bin_ops BIN_OPS = {
    [](uint32_t flags, const char *tag, const char *file, int line, const char *func, const char *msg) {
        g_bin_records.push_back({flags, tag, file, func ? func : "", msg, line});
    },
    nullptr,
};
}  // namespace

TEST(Log2Binary, AcceptedRecordReachesBinaryLayerWithMessageOnly) {
    scoped_log_ctx c;
    g_bin_records.clear();
    log2_attach_bin(&BIN_OPS);
    log2_printf(c.ctx, LOG_WARN | LOG_F_BSV_NET, "bsvt", "src/a.cpp", 9, "fn", "v=%d\n", 5);
    log2_attach_bin(nullptr);
    ASSERT_EQ(g_bin_records.size(), 1u);
    EXPECT_EQ(g_bin_records[0].flags, LOG_WARN | LOG_F_BSV_NET);
    EXPECT_EQ(g_bin_records[0].tag, "bsvt");
    EXPECT_EQ(g_bin_records[0].file, "src/a.cpp");
    EXPECT_EQ(g_bin_records[0].line, 9);
    EXPECT_EQ(g_bin_records[0].func, "fn");
    EXPECT_EQ(g_bin_records[0].msg, "v=5\n");
}

TEST(Log2Binary, DroppedRecordDoesNotReachBinaryLayer) {
    scoped_log_ctx c;
    c.ctx->level.store(LOG_INFO);
    g_bin_records.clear();
    log2_attach_bin(&BIN_OPS);
    log2_printf(c.ctx, LOG_VERB, "t", "f", 1, "fn", "x\n");
    log2_attach_bin(nullptr);
    EXPECT_TRUE(g_bin_records.empty());
}

TEST(Log2Binary, BsvOnlyRecordSkipsEveryTextSink) {
    scoped_log_ctx c;
    g_bin_records.clear();
    g_info_calls.clear();
    log2_attach_bin(&BIN_OPS);
    log2_ioctl(c.ctx, LOG2_IOCTL_HOOK_INFO, &info_hook);
    log2_ioctl(c.ctx, LOG2_IOCTL_HOOK_WARN, &warn_hook);
    c.ctx->console_on.store(1);
    CaptureStderr();
    log2_printf(c.ctx, LOG_CRIT | LOG_F_NO_EXIT | LOG_F_BSV_ONLY, "t", "f", 1, "fn", "bin only\n");
    std::string err = GetCapturedStderr();
    log2_attach_bin(nullptr);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(g_info_calls.empty());
    EXPECT_EQ(c.ctx->last_log_ring.used, 0u);
    ASSERT_EQ(g_bin_records.size(), 1u);
    EXPECT_EQ(g_bin_records[0].msg, "bin only\n");
}

TEST(Log2Binary, AppendedOsErrorIsPartOfBinaryMessage) {
    scoped_log_ctx c;
    g_bin_records.clear();
    log2_attach_bin(&BIN_OPS);
    errno = ENOENT;
    log2_printf(c.ctx, LOG_ERR | LOG_F_APPEND_OSERR, "t", "f", 1, "fn", "open: ");
    log2_attach_bin(nullptr);
    ASSERT_EQ(g_bin_records.size(), 1u);
    EXPECT_EQ(g_bin_records[0].msg, "open: No such file or directory\n");
}

TEST(Log2CritDeathTest, CritRecordReachesTheFileAndEndsNothing) {
    temp_dir dir;
    std::string path = dir.file("crit.log");
    EXPECT_EXIT(
        {
            scoped_log_ctx c;
            log2_ioctl(c.ctx, LOG2_IOCTL_FILE, path.c_str());
            log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
            log2_printf(c.ctx, LOG_CRIT, "test", "f", 1, "fn", "fatal thing\n");
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
    std::string text = read_file(path);
    EXPECT_NE(text.find("CRIT "), std::string::npos) << text;
    EXPECT_NE(text.find("fn(): fatal thing\n"), std::string::npos) << text;
}

// The end of the process must not depend on the level filter: at a level
// below crit the record is dropped, and the message still reaches stderr.
TEST(Log2CritDeathTest, FatalEndsTheProcessAtEveryLevel) {
    for (int level : {int{LOG_VERB}, int{LOG_CRIT}, LOG_CRIT - 1, -1}) {
        EXPECT_EXIT(
            {
                log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, level);
                log_ctx_process()->console_on.store(1);
                log2_fatal("test", "f", 1, "fn", "disk gone %d\n", 7);
            },
            testing::ExitedWithCode(1), "disk gone 7")
            << "level " << level;
    }
}

TEST(Log2CritDeathTest, NoExitFlagKeepsProcessRunning) {
    EXPECT_EXIT(
        {
            scoped_log_ctx c;
            log2_printf(c.ctx, LOG_CRIT | LOG_F_NO_EXIT, "test", "f", 1, "fn", "bad\n");
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Log2ExitDeathTest, LoggingAfterExitIsDroppedAndSecondExitIsHarmless) {
    EXPECT_EXIT(
        {
            log2_exit();
            int n = LOGE("after exit\n");
            log2_exit();
            std::_Exit(n == 0 && log2_level_get() == LOG_DBG ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Log2ExitDeathTest, InitAfterExitStartsFreshContext) {
    EXPECT_EXIT(
        {
            log2_exit();
            log2_init(nullptr);
            log_ctx_process()->flags.store(0);
            LOGE("back again\n");
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "back again");
}

TEST(Log2Concurrent, ConcurrentWritersKeepLinesWhole) {
    scoped_log_ctx c;
    temp_dir dir;
    std::string path = dir.file("mt.log");
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE, path.c_str());
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
    constexpr int THREADS = 4, LINES = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&c, t] {
            for (int i = 0; i < LINES; ++i) {
                log2_printf(c.ctx, LOG_INFO, "mt", "f", 1, "fn", "thread %d line %d end\n", t, i);
                if (i % 100 == 0) c.ctx->level.store(LOG_DBG);
            }
        });
    }
    for (auto &th : threads) th.join();
    std::string text = read_file(path);
    std::regex line_re(R"(\S+ \S+ INFO  \d+ --- \[[^\]]+\] mt fn\(\): thread \d line \d+ end)");
    size_t lines = 0, start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        ASSERT_NE(nl, std::string::npos);
        std::string one = text.substr(start, nl - start);
        ASSERT_TRUE(std::regex_match(one, line_re)) << one;
        ++lines;
        start = nl + 1;
    }
    EXPECT_EQ(lines, static_cast<size_t>(THREADS * LINES));
}

// Each thread counts in its own block and a block outlives its thread: the
// totals must still add up to every record, whether threads log at once or
// one after another (more threads than blocks, so blocks are handed on).
TEST(Log2CountConcurrent, PerLevelTotalsAddUpAcrossThreadsThatCameAndWent) {
    scoped_log_ctx c;
    c.ctx->console_on.store(0);
    uint64_t before = log2_record_count(LOG_NOTI);
    auto log_some = [&](int records) {
        for (int i = 0; i < records; ++i) log2_printf(c.ctx, LOG_NOTI, "count", "f", 1, nullptr, "n %d\n", i);
    };
    std::vector<std::thread> together;
    for (int t = 0; t < 4; ++t) together.emplace_back(log_some, 5000);
    for (auto &t : together) t.join();
    for (int t = 0; t < 300; ++t) std::thread(log_some, 3).join();
    EXPECT_EQ(log2_record_count(LOG_NOTI) - before, 4u * 5000 + 300u * 3);
}
