// The debug shell server in-process: start and stop, sessions on their own
// threads, a stop from inside a session, and the remote client against it.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "libdbg/shell_remote_client.h"
#include "http_util.h"
#include "libdbg/shell_tcp_server.h"
#include "libnet/sock_event_loop.h"
#include "libsh/libsh.h"
#include "thread_wakeups.h"

namespace {

const std::string NUL(1, '\0');

// True when the peer closes (bytes before the close are skipped).
bool closed_by_peer(int fd) {
    char buf[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) return false;
        if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
    }
}

// Sends one command and gives its reply up to the end byte.
std::string ask(int fd, const std::string &command) {
    std::string request = command + NUL;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return "<send failed>";
    return shell_test_replies(fd, 1);
}

class ShellServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, libsh_init());
        ASSERT_EQ(0, sock_env_init());
        ASSERT_EQ(0, debug_shell_server_init("127.0.0.1", 0));
        port_ = debug_shell_server_port();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        debug_shell_server_exit();
        libsh_exit_hook_set(nullptr);
        sock_env_exit();
        libsh_exit();
    }
    int port_ = 0;
};

TEST_F(ShellServerTest, SessionAnswersOnTheChosenPort) {
    int fd = connect_loopback(port_);
    ASSERT_GE(fd, 0);
    EXPECT_EQ("x\r\n" + NUL, ask(fd, "echo x"));
    close(fd);
}

TEST_F(ShellServerTest, SecondStartWhileRunningFails) {
    EXPECT_EQ(-1, debug_shell_server_init("127.0.0.1", 0));
    EXPECT_EQ(port_, debug_shell_server_port());
}

TEST_F(ShellServerTest, StartOnAnOccupiedPortFailsAndCanBeRetried) {
    debug_shell_server_exit();
    int taken = 0;
    int blocker = listen_loopback(&taken);
    ASSERT_GE(blocker, 0);
    EXPECT_EQ(-1, debug_shell_server_init("127.0.0.1", taken));
    EXPECT_EQ(0, debug_shell_server_port());
    close(blocker);
    EXPECT_EQ(0, debug_shell_server_init("127.0.0.1", 0));
}

TEST_F(ShellServerTest, StopEndsIdleSessionsAndClosesTheListener) {
    std::vector<int> fds;
    for (int i = 0; i < 3; ++i) {
        fds.push_back(connect_loopback(port_));
        ASSERT_EQ("x\r\n" + NUL, ask(fds.back(), "echo x"));
    }
    EXPECT_EQ(3u, debug_shell_server_sessions());
    debug_shell_server_exit();
    for (int fd : fds) {
        EXPECT_TRUE(closed_by_peer(fd));
        close(fd);
    }
    EXPECT_EQ(0u, debug_shell_server_sessions());
    EXPECT_EQ(0, debug_shell_server_port());
    EXPECT_EQ(-1, connect_loopback(port_));
    debug_shell_server_exit();  // a second stop does nothing
}

int stop_from_session() {
    debug_shell_server_exit();
    return 0;
}

TEST_F(ShellServerTest, StopFromInsideASessionEndsEverySessionIncludingItsOwn) {
    libsh_exit_hook_set(stop_from_session);
    int bystander = connect_loopback(port_);
    ASSERT_EQ("b\r\n" + NUL, ask(bystander, "echo b"));
    int fd = connect_loopback(port_);
    ASSERT_EQ(5, send(fd, ("exit" + NUL).data(), 5, 0));
    EXPECT_TRUE(closed_by_peer(fd));
    EXPECT_TRUE(closed_by_peer(bystander));
    close(fd);
    close(bystander);
    EXPECT_EQ(0, debug_shell_server_port());
    // The server record went with the last session; a new server starts cleanly.
    ASSERT_EQ(0, debug_shell_server_init("127.0.0.1", 0));
    int again = connect_loopback(debug_shell_server_port());
    EXPECT_EQ("y\r\n" + NUL, ask(again, "echo y"));
    close(again);
}

TEST_F(ShellServerTest, NoSessionIsStoppingOutsideSessionThreads) {
    EXPECT_FALSE(debug_shell_server_session_stopping());
}

TEST_F(ShellServerTest, ConcurrentSessionsEachGetTheirOwnReplies) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            int fd = connect_loopback(port_);
            for (int i = 0; i < 50; ++i) {
                std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
                if (ask(fd, "echo " + text) != text + "\r\n" + NUL) wrong++;
            }
            close(fd);
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(0, wrong.load());
}

TEST_F(ShellServerTest, PipelinedBurstOfAThousandCommandsGetsEveryReplyInOrder) {
    int fd = connect_loopback(port_);
    ASSERT_GE(fd, 0);
    std::string burst, expected;
    for (int i = 0; i < 1000; ++i) {
        burst += "echo p" + std::to_string(i) + (i % 2 ? NUL : "\n");
        expected += "p" + std::to_string(i) + "\r\n" + NUL;
    }
    std::thread sender([&] {
        for (size_t sent = 0; sent < burst.size();) {
            ssize_t n = send(fd, burst.data() + sent, burst.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    });
    std::string got = shell_test_replies(fd, 1000);
    sender.join();
    EXPECT_EQ(expected, got);
    close(fd);
}

// Voluntary context switches of the session thread once it sleeps: each
// wake-up of an idle session adds one.
long session_switches() {
    pid_t tid = thread_named("netsh_srv");
    for (int tries = 0; tid && !thread_sleeping(tid) && tries < 1000; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return tid ? thread_wakeups(tid) : -1;
}

TEST_F(ShellServerTest, IdleSessionSleepsUntilDataAndWakesForTheStop) {
    int fd = connect_loopback(port_);
    ASSERT_EQ("i\r\n" + NUL, ask(fd, "echo i"));
    long before = session_switches();
    ASSERT_GE(before, 0);
    // Long enough for several of the old 300 ms read steps.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(before, session_switches());
    debug_shell_server_exit();
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
}

// ---- the remote client against the server ----

std::vector<std::string> g_outputs;
void collect(const char *text) { g_outputs.emplace_back(text); }

std::vector<std::string> g_inputs;
size_t g_next_input = 0;
int scripted_input(char *buf, size_t size) {
    if (g_next_input >= g_inputs.size()) return -1;
    snprintf(buf, size, "%s", g_inputs[g_next_input++].c_str());
    return static_cast<int>(strlen(buf));
}

class ShellClientTest : public ShellServerTest {
protected:
    void SetUp() override {
        ShellServerTest::SetUp();
        g_inputs.clear();
        g_next_input = 0;
    }
    // Runs the client against port with cmd (and the scripted input when asked); its result.
    int run(int port, const char *cmd, bool scripted = false) {
        g_outputs.clear();
        dbgcli_ctx cli{};
        cli.cmd = cmd;
        cli.input = scripted ? scripted_input : nullptr;
        cli.output = collect;
        int result = debug_shell_connet_exec_cmd("127.0.0.1", port, &cli);
        state_ = cli.state;
        return result;
    }
    int state_ = -1;
};

TEST_F(ShellClientTest, CommandStringRunsEachPieceAndStripsOneLineFeed) {
    EXPECT_EQ(0, run(port_, "echo a; echo b ;echo -e c\\n"));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c\n"}), g_outputs);
    EXPECT_EQ(DBGCLI_STATE_IDLE, state_);
}

TEST_F(ShellClientTest, InteractiveInputStopsAtQuitWithoutSendingIt) {
    g_inputs = {"echo one", "  quit  ", "echo never"};
    EXPECT_EQ(0, run(port_, "sh", true));
    EXPECT_EQ((std::vector<std::string>{"one"}), g_outputs);
    EXPECT_EQ(2u, g_next_input);
}

TEST_F(ShellClientTest, NullCommandIsInteractiveAndEndsWithItsInput) {
    g_inputs = {"echo only"};
    EXPECT_EQ(0, run(port_, nullptr, true));
    EXPECT_EQ((std::vector<std::string>{"only"}), g_outputs);
}

TEST_F(ShellClientTest, UnreachableServerFails) {
    int port = port_;
    debug_shell_server_exit();
    EXPECT_EQ(-1, run(port, "echo x"));
    EXPECT_TRUE(g_outputs.empty());
}

// A server that answers the first request with bytes of its own choosing.
class OneShotServer {
public:
    explicit OneShotServer(std::string answer) : answer_(std::move(answer)), fd_(listen_loopback(&port_)) {
        thread_ = std::thread([this] {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            shell_test_replies(c, 1);
            // An empty answer closes at once; otherwise stay until the client leaves.
            if (!answer_.empty()) {
                send(c, answer_.data(), answer_.size(), MSG_NOSIGNAL);
                char buf[256];
                while (recv(c, buf, sizeof buf, 0) > 0) {
                }
            }
            close(c);
        });
    }
    ~OneShotServer() {
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }

private:
    std::string answer_;
    int port_ = 0;
    int fd_;
    std::thread thread_;
};

TEST_F(ShellClientTest, RefusedSessionFailsWithoutRunningAnything) {
    OneShotServer fake("error: too many shell sessions (1), try again later\r\n" + NUL);
    EXPECT_EQ(-1, run(fake.port(), "first;second"));
    EXPECT_TRUE(g_outputs.empty());
}

// 0 only when every command ran and returned 0; the failing command's text is shown as any reply.
TEST_F(ShellClientTest, ResultTellsWhetherEveryCommandSucceeded) {
    const struct {
        const char *cmd;
        int result;
        std::vector<std::string> outputs;
    } rows[] = {
        {"echo a;echo b", 0, {"a", "b"}},
        {"show nosuch;echo b", 1, {"error: The show variable 'nosuch' does not exist", "b"}},
        {"echo a;alias nosuch", 1, {"a", "nosuch not found"}},
        {"echo \"abc", 1, {"error: unbalanced quotes, nothing ran"}},
        {"X=1", 0, {""}},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(row.result, run(port_, row.cmd)) << row.cmd;
        EXPECT_EQ(row.outputs, g_outputs) << row.cmd;
    }
}

TEST_F(ShellClientTest, ServerClosingWithoutReplyEndsTheLoop) {
    OneShotServer fake("");
    // The commands never got their replies: the caller must be able to tell.
    EXPECT_EQ(-1, run(fake.port(), "first;second"));
    EXPECT_TRUE(g_outputs.empty());
}

}  // namespace
