#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

}  // namespace

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

TEST(LogConsoleColour, WarnLineOnTerminalIsYellowThenReset) {
    scoped_log_ctx c;
    stderr_on_pty pty;
    ASSERT_TRUE(pty.ok());
    c.ctx->console_on.store(1);
    c.ctx->flags.store(LOG_FMT_COLOUR);
    log2_printf(c.ctx, LOG_WARN, "t", "f", 1, nullptr, "careful\n");
    EXPECT_EQ(pty.drain(), "\033[1;33mcareful\n\033[0m");
}

TEST(LogConsoleColour, InfoLineOnTerminalIsPlain) {
    scoped_log_ctx c;
    stderr_on_pty pty;
    ASSERT_TRUE(pty.ok());
    c.ctx->console_on.store(1);
    c.ctx->flags.store(LOG_FMT_COLOUR);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "plain\n");
    EXPECT_EQ(pty.drain(), "plain\n");
}

TEST(LogConsoleColour, NoColourFlagWritesPlainOnTerminal) {
    scoped_log_ctx c;
    stderr_on_pty pty;
    ASSERT_TRUE(pty.ok());
    c.ctx->console_on.store(1);
    c.ctx->flags.store(log_flags_2_int("no_colour"));
    log2_printf(c.ctx, LOG_ERR, "t", "f", 1, nullptr, "e\n");
    EXPECT_EQ(pty.drain(), "e\n");
}

TEST(LogConsoleColour, NoColorEnvironmentWritesPlainOnTerminal) {
    scoped_log_ctx c;
    stderr_on_pty pty;
    ASSERT_TRUE(pty.ok());
    setenv("NO_COLOR", "1", 1);
    c.ctx->console_on.store(1);
    c.ctx->flags.store(LOG_FMT_COLOUR);
    log2_printf(c.ctx, LOG_ERR, "t", "f", 1, nullptr, "e\n");
    std::string out = pty.drain();
    unsetenv("NO_COLOR");
    EXPECT_EQ(out, "e\n");
}

TEST(LogConsoleColour, ConsoleOffWritesNothing) {
    scoped_log_ctx c;
    testing::internal::CaptureStderr();
    log2_printf(c.ctx, LOG_ERR, "t", "f", 1, nullptr, "hidden\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
