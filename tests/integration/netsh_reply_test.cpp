// One request, one reply, on the real binary: raw clients count the end
// bytes, and hubd -e turns each reply's status into its exit code.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

const std::string NUL(1, '\0');

// Everything the server sends until it closes the connection.
std::string read_until_closed(int fd) {
    std::string got;
    char buf[4096];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, SHELL_WAIT_LIMIT_MS) <= 0) return got + "<no close>";
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return got;
        got.append(buf, static_cast<size_t>(n));
    }
}

size_t end_bytes(const std::string &text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\0')); }

TEST(NetshReply, EveryRequestGetsExactlyOneEndByte) {
    ShellHubd s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    s.dir.write_file("three", "echo one\necho two\necho three\n");
    const std::string three = s.dir.path() + "/three";
    const struct {
        std::string request;
        std::string reply;  // without its end byte
        bool ends_session;
    } rows[] = {
        {"call tlog", "", false},
        {"echo a;echo b", "a\r\nb\r\n", false},
        {"source " + three, "one\r\ntwo\r\nthree\r\n", false},
        {"echo \"abc", "error: unbalanced quotes, nothing ran\r\n", false},
        {"FOO=bar", "", false},
        {std::string(5000, 'x'), "error: line too long (5000 bytes, at most 4095)\r\n", false},
        {"quit", "", true},
        {"exit", "", true},  // last: it stops the server
    };
    for (const auto &row : rows) {
        ShellConn c(s.port);
        ASSERT_TRUE(c.connected()) << row.request.substr(0, 20);
        if (row.ends_session) {
            ASSERT_TRUE(c.request(row.request));
            EXPECT_EQ(row.reply + NUL, read_until_closed(c.fd())) << row.request;
            continue;
        }
        // The next request's reply must come next: a second end byte, or none,
        // would show there.
        ASSERT_TRUE(c.send_raw(row.request + NUL + "echo after" + NUL));
        std::vector<std::string> got;
        ASSERT_TRUE(c.replies(2, &got, 10000)) << row.request.substr(0, 20);
        EXPECT_EQ(got, (std::vector<std::string>{row.reply, "after\r\n"})) << row.request.substr(0, 20);
    }
    EXPECT_EQ(s.proc->wait(30000).exit_code, 0);
}

// printf 'source f\0' | socat -t2 - TCP:...: the client shuts its sending
// side down right after the request and still reads the whole reply.
TEST(NetshReply, HalfClosedClientGetsTheWholeReplyOfASource) {
    ShellHubd s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += "echo line " + std::to_string(i) + "\n";
    s.dir.write_file("f", lines);
    ShellConn c(s.port);
    ASSERT_TRUE(c.request("source " + s.dir.path() + "/f"));
    ASSERT_EQ(shutdown(c.fd(), SHUT_WR), 0);
    std::string got = read_until_closed(c.fd());
    EXPECT_EQ(end_bytes(got), 1u);
    EXPECT_EQ(got.rfind("line 0\r\nline 1\r\n", 0), 0u) << got.substr(0, 40);
    EXPECT_EQ(got.substr(got.size() > 11 ? got.size() - 11 : 0), "line 299\r\n" + NUL);
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

TEST(NetshReply, DashEExitsZeroOnlyWhenEveryCommandSucceeded) {
    ShellHubd s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    const struct {
        const char *commands;
        int exit_code;
        const char *out;  // standard output holds this
    } rows[] = {
        {"echo a;echo b", 0, "a\nb\n"},
        {"FOO=bar;echo b", 0, "\nb\n"},
        {"show nosuch", 2, "error: The show variable 'nosuch' does not exist\n"},
        {"set log.level foo", 2, "error: invalid param [foo]\n"},
        {"nosuch;echo b", 2, "command not found: [nosuch]\n"},
        // The ';' inside the open quote cuts nothing: the whole text is refused.
        {"echo \"abc;echo d", 2, "error: unbalanced quotes, nothing ran\n"},
        {"help exit", 0, "exit\nExit the service program\n"},
    };
    for (const auto &row : rows) {
        HubdResult r = run_client(s.port, row.commands);
        EXPECT_EQ(r.exit_code, row.exit_code) << row.commands << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(row.out), std::string::npos) << row.commands << "\n" << r.out;
    }
    EXPECT_EQ(run_client(s.port, "echo \"abc;echo d").out, "error: unbalanced quotes, nothing ran\n");
    EXPECT_TRUE(s.proc->running());
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

TEST(NetshReply, DashERefusedByTheSessionCapPrintsTheReasonAndExitsOne) {
    ShellHubd s("shell_server_max_sessions = 1\n");
    ASSERT_TRUE(s.ready()) << s.proc->err();
    // The readiness probe's session may take a moment to leave.
    std::unique_ptr<ShellConn> held;
    for (int attempt = 0; attempt < 100 && !held; ++attempt) {
        auto c = std::make_unique<ShellConn>(s.port);
        if (c->run("echo held") == "held\r\n") held = std::move(c);
        else s.proc->wait_for_err("\x01never\x01", 100);
    }
    ASSERT_TRUE(held);
    for (int round = 0; round < 3; ++round) {
        HubdResult r = run_client(s.port, "echo never");
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("error: too many shell sessions (1), try again later"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("never"), std::string::npos) << r.out;
    }
    EXPECT_EQ(held->run("echo still"), "still\r\n");
    held.reset();
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

}  // namespace
