// hubd-echo, the example host program, against raw TCP clients: thousands of
// connections on the one loop thread, its limits (long line, max_clients, a
// reader that never reads, the idle time-out), the checks of its keys, and a
// stop that closes its clients.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

constexpr int WAIT_MS = 30000;

// The harness runs whatever sits at dir.binary(): there it is hubd-echo.
void use_echo_binary(const HubdDir &dir) {
    std::filesystem::copy_file(HUBD_ECHO_BIN, dir.binary(), std::filesystem::copy_options::overwrite_existing);
}

std::string echo_ini(int echo_port, int shell_port, const std::string &echo_keys) {
    return "[echo]\nport = " + std::to_string(echo_port) + "\naddr = 127.0.0.1\n" + echo_keys + shell_ini(shell_port) +
           "[log]\nlevel = warn\n";
}

class EchoServer {
public:
    explicit EchoServer(const std::string &echo_keys = "") {
        use_echo_binary(dir_);
        echo_port_ = free_tcp_port();
        shell_port_ = free_tcp_port();
        dir_.write_file("hubd-echo.ini", echo_ini(echo_port_, shell_port_, echo_keys));
        proc_ = std::make_unique<HubdProcess>(dir_, std::vector<std::string>{"-q"});
        ready_ = wait_shell_ready(*proc_, shell_port_) && wait_echo_ready();
    }
    bool ready() const { return ready_; }
    int port() const { return echo_port_; }
    HubdProcess &proc() { return *proc_; }
    std::string show() {
        ShellConn shell(shell_port_);
        return shell.run("show echo");
    }
    long long field(const std::string &key) { return memory_field(show(), key); }
    bool wait_field(const std::string &key, long long want) {
        for (long end = now_ms() + WAIT_MS; now_ms() < end; usleep(20000))
            if (field(key) == want) return true;
        return false;
    }
    // Descriptors with one shell session open, as every measurement has it.
    int fds() {
        ShellConn shell(shell_port_);
        shell.run("echo x");
        return fd_count(proc_->pid());
    }

private:
    bool wait_echo_ready() {
        for (long end = now_ms() + WAIT_MS; now_ms() < end; usleep(50000))
            if (memory_field(show(), "port") == echo_port_) return true;
        return false;
    }

    HubdDir dir_;
    int echo_port_ = 0;
    int shell_port_ = 0;
    std::unique_ptr<HubdProcess> proc_;
    bool ready_ = false;
};

// A blocking client whose reads give up after the wait limit; rcvbuf 0 keeps the default.
int echo_connect(int port, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    timeval tv{WAIT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr = loopback_addr(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Exactly n bytes, or what came before the close or the wait limit.
std::string recv_n(int fd, size_t n) {
    std::string got;
    char buf[4096];
    while (got.size() < n) {
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

// Everything until the peer closes; closed tells whether it did within the wait limit.
std::string recv_to_close(int fd, bool *closed) {
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r > 0) {
            got.append(buf, static_cast<size_t>(r));
            continue;
        }
        *closed = r == 0 || errno == ECONNRESET;
        return got;
    }
}

long rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// The test's own descriptor limit, raised for thousands of clients; hubd-echo inherits it.
void raise_fd_limit(rlim_t want) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min(want, lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace

TEST(EchoHost, TwoThousandClientsEchoAndEverythingReturnsToBaseline) {
    constexpr int CLIENTS = 2000;
    raise_fd_limit(20000);
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    ASSERT_GE(lim.rlim_cur, static_cast<rlim_t>(2 * CLIENTS + 200)) << "the hard descriptor limit is too low";
    EchoServer server;
    ASSERT_TRUE(server.ready()) << server.proc().err();
    const int base_fds = server.fds();
    ASSERT_GT(base_fds, 0);

    std::vector<int> clients;
    for (int i = 0; i < CLIENTS; ++i) {
        int fd = echo_connect(server.port());
        ASSERT_GE(fd, 0) << "client " << i << ": " << std::strerror(errno);
        clients.push_back(fd);
    }
    EXPECT_TRUE(server.wait_field("connections", CLIENTS)) << server.show();
    // Every client first, then every echo: all of them wait on the loop at once.
    for (int i = 0; i < CLIENTS; ++i)
        ASSERT_TRUE(send_all(clients[i], "line " + std::to_string(i) + "\nand a second\n")) << i;
    int echoed = 0;
    for (int i = 0; i < CLIENTS; ++i) {
        const std::string want = "line " + std::to_string(i) + "\nand a second\n";
        echoed += recv_n(clients[i], want.size()) == want;
    }
    EXPECT_EQ(echoed, CLIENTS);
    EXPECT_EQ(server.field("accepted"), CLIENTS);
    EXPECT_EQ(server.field("lines"), 2 * CLIENTS);
    EXPECT_EQ(server.field("refused"), 0);

    for (int fd : clients) close(fd);
    EXPECT_TRUE(server.wait_field("connections", 0)) << server.show();
    // Not above the baseline: descriptors of the start-up probe's session
    // (a shell or web console thread) may have gone since, but none of a client.
    int fds = -1;
    for (long end = now_ms() + WAIT_MS; now_ms() < end && (fds < 0 || fds > base_fds); usleep(50000)) fds = server.fds();
    EXPECT_GT(fds, 0);
    EXPECT_LE(fds, base_fds);

    // The stop closes the clients still there, and the program ends cleanly.
    int last = echo_connect(server.port());
    ASSERT_GE(last, 0);
    ASSERT_TRUE(server.wait_field("connections", 1));
    HubdResult end = server.proc().stop(SIGTERM);
    EXPECT_EQ(end.exit_code, 0) << end.err;
    bool closed = false;
    recv_to_close(last, &closed);
    EXPECT_TRUE(closed);
    close(last);
}

namespace {

struct LimitRow {
    const char *name;
    std::string keys;     // of section [echo]
    std::string counter;  // of "show echo", 1 afterwards
    std::string warning;  // logged once; empty: none
    // Runs the misbehaving client; false (with a message) when the server did not answer as it should.
    std::function<bool(EchoServer &, std::string *)> client;
};

bool long_line(EchoServer &server, std::string *why) {
    int fd = echo_connect(server.port());
    // What follows the long line, more than one read takes, is dropped.
    send_all(fd, "short\n" + std::string(200, 'x') + "\n" + std::string(300000, 'z'));
    bool closed = false;
    *why = recv_to_close(fd, &closed);
    close(fd);
    return closed && *why == "short\nerror: line longer than 100 bytes\n";
}

bool too_many(EchoServer &server, std::string *why) {
    std::vector<int> kept;
    bool served = true;
    for (int i = 0; i < 3; ++i) {
        kept.push_back(echo_connect(server.port()));
        served = served && send_all(kept.back(), "hi\n") && recv_n(kept.back(), 3) == "hi\n";
    }
    int extra = echo_connect(server.port());
    bool closed = false;
    *why = recv_to_close(extra, &closed);
    close(extra);
    // The three keep being served.
    served = served && send_all(kept[0], "still\n") && recv_n(kept[0], 6) == "still\n";
    for (int fd : kept) close(fd);
    if (!served) *why += " (and a client within max_clients was not served)";
    return served && closed && *why == "error: too many connections (max_clients 3)\n";
}

// Sends and never reads: the kernel buffers fill, then the echo waiting in
// the server passes its cap and the server closes, whose reset ends the sending.
bool never_reads(EchoServer &server, std::string *why) {
    const long rss_before = rss_kb(server.proc().pid());
    int fd = echo_connect(server.port(), 4096);
    const std::string chunk = std::string(1023, 'y') + "\n";
    size_t sent = 0;
    constexpr size_t SEND_LIMIT = 256u << 20;
    while (sent < SEND_LIMIT) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, WAIT_MS) <= 0) break;
        ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    close(fd);
    const long rss_after = rss_kb(server.proc().pid());
    *why = "sent " + std::to_string(sent) + " bytes, rss " + std::to_string(rss_before) + " kB -> " +
           std::to_string(rss_after) + " kB";
    // Unbounded, the server would have taken all of it into its memory.
    return sent < SEND_LIMIT && rss_after - rss_before < 16 * 1024;
}

bool silent(EchoServer &server, std::string *why) {
    int fd = echo_connect(server.port());
    bool closed = false;
    *why = recv_to_close(fd, &closed);
    close(fd);
    return closed && why->empty();
}

const LimitRow kLimitRows[] = {
    {"LongLine", "max_line = 100\n", "long_line_closed", "sent a line longer than 100 bytes: closed; 1 so far",
     long_line},
    {"MaxClients", "max_clients = 3\n", "refused", "refused, 3 clients are connected (max_clients); 1 refused so far",
     too_many},
    {"NeverReads", "output_cap = 65536\n", "slow_reader_closed", "the cap is 65536): closed; 1 so far", never_reads},
    {"IdleTimeout", "idle_timeout_ms = 300\n", "idle_closed", "", silent},
};

void PrintTo(const LimitRow &row, std::ostream *os) { *os << row.name; }

class EchoLimits : public testing::TestWithParam<LimitRow> {};

}  // namespace

TEST_P(EchoLimits, AnswerOnceCloseAndCount) {
    const LimitRow &row = GetParam();
    EchoServer server(row.keys);
    ASSERT_TRUE(server.ready()) << server.proc().err();
    std::string why;
    EXPECT_TRUE(row.client(server, &why)) << why;
    EXPECT_TRUE(server.wait_field(row.counter, 1)) << server.show();
    EXPECT_TRUE(server.wait_field("connections", 0)) << server.show();
    // The server lives on.
    int fd = echo_connect(server.port());
    EXPECT_TRUE(send_all(fd, "after\n"));
    EXPECT_EQ(recv_n(fd, 6), "after\n");
    close(fd);
    HubdResult end = server.proc().stop(SIGTERM);
    EXPECT_EQ(end.exit_code, 0) << end.err;
    if (!row.warning.empty()) {
        EXPECT_NE(end.err.find(row.warning), std::string::npos) << end.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, EchoLimits, testing::ValuesIn(kLimitRows),
                         [](const testing::TestParamInfo<LimitRow> &info) { return std::string(info.param.name); });

TEST(EchoHost, CheckPassesTheSampleAndABadValueOrABusyPortStopsTheStart) {
    const struct {
        std::string echo_keys;
        std::string message;  // empty: the file is fine
    } rows[] = {
        {"", ""},
        {"port = 70000\n", "[echo] port = 70000: a port is 1 to 65535"},
        {"max_clients = 0\n", "[echo] max_clients = 0: a number of connections from 1 to 1000000"},
        {"max_clients = 99999999\n", "[echo] max_clients = 99999999: a number of connections from 1 to 1000000"},
        {"idle_timeout_ms = -1\n", "[echo] idle_timeout_ms = -1: milliseconds from 0 (never) to 86400000"},
        {"max_line = 8\n", "[echo] max_line = 8: bytes from 16 to 1048576"},
        {"output_cap = 1\n", "[echo] output_cap = 1: bytes from 1024 to 67108864"},
        {"addr = nowhere\n", "[echo] addr = nowhere:"},
        {"max_client = 5\n", "unknown key max_client, did you mean max_clients?"},
    };
    HubdDir dir;
    use_echo_binary(dir);
    HubdResult sample = run_hubd(dir, {"-t", "-c", std::string(HUBD_SOURCE_DIR) + "/examples/echo/hubd-echo.ini"});
    EXPECT_EQ(sample.exit_code, 0) << sample.err;
    EXPECT_NE(sample.out.find("configuration ok"), std::string::npos) << sample.out;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.echo_keys);
        dir.write_file("hubd-echo.ini", echo_ini(7007, 0, row.echo_keys));
        HubdResult check = run_hubd(dir, {"-t"});
        EXPECT_EQ(check.exit_code, row.message.empty() ? 0 : 1) << check.err;
        if (!row.message.empty()) {
            EXPECT_NE(check.err.find("hubd-echo.ini:" ), std::string::npos) << check.err;
            EXPECT_NE(check.err.find(row.message), std::string::npos) << check.err;
        }
    }
    // A port that another program holds: one line that says so, exit 1.
    int port = 0;
    const int holder = loopback_bind(SOCK_STREAM, 0, &port);
    ASSERT_GE(holder, 0);
    dir.write_file("hubd-echo.ini", echo_ini(port, 0, ""));
    HubdResult busy = run_hubd(dir, {"-q"});
    close(holder);
    EXPECT_EQ(busy.exit_code, 1) << busy.err;
    EXPECT_NE(busy.err.find("echo cannot listen on [127.0.0.1] port " + std::to_string(port) + ": Address already in use"),
              std::string::npos)
        << busy.err;
}
