// The debug shell over TCP against the real binary: the server's wire
// protocol, its configuration, the remote client (-e), the single-instance
// check and the ways the program ends.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

const std::string NUL(1, '\0');

// ---- configuration ----

// No [debug] section in the file, or port 0 on the command line: no shell server.
TEST(NetshConfig, NoDebugSectionOrPortZeroOnTheCommandLineStartsNoShellServer) {
    const int port = free_tcp_port();
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {"[log]\nlevel = info\n", {"-q"}},
        {shell_ini(port), {"-q", "-s", "debug_server_port=0"}},
    };
    for (const auto &[ini, args] : rows) {
        HubdDir dir;
        dir.write_file("hubd.ini", ini);
        HubdProcess p(dir, args);
        p.send("show config\n");
        ASSERT_TRUE(p.wait_for_out("debug_server_port=0")) << p.out();
        EXPECT_EQ(listening_sockets(p.pid()), 0) << ini;
        EXPECT_FALSE(ShellConn(port).connected());
        p.send("exit\n");
        EXPECT_EQ(p.wait().exit_code, 0);
    }
}

TEST(NetshConfig, WithoutConfigurationFileTheDefaultPortsApply) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("debug_server_port=12581\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("http_server_port=12580\n"), std::string::npos) << r.out;
}

TEST(NetshConfig, ListensOnlyOnTheConfiguredAddress) {
    ShellHubd s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    EXPECT_EQ(listening_sockets(s.proc->pid()), 1);
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

// The shell server runs on either poller back end, and show info names it.
TEST(NetshConfig, PollerKeyChoosesTheBackEndThatShowInfoNames) {
    const std::pair<const char *, const char *> rows[] = {
        {"", "poller=epoll\r\n"},
        {"poller = select\n", "poller=select\r\n"},
    };
    for (const auto &[line, shown] : rows) {
        ShellHubd s(line);
        ASSERT_TRUE(s.ready()) << line << s.proc->err();
        const std::string info = ShellConn(s.port).run("show info");
        EXPECT_NE(info.find(shown), std::string::npos) << line << info;
        EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
    }
}

// ---- wire protocol ----

class NetshProtocol : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(s.ready()) << s.proc->err(); }
    ShellHubd s;
};

TEST_F(NetshProtocol, ShowInfoComesBackInCrLfLinesAndOneEndByte) {
    ShellConn c(s.port);
    ASSERT_TRUE(c.request("show info"));
    std::vector<std::string> got;
    ASSERT_TRUE(c.replies(1, &got));
    const std::string &info = got[0];
    EXPECT_EQ(info.rfind("ver=1.0.0.0\r\n", 0), 0u) << info;
    EXPECT_NE(info.find("\r\nlog_level=info\r\n"), std::string::npos) << info;
    ASSERT_GE(info.size(), 2u);
    EXPECT_EQ(info.substr(info.size() - 2), "\r\n");
    for (size_t i = 0; i < info.size(); ++i) {
        if (info[i] != '\n') continue;
        ASSERT_EQ(info[i - 1], '\r') << "bare LF at " << i;
    }
    // Only one end byte: the next reply follows at once.
    EXPECT_EQ(c.run("echo next"), "next\r\n");
}

// Each row is a session of its own: requests sent one after another (each
// with its end byte unless it carries its own end) and the reply each gets.
TEST_F(NetshProtocol, RequestsGetTheirReplies) {
    const std::vector<std::pair<std::string, std::string>> rows[] = {
        // several commands give one reply, in order
        {{"echo one;echo two;echo three" + NUL, "one\r\ntwo\r\nthree\r\n"}, {"echo next" + NUL, "next\r\n"}},
        // a line feed also ends a request, and CR is dropped
        {{"echo l\rf\n", "lf\r\n"}},
        // an assignment alone gives an empty reply
        {{"X=1" + NUL, ""}, {"echo after" + NUL, "after\r\n"}},
        // an empty request repeats the last line
        {{"echo again" + NUL, "again\r\n"}, {NUL, "again\r\n"}},
    };
    for (const auto &row : rows) {
        ShellConn c(s.port);
        for (const auto &[request, reply] : row) {
            std::vector<std::string> got;
            ASSERT_TRUE(c.send_raw(request) && c.replies(1, &got)) << request;
            EXPECT_EQ(got[0], reply) << request;
        }
    }
}

TEST_F(NetshProtocol, OverlongRequestIsRefusedAndTheSessionGoesOn) {
    ShellConn other(s.port);
    ASSERT_EQ(other.run("echo before"), "before\r\n");
    ShellConn fits(s.port);
    EXPECT_EQ(fits.run("echo " + std::string(4089, 'y')), std::string(4089, 'y') + "\r\n");
    ShellConn longer(s.port);
    EXPECT_EQ(longer.run(std::string(4096, 'x')), "error: line too long (4096 bytes, at most 4095)\r\n");
    EXPECT_EQ(longer.run("echo served"), "served\r\n");
    EXPECT_EQ(other.run("echo after"), "after\r\n");
    EXPECT_EQ(ShellConn(s.port).run("echo new"), "new\r\n");
}

TEST_F(NetshProtocol, SilentClientKeepsItsSessionWhileOthersWork) {
    ShellConn silent(s.port);
    ASSERT_TRUE(silent.connected());
    for (int i = 0; i < 6; ++i) {
        ShellConn busy(s.port);
        EXPECT_EQ(busy.run("echo busy" + std::to_string(i)), "busy" + std::to_string(i) + "\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(silent.run("echo still here"), "still here\r\n");
}

TEST_F(NetshProtocol, SlowlyArrivingCommandRunsWhole) {
    ShellConn slow(s.port);
    // Each pause outlasts the session's one-second poll.
    for (char ch : std::string("echo slow")) {
        ASSERT_TRUE(slow.send_raw(std::string(1, ch)));
        std::this_thread::sleep_for(std::chrono::milliseconds(ch == ' ' ? 1300 : 150));
    }
    ASSERT_TRUE(slow.send_raw(NUL));
    std::vector<std::string> got;
    ASSERT_TRUE(slow.replies(1, &got));
    EXPECT_EQ(got[0], "slow\r\n");
    // Pieces run as commands of their own would have left replies ahead of this one.
    EXPECT_EQ(slow.run("echo next"), "next\r\n");
}

TEST_F(NetshProtocol, QuitEndsOnlyThatSession) {
    ShellConn a(s.port), b(s.port);
    ASSERT_TRUE(a.request("quit"));
    EXPECT_TRUE(a.wait_closed());
    EXPECT_EQ(b.run("echo alive"), "alive\r\n");
    EXPECT_TRUE(s.proc->running());
}

// ---- remote client ----

TEST(NetshClient, CommandStringPrintsEveryReplyAndExitsZero) {
    ShellHubd s;
    ASSERT_TRUE(s.ready());
    HubdResult r = run_client(s.port, "show info;show memory");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("ver=1.0.0.0\n", 0), 0u) << r.out;
    size_t memory = r.out.find("\nmalloc_count=");
    ASSERT_NE(memory, std::string::npos) << r.out;
    // Each reply loses its last line feed to the output's own newline.
    EXPECT_NE(r.out.find("\n\nmalloc_count="), memory - 1) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_NE(r.out.find("malloc_max_bytes="), std::string::npos);
}

TEST(NetshClient, NoRunningInstanceReportsTheConnectErrorAndExitsOne) {
    int port = free_tcp_port();
    HubdResult r = run_client(port, "show info");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE((r.out + r.err).find("sock_connect 127.0.0.1:" + std::to_string(port) + " error: "),
              std::string::npos)
        << r.out << r.err;
}

// Piped in, the client prints only the replies: no prompt for a script to strip.
TEST(NetshClient, PipedInteractiveModePrintsOnlyTheRepliesAndQuitEndsIt) {
    ShellHubd s;
    ASSERT_TRUE(s.ready());
    HubdResult r = run_client(s.port, "sh", "echo hi\n  echo  two  \nquit\necho never\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "hi\ntwo\n");
    EXPECT_TRUE(s.proc->running()) << "quit must not reach the server";
}

// A stand-in server that records what the client sends and answers each
// request with a fixed reply.
class RecordingServer {
public:
    explicit RecordingServer(const std::string &reply) : reply_(reply) {
        listen_fd_ = loopback_bind(SOCK_STREAM, 0, &port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~RecordingServer() {
        shutdown(listen_fd_, SHUT_RDWR);
        thread_.join();
        close(listen_fd_);
    }
    int port() const { return port_; }
    // Everything received until the client closed.
    std::string received() {
        thread_.join();
        thread_ = std::thread([] {});
        return received_;
    }

private:
    void serve() {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        char buf[4096];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            received_.append(buf, static_cast<size_t>(n));
            // The client's first request asks for the status option.
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\0') continue;
                const std::string &answer = requests_++ == 0 ? STATUS_ACK : reply_;
                send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
        }
        close(fd);
    }
    const std::string STATUS_ACK = std::string("\x01" "0") + NUL;
    std::string reply_;
    int requests_ = 0;
    int listen_fd_ = -1;
    int port_ = 0;
    std::string received_;
    std::thread thread_;
};

// A line the server would refuse is refused by the client, in the server's
// words, nothing of it is sent, and it counts as a failed command.
TEST(NetshClient, SendsEachPieceWithItsEndByteAndNothingForQuitOrAnOverLongLine) {
    RecordingServer fake("ok\r\n\x01" "0" + NUL);
    HubdResult r = run_client(fake.port(), "sh", "first\necho " + std::string(5000, 'x') + "\n\tsecond x \nquit\n");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(fake.received(), "\x01status" + NUL + "first" + NUL + "second x" + NUL);
    EXPECT_EQ(r.out, "ok\nerror: line too long (5005 bytes, at most 4095)\nok\n");
}

// The command string goes as one request per piece, cut as the shell cuts a
// line: ';' inside quotes stays, blank pieces (which would repeat the last
// line) go, and unbalanced text goes whole for the shell to refuse.
TEST(NetshClient, CommandStringIsCutOnlyAtSemicolonsOutsideQuotes) {
    struct Row {
        std::string commands;
        std::vector<std::string> requests;
        std::string reply = "ok\r\n", out = "*";  // the server's reply to each, the client's output
    };
    const Row rows[] = {
        // CRs removed, one trailing LF removed, a newline added by the output.
        {" show info ;show memory", {"show info", "show memory"}, "a\r\r\nb\r\n", "a\nb\na\nb\n"},
        {"echo 'a;b'", {"echo 'a;b'"}},
        {"echo \"x;y\" ; echo z", {"echo \"x;y\"", "echo z"}},
        {"a;; ;b;", {"a", "b"}},
        {"echo 'a;b", {"echo 'a;b"}},
        {"echo " + std::string(5000, 'x') + ";b", {"echo " + std::string(5000, 'x'), "b"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.commands.substr(0, 40));
        RecordingServer fake(row.reply + "\x01" "0" + NUL);
        HubdResult r = run_client(fake.port(), row.commands);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        std::string expected = "\x01status" + NUL;
        for (const std::string &request : row.requests) expected += request + NUL;
        EXPECT_EQ(fake.received(), expected);
        if (row.out != "*") {
            EXPECT_EQ(r.out, row.out);
        }
    }
}

// ---- instances and ending ----

TEST(NetshLifecycle, SecondInstanceExitsWithOne) {
    ShellHubd s;
    ASSERT_TRUE(s.ready());
    HubdResult second = run_hubd(s.dir, {});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("Can only run one instance\n"), std::string::npos) << second.err;
    EXPECT_TRUE(s.proc->running());
}

TEST(NetshLifecycle, InstanceCheckIsSkippedWithBothPortsOff) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, no_servers(), {}, "exit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.find("Can only run one instance"), std::string::npos);
}

// SIGHUP: the terminal hung up (a closed tmux pane, an ssh session gone): no orphan stays behind.
TEST(NetshLifecycle, SigintSigtermOrSighupStopsTheServersAndExitsZero) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        ShellHubd s;
        ASSERT_TRUE(s.ready());
        ShellConn open_session(s.port);
        ASSERT_EQ(open_session.run("echo up"), "up\r\n");
        HubdResult r = s.proc->stop(sig, 30000);
        EXPECT_EQ(r.exit_code, 0) << sig << r.err;
        EXPECT_TRUE(open_session.wait_closed()) << sig;
        EXPECT_TRUE(port_bindable(s.port)) << sig;
    }
}

void expect_tcp_exit_ends_program(bool keep_stdin_open) {
    ShellHubd s("", keep_stdin_open);
    ASSERT_TRUE(s.ready());
    ShellConn bystander(s.port), c(s.port);
    ASSERT_EQ(bystander.run("echo up"), "up\r\n");
    ASSERT_TRUE(c.request("exit"));
    std::vector<std::string> got;
    ASSERT_TRUE(c.replies(1, &got));
    EXPECT_EQ(got, (std::vector<std::string>{""}));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_TRUE(bystander.wait_closed());
    HubdResult r = s.proc->wait(30000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find("assert failed"), std::string::npos) << r.err;
    EXPECT_TRUE(port_bindable(s.port));
}

TEST(NetshLifecycle, ExitFromATcpSessionEndsTheProgram) { expect_tcp_exit_ends_program(false); }

TEST(NetshLifecycle, ExitFromATcpSessionEndsTheProgramWhileTheConsoleReads) {
    expect_tcp_exit_ends_program(true);
}

TEST(NetshLifecycle, ConcurrentExitsFromSessionsAndSignalStopOnce) {
    ShellHubd s;
    ASSERT_TRUE(s.ready());
    std::vector<std::unique_ptr<ShellConn>> conns;
    for (int i = 0; i < 8; ++i) {
        conns.push_back(std::make_unique<ShellConn>(s.port));
        ASSERT_EQ(conns.back()->run("echo " + std::to_string(i)), std::to_string(i) + "\r\n");
    }
    for (auto &c : conns) c->request("exit");
    kill(s.proc->pid(), SIGTERM);
    s.proc->send("exit\n");
    HubdResult r = s.proc->wait(30000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (auto &c : conns) EXPECT_TRUE(c->wait_closed());
    EXPECT_TRUE(port_bindable(s.port));
}

}  // namespace
