// The debug shell over TCP against the real binary: the server's wire
// protocol, its configuration, the remote client (-e), the single-instance
// check and the ways the program ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
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

// A hubd with its shell server on a free loopback port.
struct ShellServer {
    HubdDir dir;
    int port = free_tcp_port();
    HubdProcess *proc = nullptr;

    explicit ShellServer(bool keep_stdin_open = true) {
        dir.write_file("hubd.ini", shell_ini(port));
        proc = new HubdProcess(dir, {"-q"}, {}, keep_stdin_open);
    }
    ~ShellServer() { delete proc; }
    bool ready() { return wait_shell_ready(*proc, port); }
};

// ---- configuration ----

TEST(NetshConfig, FileWithoutDebugSectionStartsNoShellServer) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[log]\nlevel = info\n");
    HubdProcess p(dir, {"-q"});
    p.send("show config\n");
    ASSERT_TRUE(p.wait_for_out("debug_server_port=0")) << p.out();
    EXPECT_EQ(listening_sockets(p.pid()), 0);
    p.send("exit\n");
    EXPECT_EQ(p.wait().exit_code, 0);
}

TEST(NetshConfig, PortZeroOnTheCommandLineSwitchesTheServerOff) {
    HubdDir dir;
    int port = free_tcp_port();
    dir.write_file("hubd.ini", shell_ini(port));
    HubdProcess p(dir, {"-q", "-s", "debug_server_port=0"});
    p.send("show config\n");
    ASSERT_TRUE(p.wait_for_out("debug_server_port=0")) << p.out();
    EXPECT_EQ(listening_sockets(p.pid()), 0);
    EXPECT_FALSE(ShellConn(port).connected());
    p.send("exit\n");
    EXPECT_EQ(p.wait().exit_code, 0);
}

TEST(NetshConfig, WithoutConfigurationFileTheDefaultPortsApply) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("debug_server_port=12581\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("http_server_port=12580\n"), std::string::npos) << r.out;
}

TEST(NetshConfig, ListensOnlyOnTheConfiguredAddress) {
    ShellServer s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    EXPECT_EQ(listening_sockets(s.proc->pid()), 1);
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

// The shell server runs on either poller back end, and show info names it.
TEST(NetshConfig, PollerKeyChoosesTheBackEndThatShowInfoNames) {
    struct row {
        const char *line;
        const char *shown;
        const char *error;  // expected in the output, or null
    };
    const row rows[] = {
        {"", "poller=epoll\r\n", nullptr},
        {"poller = select\n", "poller=select\r\n", nullptr},
    };
    for (const row &r : rows) {
        HubdDir dir;
        const int port = free_tcp_port();
        dir.write_file("hubd.ini", shell_ini(port) + r.line);
        HubdProcess p(dir, {"-q"});
        ASSERT_TRUE(wait_shell_ready(p, port)) << r.line << p.err();
        ShellConn c(port);
        const std::string info = c.run("show info");
        EXPECT_NE(info.find(r.shown), std::string::npos) << r.line << info;
        if (r.error) {
            EXPECT_TRUE(p.wait_for_err(r.error, 5000) || p.wait_for_out(r.error, 5000)) << p.err();
        }
        EXPECT_EQ(p.stop(SIGTERM).exit_code, 0);
    }
}

// ---- wire protocol ----

TEST(NetshProtocol, ShowInfoComesBackInCrLfLinesAndOneEndByte) {
    ShellServer s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
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

TEST(NetshProtocol, SeveralCommandsGiveOneReplyInOrder) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    ShellConn c(s.port);
    ASSERT_TRUE(c.request("echo one;echo two;echo three"));
    std::vector<std::string> got;
    ASSERT_TRUE(c.replies(1, &got));
    EXPECT_EQ(got[0], "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(c.run("echo next"), "next\r\n");
}

TEST(NetshProtocol, LineFeedAlsoEndsARequestAndCrIsDropped) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    ShellConn c(s.port);
    ASSERT_TRUE(c.send_raw("echo l\rf\n"));
    std::vector<std::string> got;
    ASSERT_TRUE(c.replies(1, &got));
    EXPECT_EQ(got[0], "lf\r\n");
}

TEST(NetshProtocol, AssignmentAloneGivesAnEmptyReply) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    ShellConn c(s.port);
    EXPECT_EQ(c.run("X=1"), "");
    EXPECT_EQ(c.run("echo after"), "after\r\n");
}

TEST(NetshProtocol, EmptyRequestRepeatsTheLastLine) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    ShellConn c(s.port);
    EXPECT_EQ(c.run("echo again"), "again\r\n");
    EXPECT_EQ(c.run(""), "again\r\n");
}

TEST(NetshProtocol, OverlongRequestIsRefusedAndTheSessionGoesOn) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
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

TEST(NetshProtocol, SilentClientKeepsItsSessionWhileOthersWork) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    ShellConn silent(s.port);
    ASSERT_TRUE(silent.connected());
    for (int i = 0; i < 6; ++i) {
        ShellConn busy(s.port);
        EXPECT_EQ(busy.run("echo busy" + std::to_string(i)), "busy" + std::to_string(i) + "\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(silent.run("echo still here"), "still here\r\n");
}

TEST(NetshProtocol, SlowlyArrivingCommandRunsWhole) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
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

TEST(NetshProtocol, QuitEndsOnlyThatSession) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    ShellConn a(s.port), b(s.port);
    ASSERT_TRUE(a.request("quit"));
    EXPECT_TRUE(a.wait_closed());
    EXPECT_EQ(b.run("echo alive"), "alive\r\n");
    EXPECT_TRUE(s.proc->running());
}

// ---- remote client ----

TEST(NetshClient, CommandStringPrintsEveryReplyAndExitsZero) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    HubdDir client_dir;
    HubdResult r = run_hubd(client_dir, {"-q", "-s", "debug_server_port=" + std::to_string(s.port), "-s",
                                          "http_server_port=0", "-e", "show info;show memory"});
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
    HubdDir dir;
    int port = free_tcp_port();
    HubdResult r = run_hubd(dir, {"-q", "-s", "debug_server_port=" + std::to_string(port), "-s",
                                  "http_server_port=0", "-e", "show info"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE((r.out + r.err).find("sock_connect 127.0.0.1:" + std::to_string(port) + " error: "),
              std::string::npos)
        << r.out << r.err;
}

// Piped in, the client prints only the replies: no prompt for a script to strip.
TEST(NetshClient, PipedInteractiveModePrintsOnlyTheRepliesAndQuitEndsIt) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    HubdDir client_dir;
    HubdResult r = run_hubd(client_dir,
                            {"-q", "-s", "debug_server_port=" + std::to_string(s.port), "-s",
                             "http_server_port=0", "-e", "sh"},
                            {}, "echo hi\n  echo  two  \nquit\necho never\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "hi\ntwo\n");
    EXPECT_TRUE(s.proc->running()) << "quit must not reach the server";
}

// A stand-in server that records what the client sends and answers each
// request with a fixed reply.
class RecordingServer {
public:
    explicit RecordingServer(const std::string &reply) : reply_(reply) {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(listen_fd_, 1);
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
    HubdDir dir;
    HubdResult r = run_hubd(dir,
                            {"-q", "-s", "debug_server_port=" + std::to_string(fake.port()), "-s",
                             "http_server_port=0", "-e", "sh"},
                            {}, "first\necho " + std::string(5000, 'x') + "\n\tsecond x \nquit\n");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(fake.received(), "\x01status" + NUL + "first" + NUL + "second x" + NUL);
    EXPECT_EQ(r.out, "ok\nerror: line too long (5005 bytes, at most 4095)\nok\n");
}

TEST(NetshClient, CommandStringSendsOneRequestPerPiece) {
    RecordingServer fake("a\r\r\nb\r\n\x01" "0" + NUL);
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-s", "debug_server_port=" + std::to_string(fake.port()), "-s",
                                  "http_server_port=0", "-e", " show info ;show memory"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(fake.received(), "\x01status" + NUL + "show info" + NUL + "show memory" + NUL);
    // CRs removed, one trailing LF removed, a newline added by the output.
    EXPECT_EQ(r.out, "a\nb\na\nb\n");
}

// The command text is cut as the shell cuts a line: ';' inside quotes stays,
// blank pieces (which would repeat the last line) go, and unbalanced text
// goes whole for the shell to refuse.
TEST(NetshClient, CommandStringIsCutOnlyAtSemicolonsOutsideQuotes) {
    struct Row {
        std::string commands;
        std::vector<std::string> requests;
    };
    const Row rows[] = {
        {"echo 'a;b'", {"echo 'a;b'"}},
        {"echo \"x;y\" ; echo z", {"echo \"x;y\"", "echo z"}},
        {"a;; ;b;", {"a", "b"}},
        {"echo 'a;b", {"echo 'a;b"}},
        {"echo " + std::string(5000, 'x') + ";b", {"echo " + std::string(5000, 'x'), "b"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.commands.substr(0, 40));
        RecordingServer fake("ok\r\n\x01" "0" + NUL);
        HubdDir dir;
        HubdResult r = run_hubd(dir, {"-q", "-s", "debug_server_port=" + std::to_string(fake.port()), "-s",
                                      "http_server_port=0", "-e", row.commands});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        std::string expected = "\x01status" + NUL;
        for (const std::string &request : row.requests) expected += request + NUL;
        EXPECT_EQ(fake.received(), expected);
    }
}

// ---- instances and ending ----

TEST(NetshLifecycle, SecondInstanceExitsWithOne) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    HubdResult second = run_hubd(s.dir, {});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("Can only run one instance\n"), std::string::npos) << second.err;
    EXPECT_TRUE(s.proc->running());
}

TEST(NetshLifecycle, InstanceCheckIsSkippedWithBothPortsOff) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-s", "debug_server_port=0", "-s", "http_server_port=0"}, {}, "exit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.find("Can only run one instance"), std::string::npos);
}

void expect_signal_ends_cleanly(int sig) {
    ShellServer s;
    ASSERT_TRUE(s.ready());
    ShellConn open_session(s.port);
    ASSERT_EQ(open_session.run("echo up"), "up\r\n");
    HubdResult r = s.proc->stop(sig, 30000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(open_session.wait_closed());
    EXPECT_TRUE(port_bindable(s.port));
}

TEST(NetshLifecycle, SigintStopsTheServersAndExitsZero) { expect_signal_ends_cleanly(SIGINT); }

TEST(NetshLifecycle, SigtermStopsTheServersAndExitsZero) { expect_signal_ends_cleanly(SIGTERM); }

// The terminal hung up (a closed tmux pane, an ssh session gone): no orphan stays behind.
TEST(NetshLifecycle, SighupOnTheConsoleStopsTheServersAndExitsZero) { expect_signal_ends_cleanly(SIGHUP); }

void expect_tcp_exit_ends_program(bool keep_stdin_open) {
    ShellServer s(keep_stdin_open);
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
    ShellServer s;
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
