// The console and `hubd -e sh` on a pseudo-terminal of the test's own: long
// lines typed or pasted in, Ctrl+D at the console, Ctrl+C at the client.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

// hubd on a terminal whose other side the test holds; everything it writes
// there is kept as the terminal got it.
class PtyHubd {
public:
    PtyHubd(const HubdDir &dir, const std::vector<std::string> &args, unsigned short columns) {
        winsize size{};
        size.ws_row = 40;
        size.ws_col = columns;
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            setenv("HOME", dir.path().c_str(), 1);
            setenv("TERM", "xterm", 1);
            std::string bin = dir.binary();
            std::vector<char *> argv{bin.data()};
            std::vector<std::string> copy = args;
            for (std::string &arg : copy) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(bin.c_str(), argv.data());
            _exit(127);
        }
        if (master_ >= 0) fcntl(master_, F_SETFL, O_NONBLOCK);
    }
    ~PtyHubd() {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool started() const { return pid_ > 0 && master_ >= 0; }
    const std::string &screen() const { return screen_; }
    size_t mark() const { return screen_.size(); }
    size_t count(const std::string &text, size_t from = 0) const {
        size_t n = 0;
        for (size_t at = screen_.find(text, from); at != std::string::npos; at = screen_.find(text, at + 1)) ++n;
        return n;
    }
    bool wait_for(const std::string &text, size_t from = 0) {
        long give_up = now_ms() + SHELL_WAIT_LIMIT_MS;
        while (screen_.find(text, from) == std::string::npos) {
            if (now_ms() > give_up || !pump(POLLIN)) return screen_.find(text, from) != std::string::npos;
        }
        return true;
    }
    // Types bytes in pieces as a paste would, reading the echo meanwhile so
    // that neither side waits for the other.
    bool type(const std::string &bytes) {
        size_t sent = 0;
        long give_up = now_ms() + 4 * SHELL_WAIT_LIMIT_MS;
        while (sent < bytes.size() && now_ms() < give_up) {
            if (!pump(POLLIN | POLLOUT)) return false;
            ssize_t n = write(master_, bytes.data() + sent, std::min<size_t>(4096, bytes.size() - sent));
            if (n > 0) sent += static_cast<size_t>(n);
            else if (errno != EAGAIN) return false;
        }
        return sent == bytes.size();
    }
    // The exit code, 128 + the signal for a signal's end, -1 when it did not end.
    int wait_exit() {
        int status = 0;
        for (long give_up = now_ms() + SHELL_WAIT_LIMIT_MS; now_ms() < give_up;) {
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                ended_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            pump(POLLIN);
        }
        return -1;
    }
    int master() const { return master_; }

private:
    // Waits up to 50 ms for the events and keeps what arrived; false once
    // the other side is gone.
    bool pump(short events) {
        pollfd pfd{master_, events, 0};
        if (poll(&pfd, 1, 50) < 0) return errno == EINTR;
        if (pfd.revents & POLLIN) {
            char buf[65536];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) screen_.append(buf, static_cast<size_t>(n));
            if (n <= 0 && errno != EAGAIN) return false;
        }
        return !(pfd.revents & (POLLHUP | POLLERR)) || (pfd.revents & POLLIN);
    }
    pid_t pid_ = -1;
    int master_ = -1;
    bool ended_ = false;
    std::string screen_;
};

struct LongLineRow {
    bool client;  // `hubd -e sh`, else the server's own console
    size_t length;
    unsigned short columns;
};

class PtyLongLine : public ::testing::TestWithParam<LongLineRow> {};

// The line is refused with one error, nothing of it runs, and the shell
// answers the next line.
TEST_P(PtyLongLine, IsRefusedOnceAndTheShellAnswersAfter) {
    const LongLineRow &row = GetParam();
    // A server for the client rows to talk to.
    std::unique_ptr<ShellHubd> server;
    if (row.client) {
        server = std::make_unique<ShellHubd>();
        ASSERT_TRUE(server->ready());
    }
    HubdDir dir;
    PtyHubd term(dir, row.client ? client_args(server->port, "sh") : no_servers(), row.columns);
    ASSERT_TRUE(term.started());
    ASSERT_TRUE(term.wait_for("hubd>")) << term.screen();
    std::string line = "echo " + std::string(row.length, 'x');
    size_t mark = term.mark();
    ASSERT_TRUE(term.type(line + "\r"));
    std::string error = "error: line too long (" + std::to_string(line.size()) + " bytes, at most 4095)";
    ASSERT_TRUE(term.wait_for(error, mark)) << term.screen().substr(term.screen().size() - 300);
    mark = term.mark();
    ASSERT_TRUE(term.type("echo ok\r"));
    // A line of its own, so that the echo of the typed text cannot pass for
    // it; the console's CR LF reply reaches the terminal as CR CR LF.
    EXPECT_TRUE(term.wait_for("\nok\r", mark)) << term.screen().substr(mark);
    EXPECT_EQ(term.count(error), 1u);
    ASSERT_TRUE(term.type(row.client ? "quit\r" : "exit\r"));
    // To the client a refused line is a failed command; the console just goes on.
    EXPECT_EQ(term.wait_exit(), row.client ? 2 : 0) << term.screen().substr(mark);
    if (row.client) {
        EXPECT_EQ(ShellConn(server->port).run("echo alive"), "alive\r\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, PtyLongLine,
                         ::testing::Values(LongLineRow{false, 4200, 80}, LongLineRow{false, 16400, 132},
                                           LongLineRow{false, 1 << 20, 80}, LongLineRow{true, 4200, 132},
                                           LongLineRow{true, 16400, 80}, LongLineRow{true, 1 << 20, 132}),
                         [](const ::testing::TestParamInfo<LongLineRow> &info) {
                             return std::string(info.param.client ? "Client" : "Console") +
                                    std::to_string(info.param.length) + "BytesAt" +
                                    std::to_string(info.param.columns) + "Columns";
                         });

// A line just within the limit is edited and runs whole, at any width.
TEST(PtyConsole, LongestLineRunsWhole) {
    HubdDir dir;
    PtyHubd term(dir, no_servers(), 97);
    ASSERT_TRUE(term.wait_for("hubd>"));
    std::string text = std::string(4089, 'y') + "E";  // "echo " and these: 4095 bytes
    size_t mark = term.mark();
    ASSERT_TRUE(term.type("echo " + text + "\r"));
    // The echo of the typed line wraps; the reply comes out in one piece.
    EXPECT_TRUE(term.wait_for(text + "\r", mark)) << term.screen().substr(term.screen().size() - 300);
    ASSERT_TRUE(term.type("exit\r"));
    EXPECT_EQ(term.wait_exit(), 0);
}

// Ctrl+D ends the console with a line that says so; the server goes on.
TEST(PtyConsole, CtrlDSaysTheServerGoesOn) {
    HubdDir dir;
    const int port = free_tcp_port();
    dir.write_file("hubd.ini", shell_ini(port));
    PtyHubd term(dir, {"-q"}, 80);
    ASSERT_TRUE(term.wait_for("hubd>"));
    ASSERT_TRUE(term.type("\x04"));
    EXPECT_TRUE(term.wait_for("console input ended; the server goes on")) << term.screen();
    EXPECT_EQ(ShellConn(port).run("echo alive"), "alive\r\n");
    EXPECT_EQ(term.count("hubd>", term.screen().find("console input ended")), 0u) << "a prompt after the end";
    ASSERT_TRUE(term.type("\x03"));  // Ctrl+C still stops the server
    EXPECT_EQ(term.wait_exit(), 0);
}

// Ctrl+C ends the client alone, as other clients end, and gives the
// terminal back as it was.
TEST(PtyClient, CtrlCExits130AndSaysNothingOfAStop) {
    ShellHubd server;
    ASSERT_TRUE(server.ready());
    HubdDir dir;
    PtyHubd term(dir, client_args(server.port, "sh"), 80);
    ASSERT_TRUE(term.wait_for("hubd>"));
    ASSERT_TRUE(term.type("echo typed"));
    ASSERT_TRUE(term.wait_for("echo typed"));
    ASSERT_TRUE(term.type("\x03"));
    EXPECT_EQ(term.wait_exit(), 130);
    EXPECT_EQ(term.screen().find("stopping"), std::string::npos) << term.screen();
    termios mode{};
    ASSERT_EQ(tcgetattr(term.master(), &mode), 0);
    EXPECT_TRUE(mode.c_lflag & ICANON);
    EXPECT_TRUE(mode.c_lflag & ECHO);
    EXPECT_EQ(ShellConn(server.port).run("echo alive"), "alive\r\n");
}

}  // namespace
