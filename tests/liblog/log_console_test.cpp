#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "liblog/log_sink_console.h"
#include "log_test_util.h"

namespace {

// Points standard error at a raw pseudo-terminal for the scope, so that the
// colour check sees a terminal; NO_COLOR is cleared and restored.
class stderr_on_pty {
public:
    stderr_on_pty() {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        termios raw;
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        std::fflush(stderr);
        saved_fd_ = dup(STDERR_FILENO);
        dup2(slave_, STDERR_FILENO);
        const char *nc = std::getenv("NO_COLOR");
        had_no_colour_ = nc != nullptr;
        if (nc) saved_no_colour_ = nc;
        unsetenv("NO_COLOR");
    }
    ~stderr_on_pty() {
        std::fflush(stderr);
        if (saved_fd_ >= 0) {
            dup2(saved_fd_, STDERR_FILENO);
            close(saved_fd_);
        }
        if (had_no_colour_) setenv("NO_COLOR", saved_no_colour_.c_str(), 1);
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    bool ok() const { return saved_fd_ >= 0; }
    std::string drain() {
        std::fflush(stderr);
        std::string out;
        int flags = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, flags | O_NONBLOCK);
        char buf[4096];
        ssize_t n;
        while ((n = read(master_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }

private:
    int master_ = -1, slave_ = -1, saved_fd_ = -1;
    bool had_no_colour_ = false;
    std::string saved_no_colour_;
};

// Points standard error at a pipe of 16 KiB that nobody reads until drain();
// with journal, JOURNAL_STREAM names the pipe.
class stderr_to_stuck_pipe {
public:
    explicit stderr_to_stuck_pipe(bool journal) {
        if (pipe(fds_) != 0) return;
        fcntl(fds_[1], F_SETPIPE_SZ, 16384);
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        std::fflush(stderr);
        saved_fd_ = dup(STDERR_FILENO);
        dup2(fds_[1], STDERR_FILENO);
        struct stat st {};
        fstat(fds_[1], &st);
        if (journal) setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        log_console_journal_recheck();
    }
    ~stderr_to_stuck_pipe() {
        dup2(saved_fd_, STDERR_FILENO);
        close(saved_fd_);
        close(fds_[0]);
        close(fds_[1]);
        unsetenv("JOURNAL_STREAM");
        log_console_journal_recheck();
    }
    std::string drain() {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = read(fds_[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
        return out;
    }

private:
    int fds_[2] = {-1, -1};
    int saved_fd_ = -1;
};

size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

// A console whose reader stopped neither stops the log call nor the other
// sinks: its lines are dropped whole, counted, and the loss is said in the
// file at once and on the console once it takes lines again.
TEST(LogConsoleStuck, LinesAreDroppedCountedAndTheFileGetsThemAll) {
    struct row {
        size_t line_len;  // longer than PIPE_BUF: written in pieces
        bool journal;
        const char *prefix;
    };
    const row rows[] = {{200, false, ""}, {6000, false, ""}, {200, true, "<6>"}};
    constexpr int LINES = 200;
    scoped_log_ctx c;
    temp_dir dir;
    ASSERT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FILE, dir.file("x.log").c_str()), 0);
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
    c.ctx->flags.store(0);
    for (size_t r = 0; r < std::size(rows); ++r) {
        SCOPED_TRACE("row " + std::to_string(r));
        std::string tail(rows[r].line_len, 'a' + static_cast<char>(r));
        uint64_t lines_before = log2_sink_lines(LOG2_SINK_CONSOLE);
        uint64_t lost_before = log2_sink_lost(LOG2_SINK_CONSOLE);
        stderr_to_stuck_pipe stuck(rows[r].journal);
        c.ctx->console_on.store(1);
        for (int i = 0; i < LINES; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "%d %s\n", i, tail.c_str());
        c.ctx->console_on.store(0);
        uint64_t lost = log2_sink_lost(LOG2_SINK_CONSOLE) - lost_before;
        EXPECT_EQ(log2_sink_lines(LOG2_SINK_CONSOLE) - lines_before, static_cast<uint64_t>(LINES));
        EXPECT_GT(lost, 0u);
        // What the pipe holds, with the rest of a line it took in part, is
        // the lines not lost, whole and in order.
        std::string shown = stuck.drain();
        c.ctx->console_on.store(1);
        log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "again\n");
        c.ctx->console_on.store(0);
        shown += stuck.drain();
        std::string expect;
        for (int i = 0; i < LINES - static_cast<int>(lost); ++i)
            expect += rows[r].prefix + std::to_string(i) + " " + tail + "\n";
        expect += std::string(rows[r].prefix) + "again\n";
        // The console hears of its loss when it takes lines again, then not
        // again within the minute.
        if (r == 0) {
            uint64_t total = log2_sink_lost(LOG2_SINK_CONSOLE);
            expect += "warning: log sink console lost " + std::to_string(total) + " lines (" + std::to_string(total) +
                      " since start)\n";
        }
        EXPECT_EQ(shown, expect);
    }
    std::string file = read_file(dir.file("x.log"));
    for (size_t r = 0; r < std::size(rows); ++r)
        EXPECT_EQ(count_of(file, std::string(rows[r].line_len, 'a' + static_cast<char>(r)) + "\n"),
                  static_cast<size_t>(LINES));
    // Said at once, where lines still get through, and not for every line.
    EXPECT_EQ(count_of(file, "warning: log sink console lost 1 lines (1 since start)\n"), 1u) << file.substr(0, 400);
    EXPECT_EQ(count_of(file, "warning: log sink console lost"), 1u);
}

// Contexts of their own share the one standard error: no line is mixed with
// another, and each is counted once, shown or lost.
TEST(LogConsoleStuck, ConcurrentContextsKeepLinesWholeAndCounted) {
    constexpr int THREADS = 4, LINES = 100;
    uint64_t lines_before = log2_sink_lines(LOG2_SINK_CONSOLE);
    uint64_t lost_before = log2_sink_lost(LOG2_SINK_CONSOLE);
    std::string shown;
    {
        stderr_to_stuck_pipe stuck(false);
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t)
            threads.emplace_back([t] {
                scoped_log_ctx c;
                c.ctx->flags.store(0);
                c.ctx->console_on.store(1);
                std::string tail(300 + 2000 * static_cast<size_t>(t), 'x');
                for (int i = 0; i < LINES; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "%d %s\n", t, tail.c_str());
            });
        for (std::thread &t : threads) t.join();
        shown = stuck.drain();
        log_console_say("end\n");
        shown += stuck.drain();
    }
    uint64_t lost = log2_sink_lost(LOG2_SINK_CONSOLE) - lost_before;
    EXPECT_EQ(log2_sink_lines(LOG2_SINK_CONSOLE) - lines_before, static_cast<uint64_t>(THREADS * LINES));
    EXPECT_GT(lost, 0u);
    size_t whole = 0, start = 0;
    for (size_t nl; (nl = shown.find('\n', start)) != std::string::npos; start = nl + 1, ++whole) {
        std::string line = shown.substr(start, nl - start);
        if (line == "end") continue;
        ASSERT_FALSE(line.empty());
        int t = line[0] - '0';
        EXPECT_EQ(line, std::to_string(t) + " " + std::string(300 + 2000 * static_cast<size_t>(t), 'x'));
    }
    EXPECT_EQ(whole, THREADS * LINES - lost + 1);
}

TEST(LogConsoleColour, EachLevelHasItsColourAndInfoNone) {
    EXPECT_STREQ(log_console_colour(LOG_CRIT), "\033[1;31m");
    EXPECT_STREQ(log_console_colour(LOG_ERR), "\033[31m");
    EXPECT_STREQ(log_console_colour(LOG_WARN), "\033[1;33m");
    EXPECT_STREQ(log_console_colour(LOG_NOTI), "\033[1;37m");
    EXPECT_EQ(log_console_colour(LOG_INFO), nullptr);
    EXPECT_STREQ(log_console_colour(LOG_DBG), "\033[36m");
    EXPECT_STREQ(log_console_colour(LOG_VERB), "\033[32m");
    EXPECT_EQ(log_console_colour(9), nullptr);
}

TEST(LogConsoleColour, PipeIsNoColourTerminal) {
    testing::internal::CaptureStderr();
    bool colour = log_console_is_colour_tty();
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(colour);
}

// On a terminal: colour by level unless the flags or NO_COLOR say plain.
TEST(LogConsoleColour, TerminalLinesByLevelFlagsAndEnvironment) {
    struct {
        int level;
        bool colour_flag;  // LOG_FMT_COLOUR, else the "no_colour" flags
        bool no_color_env;
        const char *line, *shown;
    } rows[] = {
        {LOG_WARN, true, false, "careful\n", "\033[1;33mcareful\n\033[0m"},  // yellow, then reset
        {LOG_INFO, true, false, "plain\n", "plain\n"},
        {LOG_ERR, false, false, "e\n", "e\n"},
        {LOG_ERR, true, true, "e\n", "e\n"},
    };
    for (const auto &row : rows) {
        scoped_log_ctx c;
        stderr_on_pty pty;
        ASSERT_TRUE(pty.ok());
        if (row.no_color_env) setenv("NO_COLOR", "1", 1);
        c.ctx->console_on.store(1);
        c.ctx->flags.store(row.colour_flag ? LOG_FMT_COLOUR : log_flags_2_int("no_colour"));
        log2_printf(c.ctx, row.level, "t", "f", 1, nullptr, "%s", row.line);
        std::string out = pty.drain();
        unsetenv("NO_COLOR");
        EXPECT_EQ(out, row.shown) << row.line;
    }
}

TEST(LogConsoleColour, ConsoleOffWritesNothing) {
    scoped_log_ctx c;
    testing::internal::CaptureStderr();
    log2_printf(c.ctx, LOG_ERR, "t", "f", 1, nullptr, "hidden\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
