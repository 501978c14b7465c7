// Line editing of the console on a pseudo-terminal: completion, history
// recall within a run and across runs, and a log line while typing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

// hubd on a terminal of a private tmux server, with HOME in the test folder;
// tmux draws the screen, so the tests read what an operator would see.
class TerminalHubd {
public:
    TerminalHubd(const HubdDir &dir, const std::vector<std::string> &args)
        : socket_("hubd-it-" + std::to_string(getpid()) + "-" + std::to_string(++count_)) {
        std::string command = "env HOME=" + dir.path() + " TERM=xterm " + dir.binary();
        for (const std::string &arg : args) command += " " + arg;
        // The pane stays after the end, showing the exit code.
        command += "; echo EXIT=$?; sleep 120";
        started_ = tmux("new-session -d -x 150 -y 50 '" + command + "'") == 0;
    }
    ~TerminalHubd() { tmux("kill-server"); }
    bool started() const { return started_; }
    // tmux key names (Tab, Up, Enter) or, with literal, the text as it is.
    void keys(const std::string &keys, bool literal = false) {
        tmux(std::string("send-keys -t 0 ") + (literal ? "-l '" + keys + "'" : keys));
    }
    std::string screen() {
        std::string text;
        FILE *capture = popen(("tmux -L " + socket_ + " capture-pane -p -t 0 -S -500 2>/dev/null").c_str(), "r");
        if (!capture) return text;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, capture)) > 0) text.append(buf, n);
        pclose(capture);
        return text;
    }
    // Waits until text is on the screen after position from.
    bool wait_for(const std::string &text, size_t from = 0) {
        for (int i = 0; i < 200; ++i) {
            std::string now = screen();
            if (now.size() > from && now.find(text, from) != std::string::npos) return true;
            usleep(50 * 1000);
        }
        return false;
    }
    // Where the line with the cursor (the last one written) starts.
    size_t mark() {
        std::string now = screen();
        size_t end = now.find_last_not_of("\n ");
        if (end == std::string::npos) return 0;
        size_t line_start = now.rfind('\n', end);
        return line_start == std::string::npos ? 0 : line_start + 1;
    }

private:
    int tmux(const std::string &args) { return std::system(("tmux -L " + socket_ + " -f /dev/null " + args + " >/dev/null 2>&1").c_str()); }
    static inline int count_ = 0;
    std::string socket_;
    bool started_ = false;
};

bool tmux_runs() { return std::system("tmux -V >/dev/null 2>&1") == 0; }

TEST(ConsoleEdit, TabCompletesUpRecallsAndTheHistoryOutlivesTheRun) {
    if (!tmux_runs()) GTEST_SKIP() << "tmux cannot run here";
    HubdDir dir;
    const std::vector<std::string> args = no_servers();
    {
        TerminalHubd term(dir, args);
        ASSERT_TRUE(term.started());
        ASSERT_TRUE(term.wait_for("hubd>")) << term.screen();
        term.keys("sh", true);
        term.keys("Tab");
        EXPECT_TRUE(term.wait_for("hubd>show")) << term.screen();
        term.keys("me", true);
        term.keys("Tab");
        EXPECT_TRUE(term.wait_for("hubd>show memory")) << term.screen();
        term.keys("Enter");
        ASSERT_TRUE(term.wait_for("malloc_count=")) << term.screen();
        size_t mark = term.mark();
        term.keys("Up");
        EXPECT_TRUE(term.wait_for("hubd>show memory", mark)) << term.screen();
        term.keys("Enter");
        EXPECT_TRUE(term.wait_for("malloc_count=", mark)) << term.screen();
        // Characters beyond ASCII arrive whole.
        term.keys("echo é€", true);
        term.keys("Enter");
        EXPECT_TRUE(term.wait_for("\né€\n")) << term.screen();
        term.keys("exit", true);
        term.keys("Enter");
        EXPECT_TRUE(term.wait_for("EXIT=0")) << term.screen();
    }
    EXPECT_NE(dir.read_file(".hubd_history").find("show\\040memory"), std::string::npos);

    TerminalHubd again(dir, args);
    ASSERT_TRUE(again.wait_for("hubd>")) << again.screen();
    again.keys("Up");
    EXPECT_TRUE(again.wait_for("hubd>exit")) << again.screen();
    again.keys("Up");
    EXPECT_TRUE(again.wait_for("hubd>echo é€")) << again.screen();
    again.keys("Up");
    EXPECT_TRUE(again.wait_for("hubd>show memory")) << again.screen();
    again.keys("Enter");
    EXPECT_TRUE(again.wait_for("malloc_count=")) << again.screen();
    again.keys("quit", true);
    again.keys("Enter");
    EXPECT_TRUE(again.wait_for("EXIT=0")) << again.screen();
}

// A log line from another session lands above the line being typed, which
// is then drawn again whole.
TEST(ConsoleEdit, LogLineWhileTypingRedrawsPromptAndText) {
    if (!tmux_runs()) GTEST_SKIP() << "tmux cannot run here";
    HubdDir dir;
    int port = free_tcp_port();
    dir.write_file("hubd.ini", shell_ini(port));
    TerminalHubd term(dir, {"-q"});
    ASSERT_TRUE(term.wait_for("hubd>")) << term.screen();
    term.keys("echo typed", true);
    ASSERT_TRUE(term.wait_for("hubd>echo typed")) << term.screen();
    size_t mark = term.mark();
    ShellConn c(port);
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.run("set log.level verb"), "");
    EXPECT_EQ(c.run("echo other"), "other\r\n");
    std::string screen = term.screen();
    size_t log_line = screen.find("cmd=[echo other]", mark);
    ASSERT_NE(log_line, std::string::npos) << screen;
    EXPECT_TRUE(term.wait_for("hubd>echo typed", log_line)) << term.screen();
    // The typed line still runs whole.
    term.keys("Enter");
    EXPECT_TRUE(term.wait_for("\ntyped", log_line)) << term.screen();
}

}  // namespace
