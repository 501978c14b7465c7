#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libnet/net_sock.h"
#include "libpal/os/os_serial.h"
#include "net_test_util.h"

namespace {

// A connected stream pair: our end as a socket stream, the peer as a raw fd.
struct stream_pair {
    net_sock ns{};
    int peer = -1;

    explicit stream_pair(uint32_t timeout) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return;
        net_sock_init_socket(&ns, os_socket_from_fd(fds[0]), timeout);
        peer = fds[1];
    }
    ~stream_pair() {
        net_close(&ns);
        if (peer >= 0) close(peer);
    }
};

// A memory stream holding bytes, for the line rules.
struct mem_stream {
    net_sock ns{};
    explicit mem_stream(const std::string &bytes) {
        net_sock_init_memory(&ns);
        net_write(&ns, bytes.data(), bytes.size());
    }
    ~mem_stream() { net_close(&ns); }
};

}  // namespace

TEST(NetSockRead, PeerClosingAfterFiveOfTenGivesFiveThenFailsAtOnce) {
    stream_pair pair(30000);
    ASSERT_GE(pair.peer, 0);
    ASSERT_TRUE(test_send_all(pair.peer, "12345", 5));
    close(pair.peer);
    pair.peer = -1;
    char buf[10];
    EXPECT_EQ(net_read(&pair.ns, buf, 10), 5);
    EXPECT_EQ(memcmp(buf, "12345", 5), 0);
    EXPECT_EQ(pair.ns.disconnected, 1);
    EXPECT_EQ(net_read(&pair.ns, buf, 10), -1);
    EXPECT_EQ(net_write(&pair.ns, "x", 1), -1);
}

TEST(NetSockRead, ZeroTimeoutWithNothingToReadGivesZero) {
    stream_pair pair(0);
    char buf[4];
    EXPECT_EQ(net_read(&pair.ns, buf, sizeof buf), 0);
    EXPECT_EQ(pair.ns.disconnected, 0);
}

TEST(NetSockRead, TimeRunningOutReturnsWhatCame) {
    stream_pair pair(200);
    ASSERT_TRUE(test_send_all(pair.peer, "abc", 3));
    char buf[10];
    EXPECT_EQ(net_read(&pair.ns, buf, 10), 3);
    EXPECT_EQ(pair.ns.disconnected, 0);
}

TEST(NetSockRead, AbortFlagFromAnotherThreadCutsTheWait) {
    stream_pair pair(600000);
    std::thread aborter = test_later(100, [&] { pair.ns.abort = 1; });
    char buf[4];
    EXPECT_EQ(net_read(&pair.ns, buf, sizeof buf), -1);
    aborter.join();
    // Closing clears the flag.
    net_close(&pair.ns);
    EXPECT_EQ(pair.ns.abort.load(), 0);
}

TEST(NetSockRead, StopHookCutsTheWaitAsCancelled) {
    stream_pair pair(600000);
    sock_stop_hook hook{};
    pair.ns.stop = &hook;
    std::thread stopper = test_later(100, [&] { hook.stop = 1; });
    char buf[4];
    errno = 0;
    EXPECT_EQ(net_read(&pair.ns, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ECANCELED);
    stopper.join();
}

TEST(NetSockWrite, WritesEverythingAndFailsOnceThePeerIsGone) {
    stream_pair pair(5000);
    std::string big(200000, 'w');
    std::atomic<size_t> drained{0};
    std::thread reader([&] {
        char buf[65536];
        while (drained < big.size()) {
            int n = test_recv(pair.peer, buf, sizeof buf, 10000);
            if (n <= 0) break;
            drained += static_cast<size_t>(n);
        }
    });
    EXPECT_EQ(net_write(&pair.ns, big.data(), big.size()), static_cast<int>(big.size()));
    reader.join();
    EXPECT_EQ(drained.load(), big.size());
    close(pair.peer);
    pair.peer = -1;
    EXPECT_EQ(net_write(&pair.ns, "x", 1), -1);
}

TEST(NetSockWrite, TimeRunningOutReturnsShortCount) {
    stream_pair pair(200);
    std::string big(4 << 20, 'w');
    int n = net_write(&pair.ns, big.data(), big.size());
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
}

// Line rules on a memory stream: each row is an input and the reads that
// follow it, as result and line (the line is checked for results above 0).
TEST(NetGets, LineRulesOnAMemoryStream) {
    using reads = std::vector<std::pair<int, std::string>>;
    const struct {
        int (*gets)(net_sock *, char *);
        std::string in;
        reads out;
    } rows[] = {
        {net_gets, "ab\r\n", {{2, "ab"}}},                       // CR LF: length without terminator
        {net_gets, std::string("\n\0", 2), {{1, ""}, {1, ""}}},  // a lone terminator: 1 and an empty line
        {net_gets, std::string("a\rb\rc\0next\n", 11), {{3, "abc"}, {4, "next"}, {0, ""}}},  // NUL ends, CRs go
        {net_gets, std::string(4094, 'x') + "\n", {{4094, std::string(4094, 'x')}}},  // the longest line fits
        {net_gets, std::string(4095, 'x') + "\n", {{-1, ""}}},                       // one byte more fails
        {net_gets_nul, std::string("one\r\ntwo\n\0", 10), {{8, "one\ntwo\n"}}},     // only NUL ends the record
        {net_gets_nul, std::string(16382, 'y') + '\0', {{16382, std::string(16382, 'y')}}},  // limit 16383
        {net_gets_nul, std::string(16383, 'y') + '\0', {{-1, ""}}},
    };
    static char buf[NET_GETS_NUL_MAXN];
    for (const auto &row : rows) {
        mem_stream in(row.in);
        for (const auto &[result, line] : row.out) {
            EXPECT_EQ(row.gets(&in.ns, buf), result) << row.in.substr(0, 16);
            if (result > 0) {
                EXPECT_EQ(buf, line);
            }
        }
    }
}

TEST(NetGets, NothingArrivingOnSocketGivesZero) {
    stream_pair pair(50);
    char buf[NET_GETS_MAXN];
    EXPECT_EQ(net_gets(&pair.ns, buf), 0);
}

TEST(NetGets, PeerCloseIsNoticedAndTheNextLineFails) {
    stream_pair pair(5000);
    ASSERT_TRUE(test_send_all(pair.peer, "last\n", 5));
    close(pair.peer);
    pair.peer = -1;
    char buf[NET_GETS_MAXN];
    EXPECT_EQ(net_gets(&pair.ns, buf), 4);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(net_gets(&pair.ns, buf), 0);
    EXPECT_EQ(pair.ns.disconnected, 1);
    EXPECT_EQ(net_gets(&pair.ns, buf), -1);
}

TEST(NetGetc, GivesByteOrNothing) {
    mem_stream in("\xff");
    int got = -1;
    EXPECT_EQ(net_getc(&in.ns, &got), 255);
    EXPECT_EQ(got, 1);
    EXPECT_EQ(net_getc(&in.ns, &got), 0);
    EXPECT_EQ(got, 0);
}

TEST(NetMemory, WritesAppendAndReadsConsume) {
    net_sock ns{};
    ASSERT_EQ(net_sock_init_memory(&ns), 0);
    EXPECT_EQ(net_write(&ns, "abc", 3), 3);
    EXPECT_EQ(net_write(&ns, "def", 3), 3);
    EXPECT_EQ(ns.mem->written, 6u);
    size_t len = 0;
    EXPECT_STREQ(net_sock_mem_data(&ns, &len), "abcdef");
    EXPECT_EQ(len, 6u);
    char buf[16] = {};
    EXPECT_EQ(net_read(&ns, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(ns.mem->written, 0u);
    EXPECT_EQ(net_read(&ns, buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(net_read(&ns, buf, sizeof buf), 0);
    EXPECT_EQ(net_close(&ns), 0);
    EXPECT_EQ(ns.mem, nullptr);
}

TEST(NetMemory, WriteAfterReadStartsAFreshBuffer) {
    net_sock ns{};
    ASSERT_EQ(net_sock_init_memory(&ns), 0);
    net_write(&ns, "hello", 5);
    char buf[8];
    EXPECT_EQ(net_read(&ns, buf, 2), 2);
    EXPECT_EQ(net_write(&ns, "Z", 1), 1);
    size_t len = 0;
    EXPECT_STREQ(net_sock_mem_data(&ns, &len), "Z");
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(ns.mem->written, 1u);
    net_close(&ns);
}

TEST(NetMemory, GrowsToTwiceTheNeededSize) {
    net_sock ns{};
    ASSERT_EQ(net_sock_init_memory(&ns), 0);
    net_write(&ns, "12345", 5);
    EXPECT_EQ(ns.mem->cap, 12u);
    net_write(&ns, "678", 3);
    EXPECT_EQ(ns.mem->cap, 12u);
    net_write(&ns, "9abcd", 5);
    EXPECT_EQ(ns.mem->cap, 28u);
    net_close(&ns);
}

TEST(NetPrintf, FormatsAndCutsAt4095Bytes) {
    net_sock ns{};
    ASSERT_EQ(net_sock_init_memory(&ns), 0);
    EXPECT_EQ(net_printf(&ns, "%d-%s", 7, "x"), 3);
    EXPECT_STREQ(net_sock_mem_data(&ns, nullptr), "7-x");
    char buf[8];
    net_read(&ns, buf, sizeof buf);
    std::string long_text(5000, 'a');
    EXPECT_EQ(net_printf(&ns, "%s", long_text.c_str()), 4095);
    net_close(&ns);
    net_sock closed{};
    closed.kind = NET_SOCK_KIND_CLOSED;
    EXPECT_EQ(net_printf(&closed, "x"), -1);
}

TEST(NetKinds, NegativeKindFailsEveryCall) {
    net_sock ns{};
    ns.kind = NET_SOCK_KIND_CLOSED;
    char buf[4];
    EXPECT_EQ(net_read(&ns, buf, 4), -1);
    EXPECT_EQ(net_write(&ns, buf, 4), -1);
    EXPECT_EQ(net_close(&ns), -1);
}

TEST(NetKinds, CloseClosesSocketAndRefusesSerial) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    net_sock ns{};
    net_sock_init_socket(&ns, os_socket_from_fd(fds[0]), 100);
    ns.disconnected = 1;
    EXPECT_EQ(net_close(&ns), 0);
    EXPECT_EQ(ns.disconnected, 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    close(fds[1]);
    net_sock serial{};
    serial.kind = NET_SOCK_KIND_SERIAL;
    EXPECT_EQ(net_close(&serial), -1);
}

namespace {
std::atomic<int> g_global_tls_calls{0};
int global_tls_read(net_sock *, void *, size_t) { return ++g_global_tls_calls, -7; }
int own_tls_read(net_sock *, void *buf, size_t len) {
    memset(buf, 'T', len);
    return static_cast<int>(len);
}
}  // namespace

TEST(NetTls, MissingHookFailsAndStreamHookWinsOverGlobal) {
    stream_pair pair(100);
    pair.ns.tls = 1;
    char buf[3];
    EXPECT_EQ(net_read(&pair.ns, buf, 3), -1);
    EXPECT_EQ(net_write(&pair.ns, "x", 1), -1);
    g_ssl_read_proc = global_tls_read;
    EXPECT_EQ(net_read(&pair.ns, buf, 3), -7);
    pair.ns.tls_read = own_tls_read;
    EXPECT_EQ(net_read(&pair.ns, buf, 3), 3);
    EXPECT_EQ(buf[0], 'T');
    EXPECT_EQ(g_global_tls_calls.load(), 1);
    g_ssl_read_proc = nullptr;
}

TEST(NetConsole, EndOfStandardInputIsAnError) {
    int saved = dup(STDIN_FILENO);
    int null_fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(null_fd, 0);
    dup2(null_fd, STDIN_FILENO);
    net_sock ns{};
    net_sock_init_console(&ns);
    char buf[NET_GETS_MAXN];
    int read_result = net_read(&ns, buf, 8);
    int gets_result = net_gets(&ns, buf);
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(null_fd);
    EXPECT_EQ(read_result, -1);
    EXPECT_EQ(gets_result, -1);
    EXPECT_EQ(net_close(&ns), 0);
}

TEST(NetSerial, TimedReadOnPseudoTerminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    os_serial *port = os_serial_open(ptsname(master));
    ASSERT_NE(port, nullptr);
    net_sock ns{};
    net_sock_init_serial(&ns, port, 50);
    char buf[16] = {};
    EXPECT_EQ(net_read(&ns, buf, sizeof buf), 0);
    uint32_t total = 0;
    EXPECT_TRUE(os_serial_timeout_get(port, &total));
    EXPECT_EQ(total, 50u);
    ASSERT_EQ(write(master, "ok", 2), 2);
    ns.timeout = 10000;
    EXPECT_EQ(net_read(&ns, buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "ok");
    EXPECT_EQ(net_write(&ns, "up", 2), 2);
    char back[4] = {};
    int got = 0;
    for (int tries = 0; got < 2 && tries < 100; ++tries) {
        ssize_t n = read(master, back + got, 2 - got);
        if (n > 0) got += static_cast<int>(n);
    }
    EXPECT_EQ(std::string(back, 2), "up");
    os_serial_close(port);
    close(master);
}
