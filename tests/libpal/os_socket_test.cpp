// Socket wrapper over loopback: connections, controls, the wake pair and waits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "libpal/os/os_socket.h"
#include "str_log_capture.h"

namespace {

os_ipaddr loopback(const char *ip, uint16_t port) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_port_set(&addr, port);
    EXPECT_TRUE(os_ipaddr_ip_cstr_set(&addr, ip));
    return addr;
}

// A listener on a free loopback port, closed at the end of the test.
struct test_listener {
    os_socket sock = OS_SOCKET_NONE;
    os_ipaddr addr{};

    explicit test_listener(const char *ip, int type = OS_SOCKET_TCP) {
        os_ipaddr bind_addr = loopback(ip, 0);
        sock = os_socket_init(type, os_ipaddr_family(&bind_addr));
        if (sock == OS_SOCKET_NONE) return;
        EXPECT_TRUE(os_socket_bind(sock, &bind_addr));
        if (type == OS_SOCKET_TCP) {
            EXPECT_TRUE(os_socket_listen(sock, 8));
        }
        EXPECT_TRUE(os_socket_local(sock, &addr));
    }
    ~test_listener() {
        if (sock != OS_SOCKET_NONE) os_socket_exit(sock);
    }
};

struct connected {
    os_socket client = OS_SOCKET_NONE;
    os_socket server = OS_SOCKET_NONE;
    os_ipaddr peer{};
    ~connected() {
        if (client != OS_SOCKET_NONE) os_socket_exit(client);
        if (server != OS_SOCKET_NONE) os_socket_exit(server);
    }
};

void connect_to(const test_listener &listener, connected *pair) {
    pair->client = os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(&listener.addr));
    ASSERT_NE(pair->client, OS_SOCKET_NONE);
    const int r = os_socket_connect(pair->client, &listener.addr);
    ASSERT_GE(r, 0);
    ASSERT_EQ(os_socket_wait_impl(listener.sock, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    pair->server = os_socket_accept(listener.sock, &pair->peer);
    ASSERT_NE(pair->server, OS_SOCKET_NONE);
    ASSERT_EQ(os_socket_wait_impl(pair->client, OS_SOCKET_WAIT_WRITE, 5000), OS_SOCKET_WAIT_WRITE);
}

bool is_nonblocking(os_socket sock) {
    return (fcntl(os_socket_fd(sock), F_GETFL) & O_NONBLOCK) != 0;
}

int int_option(os_socket sock, int level, int name) {
    int value = -1;
    socklen_t len = sizeof(value);
    EXPECT_EQ(getsockopt(os_socket_fd(sock), level, name, &value, &len), 0);
    return value;
}

std::string addr_text(const os_ipaddr &addr) {
    char buf[OS_UNIXADDR_CSTR_MAXN];
    return os_ipaddr_cstr(&addr, buf, sizeof(buf));
}

}  // namespace

TEST(OsSocketEnv, StartIgnoresBrokenPipes) {
    EXPECT_TRUE(os_socket_init_env());
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
}

TEST(OsSocketHandle, HandleIsDescriptorPlusOneAndNonBlocking) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    ASSERT_NE(sock, OS_SOCKET_NONE);
    EXPECT_GE(os_socket_fd(sock), 0);
    EXPECT_EQ(os_socket_from_fd(os_socket_fd(sock)), sock);
    EXPECT_TRUE(is_nonblocking(sock));
    EXPECT_EQ(int_option(sock, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    EXPECT_TRUE(os_socket_exit(sock));
}

TEST(OsSocketHandle, UnknownTypeIsRefused) {
    str_log_capture log;
    EXPECT_EQ(os_socket_init(0x501, OS_IPADDR_FAMILY_IPV4), OS_SOCKET_NONE);
    EXPECT_TRUE(str_contains(log.take(), "t >= 0 && p >= 0"));
}

TEST(OsSocketHandle, DatagramTypeMakesUdpSocket) {
    const os_socket sock = os_socket_init(OS_SOCKET_UDP, OS_IPADDR_FAMILY_IPV6);
    ASSERT_NE(sock, OS_SOCKET_NONE);
    EXPECT_EQ(int_option(sock, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(int_option(sock, SOL_SOCKET, SO_PROTOCOL), IPPROTO_UDP);
    os_socket_exit(sock);
}

TEST(OsSocketHandle, ClosingTwiceFails) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    ASSERT_TRUE(os_socket_exit(sock));
    EXPECT_FALSE(os_socket_exit(sock));
}

TEST(OsSocketTcp, Ipv4ConnectAcceptAndExchange) {
    test_listener listener("127.0.0.1");
    ASSERT_NE(os_ipaddr_port(&listener.addr), 0);
    connected pair;
    connect_to(listener, &pair);
    EXPECT_TRUE(is_nonblocking(pair.server));
    EXPECT_EQ(int_option(pair.server, IPPROTO_TCP, TCP_NODELAY), 1);

    os_ipaddr client_local;
    ASSERT_TRUE(os_socket_local(pair.client, &client_local));
    EXPECT_EQ(addr_text(pair.peer), addr_text(client_local));

    ASSERT_EQ(os_socket_send(pair.client, "hello", 5), 5);
    ASSERT_EQ(os_socket_wait_impl(pair.server, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    char buf[16] = {};
    ASSERT_EQ(os_socket_recv(pair.server, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "hello");
}

TEST(OsSocketTcp, Ipv6LoopbackConnects) {
    test_listener listener("::1");
    if (listener.sock == OS_SOCKET_NONE) GTEST_SKIP() << "no IPv6 loopback";
    connected pair;
    connect_to(listener, &pair);
    EXPECT_EQ(os_ipaddr_family(&pair.peer), OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(addr_text(pair.peer).rfind("[0000:0000:0000:0000:0000:0000:0000:0001]:", 0), 0u);
}

TEST(OsSocketTcp, RecvWithNothingToReadReturnsZero) {
    test_listener listener("127.0.0.1");
    connected pair;
    connect_to(listener, &pair);
    char buf[8];
    EXPECT_EQ(os_socket_recv(pair.server, buf, sizeof(buf)), 0);
    EXPECT_EQ(os_socket_recv(pair.server, buf, 0), 0);
    EXPECT_EQ(os_socket_send(pair.server, buf, 0), 0);
}

TEST(OsSocketTcp, PeerCloseReadsAsZeroAfterReadableWait) {
    test_listener listener("127.0.0.1");
    connected pair;
    connect_to(listener, &pair);
    os_socket_exit(pair.client);
    pair.client = OS_SOCKET_NONE;
    EXPECT_EQ(os_socket_wait_impl(pair.server, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    char buf[8];
    EXPECT_EQ(os_socket_recv(pair.server, buf, sizeof(buf)), 0);
}

// The event-driven receive tells nothing-now, data, peer closed and a reset apart,
// where os_socket_recv says 0 for the first and the third.
TEST(OsSocketTcp, RecvExTellsNothingNowFromPeerClosedFromError) {
    test_listener listener("127.0.0.1");
    connected pair;
    connect_to(listener, &pair);
    char buf[8];
    EXPECT_EQ(os_socket_recv_ex(pair.server, buf, sizeof buf), 0);
    ASSERT_EQ(os_socket_send(pair.client, "ab", 2), 2);
    ASSERT_EQ(os_socket_wait_impl(pair.server, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    EXPECT_EQ(os_socket_recv_ex(pair.server, buf, sizeof buf), 2);
    os_socket_exit(pair.client);
    pair.client = OS_SOCKET_NONE;
    ASSERT_EQ(os_socket_wait_impl(pair.server, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    EXPECT_EQ(os_socket_recv_ex(pair.server, buf, sizeof buf), OS_SOCKET_RECV_CLOSED);
    EXPECT_EQ(os_socket_recv(pair.server, buf, sizeof buf), 0);  // unchanged contract
    str_log_capture log;
    EXPECT_EQ(os_socket_recv_ex(pair.server, buf, 0), -1);  // a bad call, not "nothing now"
}

TEST(OsSocketTcp, PeerClosedEmptyOnlyWhenNothingIsLeftToRead) {
    struct {
        const char *sent;  // null: nothing
        bool closes;
        bool empty;
    } rows[] = {{nullptr, false, false}, {"x", false, false}, {"x", true, false}, {nullptr, true, true}};
    for (const auto &row : rows) {
        test_listener listener("127.0.0.1");
        connected pair;
        connect_to(listener, &pair);
        if (row.sent) os_socket_send(pair.client, row.sent, 1);
        if (row.closes) shutdown(os_socket_fd(pair.client), SHUT_WR);
        os_socket_wait_impl(pair.server, OS_SOCKET_WAIT_READ, row.sent || row.closes ? 5000 : 0);
        EXPECT_EQ(os_socket_peer_closed_empty(pair.server), row.empty) << row.closes;
        // The peek leaves what was sent in place.
        char byte = 0;
        if (row.sent) {
            EXPECT_EQ(os_socket_recv(pair.server, &byte, 1), 1);
        }
    }
}

// A session sleeps in a blocking receive on its own descriptor; the stop
// wakes it through the other one, and the session can still answer.
TEST(OsSocketTcp, ShutdownOfTheInputWakesABlockingReceiveOnACopy) {
    test_listener listener("127.0.0.1");
    connected pair;
    connect_to(listener, &pair);
    os_socket own = os_socket_dup(pair.server);
    ASSERT_NE(own, OS_SOCKET_NONE);
    ASSERT_TRUE(os_socket_ctrl(own, OS_SOCKET_CTRL_SET_BLOCKING, 1));
    char buf[8];
    // The plain receive never waits, whatever the mode.
    EXPECT_EQ(os_socket_recv(own, buf, sizeof buf), 0);
    ASSERT_EQ(os_socket_send(pair.client, "ab", 2), 2);
    EXPECT_EQ(os_socket_recv_wait(own, buf, sizeof buf), 2);
    std::atomic<int> woke{-2};
    std::thread sleeper([&] { woke = os_socket_recv_wait(own, buf, sizeof buf); });
    ASSERT_TRUE(os_socket_shutdown_read(pair.server));
    sleeper.join();
    EXPECT_EQ(woke.load(), 0);
    EXPECT_EQ(os_socket_send(own, "z", 1), 1);
    os_socket_exit(own);
    os_socket_exit(pair.server);
    pair.server = OS_SOCKET_NONE;
    EXPECT_EQ(os_socket_wait_impl(pair.client, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    EXPECT_EQ(os_socket_recv(pair.client, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 'z');
}

// The reset ends the connection at once on both sides: the peer's half-closed
// socket sees it instead of an orderly end.
TEST(OsSocketCtrl, ResetOnCloseSendsAReset) {
    test_listener listener("127.0.0.1");
    connected pair;
    connect_to(listener, &pair);
    shutdown(os_socket_fd(pair.client), SHUT_WR);
    ASSERT_TRUE(os_socket_ctrl(pair.server, OS_SOCKET_CTRL_SET_RESET_ON_CLOSE, 1));
    os_socket_exit(pair.server);
    pair.server = OS_SOCKET_NONE;
    // A plain poll: the wrapper's wait reads the pending error, and with it the reset.
    pollfd ready{os_socket_fd(pair.client), POLLIN, 0};
    poll(&ready, 1, 5000);
    char byte;
    EXPECT_EQ(recv(os_socket_fd(pair.client), &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
}

TEST(OsSocketTcp, SendToClosedPeerFailsWithoutEndingTheProcess) {
    test_listener listener("127.0.0.1");
    connected pair;
    connect_to(listener, &pair);
    os_socket_exit(pair.client);
    pair.client = OS_SOCKET_NONE;
    const std::string chunk(4096, 'x');
    int result = 0;
    for (int i = 0; i < 1000 && result >= 0; i++) {
        result = os_socket_send(pair.server, chunk.data(), chunk.size());
        if (result == 0) os_socket_wait_impl(pair.server, OS_SOCKET_WAIT_WRITE, 100);
    }
    EXPECT_EQ(result, -1);
}

TEST(OsSocketTcp, ConnectWithoutIpIsRefused) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr empty;
    os_ipaddr_clear(&empty);
    str_log_capture log;
    EXPECT_EQ(os_socket_connect(sock, &empty), -1);
    EXPECT_TRUE(str_contains(log.take(), "!os_ipaddr_is_empty(addr)"));
    os_socket_exit(sock);
}

TEST(OsSocketTcp, RefusedConnectShowsAsWaitError) {
    os_ipaddr target;
    {
        test_listener closed("127.0.0.1");  // a port that is free again afterwards
        target = closed.addr;
        os_socket_exit(closed.sock);
        closed.sock = OS_SOCKET_NONE;
    }
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    const int r = os_socket_connect(sock, &target);
    if (r == 0) {
        EXPECT_EQ(os_socket_wait_impl(sock, OS_SOCKET_WAIT_WRITE, 5000), -1);
    } else {
        EXPECT_EQ(r, -1);
    }
    os_socket_exit(sock);
}

TEST(OsSocketTcp, AcceptWithNothingPendingReturnsNone) {
    test_listener listener("127.0.0.1");
    EXPECT_EQ(os_socket_accept(listener.sock, nullptr), OS_SOCKET_NONE);
}

TEST(OsSocketTcp, BindReusesAddressOfRecentlyClosedListener) {
    os_ipaddr addr;
    connected pair;
    {
        test_listener listener("127.0.0.1");
        addr = listener.addr;
        connect_to(listener, &pair);
    }
    // The accepted side closes first, leaving the port in TIME_WAIT.
    os_socket_exit(pair.server);
    pair.server = OS_SOCKET_NONE;
    const os_socket again = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    EXPECT_TRUE(os_socket_bind(again, &addr));
    os_socket_exit(again);
}

TEST(OsSocketLocal, PathSocketConnects) {
    char dir_template[] = "/tmp/netpal_sock_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string path = std::string(dir_template) + "/s";
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    ASSERT_TRUE(os_ipaddr_unix_set(&addr, path.c_str(), false));

    const os_socket listener = os_socket_init(OS_SOCKET_LOCAL_STREAM, OS_IPADDR_FAMILY_UNIX);
    ASSERT_NE(listener, OS_SOCKET_NONE);
    ASSERT_TRUE(os_socket_bind(listener, &addr));
    ASSERT_TRUE(os_socket_listen(listener, 1));
    os_ipaddr local;
    ASSERT_TRUE(os_socket_local(listener, &local));
    EXPECT_EQ(addr_text(local), path);

    const os_socket client = os_socket_init(OS_SOCKET_LOCAL_STREAM, OS_IPADDR_FAMILY_UNIX);
    EXPECT_GE(os_socket_connect(client, &addr), 0);
    ASSERT_EQ(os_socket_wait_impl(listener, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    os_ipaddr peer;
    const os_socket server = os_socket_accept(listener, &peer);
    ASSERT_NE(server, OS_SOCKET_NONE);
    EXPECT_EQ(os_ipaddr_family(&peer), OS_IPADDR_FAMILY_UNIX);
    EXPECT_EQ(os_socket_send(client, "x", 1), 1);
    ASSERT_EQ(os_socket_wait_impl(server, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    char c = 0;
    EXPECT_EQ(os_socket_recv(server, &c, 1), 1);
    EXPECT_EQ(c, 'x');
    os_socket_exit(server);
    os_socket_exit(client);
    os_socket_exit(listener);
    unlink(path.c_str());
    rmdir(dir_template);
}

TEST(OsSocketLocal, AbstractNameConnects) {
    const std::string name = "netpal-test-" + std::to_string(getpid());
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    ASSERT_TRUE(os_ipaddr_unix_set(&addr, name.c_str(), true));
    const os_socket listener = os_socket_init(OS_SOCKET_LOCAL_STREAM, OS_IPADDR_FAMILY_UNIX);
    ASSERT_TRUE(os_socket_bind(listener, &addr));
    ASSERT_TRUE(os_socket_listen(listener, 1));
    os_ipaddr local;
    ASSERT_TRUE(os_socket_local(listener, &local));
    EXPECT_EQ(local.u.un.abstract, 1);
    EXPECT_STREQ(local.u.un.path, name.c_str());
    const os_socket client = os_socket_init(OS_SOCKET_LOCAL_STREAM, OS_IPADDR_FAMILY_UNIX);
    EXPECT_GE(os_socket_connect(client, &addr), 0);
    EXPECT_EQ(os_socket_wait_impl(listener, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    const os_socket server = os_socket_accept(listener, nullptr);
    EXPECT_NE(server, OS_SOCKET_NONE);
    if (server != OS_SOCKET_NONE) os_socket_exit(server);
    os_socket_exit(client);
    os_socket_exit(listener);
}

TEST(OsSocketPair, PairIsConnectedBothWaysAndNonBlocking) {
    os_socket pair[2] = {};
    ASSERT_TRUE(os_socket_pair(pair));
    EXPECT_TRUE(is_nonblocking(pair[0]));
    EXPECT_TRUE(is_nonblocking(pair[1]));
    ASSERT_EQ(os_socket_send(pair[0], "p", 1), 1);
    ASSERT_EQ(os_socket_wait_impl(pair[1], OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    char c = 0;
    ASSERT_EQ(os_socket_recv(pair[1], &c, 1), 1);
    EXPECT_EQ(c, 'p');
    ASSERT_EQ(os_socket_send(pair[1], "k", 1), 1);
    ASSERT_EQ(os_socket_wait_impl(pair[0], OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    ASSERT_EQ(os_socket_recv(pair[0], &c, 1), 1);
    EXPECT_EQ(c, 'k');
    // The two ends are each other's peers, not some other local connection.
    os_ipaddr local0, peer1;
    ASSERT_TRUE(os_socket_local(pair[0], &local0));
    ASSERT_TRUE(os_socket_peer(pair[1], &peer1));
    EXPECT_EQ(addr_text(local0), addr_text(peer1));
    os_socket_exit(pair[0]);
    os_socket_exit(pair[1]);
}

TEST(OsSocketWait, TimesOutWhenNothingArrives) {
    os_socket pair[2] = {};
    ASSERT_TRUE(os_socket_pair(pair));
    EXPECT_EQ(os_socket_wait_impl(pair[1], OS_SOCKET_WAIT_READ, 0), 0);
    EXPECT_EQ(os_socket_wait_impl(pair[1], OS_SOCKET_WAIT_READ, 30), 0);
    os_socket_exit(pair[0]);
    os_socket_exit(pair[1]);
}

TEST(OsSocketWait, ReportsReadableWritableOrBoth) {
    os_socket pair[2] = {};
    ASSERT_TRUE(os_socket_pair(pair));
    EXPECT_EQ(os_socket_wait_impl(pair[1], OS_SOCKET_WAIT_WRITE, 5000), OS_SOCKET_WAIT_WRITE);
    EXPECT_EQ(os_socket_wait_impl(pair[1], OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE, 5000),
              OS_SOCKET_WAIT_WRITE);
    ASSERT_EQ(os_socket_send(pair[0], "d", 1), 1);
    EXPECT_EQ(os_socket_wait_impl(pair[1], OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE, -1),
              OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE);
    os_socket_exit(pair[0]);
    os_socket_exit(pair[1]);
}

TEST(OsSocketCtrl, BlockingSwitchesBothWays) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    ASSERT_TRUE(os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_BLOCKING, 1));
    EXPECT_FALSE(is_nonblocking(sock));
    ASSERT_TRUE(os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_BLOCKING, 0));
    EXPECT_TRUE(is_nonblocking(sock));
    os_socket_exit(sock);
}

TEST(OsSocketCtrl, BufferSizesAreSetAndReadBack) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    const struct {
        unsigned long set, get;
        uint64_t asked;
        int option;
    } rows[] = {
        {OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, 65536, SO_RCVBUF},
        {OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, 32768, SO_SNDBUF},
    };
    for (const auto &row : rows) {
        uint64_t size = 0;
        ASSERT_TRUE(os_socket_ctrl(sock, row.set, row.asked));
        ASSERT_TRUE(os_socket_ctrl(sock, row.get, reinterpret_cast<uintptr_t>(&size)));
        EXPECT_EQ(size, static_cast<uint64_t>(int_option(sock, SOL_SOCKET, row.option)));
        EXPECT_GE(size, row.asked);
    }
    str_log_capture log;
    EXPECT_FALSE(os_socket_ctrl(sock, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, 0));
    os_socket_exit(sock);
}

TEST(OsSocketCtrl, NoDelayIsSetAndReadBack) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    uint8_t enabled = 7;
    ASSERT_TRUE(os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1));
    ASSERT_TRUE(os_socket_ctrl(sock, OS_SOCKET_CTRL_GET_TCP_NODELAY,
                               reinterpret_cast<uintptr_t>(&enabled)));
    EXPECT_EQ(enabled, 1);
    ASSERT_TRUE(os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 0));
    ASSERT_TRUE(os_socket_ctrl(sock, OS_SOCKET_CTRL_GET_TCP_NODELAY,
                               reinterpret_cast<uintptr_t>(&enabled)));
    EXPECT_EQ(enabled, 0);
    EXPECT_EQ(int_option(sock, IPPROTO_TCP, TCP_NODELAY), 0);
    os_socket_exit(sock);
}

TEST(OsSocketCtrl, KeepAliveSettingsReachTheSocket) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    const struct {
        unsigned long code;
        uintptr_t value;
        int level, option, expect;
    } rows[] = {
        {OS_SOCKET_CTRL_SET_KEEPALIVE, 1, SOL_SOCKET, SO_KEEPALIVE, 1},
        {OS_SOCKET_CTRL_SET_KEEPALIVE_IDLE, 41, IPPROTO_TCP, TCP_KEEPIDLE, 41},
        {OS_SOCKET_CTRL_SET_KEEPALIVE_INTVL, 7, IPPROTO_TCP, TCP_KEEPINTVL, 7},
        {OS_SOCKET_CTRL_SET_KEEPALIVE_CNT, 5, IPPROTO_TCP, TCP_KEEPCNT, 5},
        // Only the low byte counts: 0x100 switches it off.
        {OS_SOCKET_CTRL_SET_KEEPALIVE, 0x100, SOL_SOCKET, SO_KEEPALIVE, 0},
    };
    for (const auto &row : rows) {
        ASSERT_TRUE(os_socket_ctrl(sock, row.code, row.value)) << row.option;
        EXPECT_EQ(int_option(sock, row.level, row.option), row.expect) << row.option;
    }
    os_socket_exit(sock);
}

TEST(OsSocketCtrl, MembershipJoinsValidGroupOnly) {
    const os_socket sock = os_socket_init(OS_SOCKET_UDP, OS_IPADDR_FAMILY_IPV4);
    EXPECT_TRUE(os_socket_ctrl(sock, OS_SOCKET_CTRL_ADD_MEMBERSHIP,
                               reinterpret_cast<uintptr_t>("239.1.2.3")));
    EXPECT_FALSE(os_socket_ctrl(sock, OS_SOCKET_CTRL_ADD_MEMBERSHIP,
                                reinterpret_cast<uintptr_t>("239.1.2")));
    os_socket_exit(sock);
}

TEST(OsSocketCtrl, CodeOneIsNotImplementedAndCodeTenIsAccepted) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    str_log_capture log;
    EXPECT_FALSE(os_socket_ctrl(sock, 1, 0));
    EXPECT_TRUE(str_contains(log.take(), "noimpl"));
    EXPECT_TRUE(os_socket_ctrl(sock, 10, 0));
    os_socket_exit(sock);
}

TEST(OsSocketCtrl, UnknownCodeIsRefusedAndNamed) {
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    str_log_capture log;
    EXPECT_FALSE(os_socket_ctrl(sock, 99, 0));
    EXPECT_TRUE(str_contains(log.take(), "unknown socket ctrl: 99"));
    os_socket_exit(sock);
}

TEST(OsUdpOpen, SendsToLoopbackCollector) {
    test_listener collector("127.0.0.1", OS_SOCKET_UDP);
    const os_socket sock = os_udp_open("127.0.0.1", os_ipaddr_port(&collector.addr));
    ASSERT_NE(sock, OS_SOCKET_NONE);
    ASSERT_EQ(os_socket_send(sock, "rec", 3), 3);
    ASSERT_EQ(os_socket_wait_impl(collector.sock, OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    char buf[8] = {};
    EXPECT_EQ(os_socket_recv(collector.sock, buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "rec");
    os_socket_exit(sock);
}

TEST(OsUdpOpen, UnresolvableNameFailsWithMessage) {
    const std::string name = std::string(70, 'y') + ".invalid";
    str_log_capture log;
    EXPECT_EQ(os_udp_open(name.c_str(), 514), OS_SOCKET_NONE);
    EXPECT_TRUE(str_contains(log.take(), "failed to resolve name " + name + " port 514 error: "));
}
