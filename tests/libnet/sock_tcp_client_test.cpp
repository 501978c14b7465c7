#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "libnet/sock_tcp_client.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/os/os_error.h"
#include "net_test_util.h"

namespace {

// A listener with a backlog of 0 that never accepts; once its queue is full
// further connects hang in SYN-SENT.
struct full_listener {
    int fd = -1;
    int port = 0;
    std::vector<int> fillers;

    bool open() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return false;
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
        port = ntohs(sa.sin_port);
        if (listen(fd, 0) != 0) return false;
        for (int i = 0; i < 16; ++i) {
            int c = test_tcp_connect_nowait("127.0.0.1", port);
            if (c < 0) return false;
            fillers.push_back(c);
            pollfd pfd{c, POLLOUT, 0};
            if (poll(&pfd, 1, 300) == 0) return true;  // this one hangs: the queue is full
        }
        return false;
    }
    ~full_listener() {
        for (int c : fillers) close(c);
        if (fd >= 0) close(fd);
    }
};

sock_cli_conf *new_conf(uint32_t timeout) {
    auto *conf = new sock_cli_conf{};
    conf->connect_timeout = timeout;
    return conf;
}

}  // namespace

TEST(SockTcpConnect, HangingConnectEndsWithTimeout) {
    full_listener target;
    ASSERT_TRUE(target.open());
    sock_cli_conf *conf = new_conf(400);
    verr err{};
    os_socket sock = sock_tcp_connect("127.0.0.1", target.port, conf, &err);
    EXPECT_EQ(sock, OS_SOCKET_NONE);
    EXPECT_EQ(err.code, -1);
    EXPECT_EQ(std::string(err.msg), "connect 127.0.0.1:" + std::to_string(target.port) + " timeout");
    delete conf;
}

TEST(SockTcpConnect, StopByteEndsConnectWithUserRequestStop) {
    full_listener target;
    ASSERT_TRUE(target.open());
    sock_cli_conf *conf = new_conf(120000);
    sock_stop_hook hook{};
    conf->stop = &hook;
    std::thread stopper([&] {
        test_wait_until([] { return false; }, 100);
        hook.stop = 1;
    });
    verr err{};
    os_socket sock = sock_tcp_connect("127.0.0.1", target.port, conf, &err);
    stopper.join();
    EXPECT_EQ(sock, OS_SOCKET_NONE);
    EXPECT_EQ(err.code, -1);
    EXPECT_STREQ(err.msg, "User request stop");
    delete conf;
}

namespace {
bool stop_after_two(void *user, uint32_t timeout) {
    auto *calls = static_cast<std::atomic<int> *>(user);
    return calls->fetch_add(1) >= 1 && timeout == 120000;
}
}  // namespace

TEST(SockTcpConnect, StopFunctionEndsConnectWithUserRequestStop) {
    full_listener target;
    ASSERT_TRUE(target.open());
    sock_cli_conf *conf = new_conf(120000);
    std::atomic<int> calls{0};
    sock_stop_hook hook{};
    hook.func = stop_after_two;
    hook.user = &calls;
    conf->stop = &hook;
    verr err{};
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", target.port, conf, &err), OS_SOCKET_NONE);
    EXPECT_STREQ(err.msg, "User request stop");
    EXPECT_GE(calls.load(), 2);
    delete conf;
}

TEST(SockTcpConnect, RefusedConnectCarriesOsErrorCodeAndText) {
    int port = test_dead_port();
    sock_cli_conf *conf = new_conf(5000);
    verr err{};
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", port, conf, &err), OS_SOCKET_NONE);
    EXPECT_EQ(err.code, ECONNREFUSED);
    std::string expected = "connect 127.0.0.1:" + std::to_string(port) + " " + os_strerror(ECONNREFUSED);
    EXPECT_EQ(std::string(err.msg), expected);
    delete conf;
}

TEST(SockTcpConnect, UnresolvableNameGivesCodeMinusTwo) {
    // A label above 63 characters cannot be put in a query, so nothing is sent.
    std::string host = std::string(70, 'q') + ".invalid";
    sock_cli_conf *conf = new_conf(2000);
    verr err{};
    EXPECT_EQ(sock_tcp_connect(host.c_str(), 80, conf, &err), OS_SOCKET_NONE);
    EXPECT_EQ(err.code, -2);
    EXPECT_EQ(std::string(err.msg), "addrinfo_addr " + host + " failed");
    delete conf;
}

TEST(SockTcpConnect, ConnectsOverIpv4AndIpv6LoopbackAndLocalhost) {
    sock_srv_conf srv_conf{};
    srv_conf.name = "cli";
    srv_conf.backlog = 8;
    os_socket v4 = sock_tcp_bind("127.0.0.1", 0, &srv_conf);
    ASSERT_NE(v4, OS_SOCKET_NONE);
    int port = static_cast<int>(srv_conf.bound_port);
    os_socket v6 = sock_tcp_bind("::1", port, &srv_conf);
    ASSERT_NE(v6, OS_SOCKET_NONE);
    sock_cli_conf *conf = new_conf(5000);
    conf->buf_size = 16384;
    for (const char *host : {"127.0.0.1", "::1", "localhost"}) {
        verr err{};
        os_socket sock = sock_tcp_connect(host, port, conf, &err);
        EXPECT_NE(sock, OS_SOCKET_NONE) << host << ": " << err.msg;
        if (sock) os_socket_exit(sock);
    }
    delete conf;
    os_socket_exit(v4);
    os_socket_exit(v6);
}

TEST(SockTcpConnect, NoWaitReturnsSocketWhileConnectIsPending) {
    full_listener target;
    ASSERT_TRUE(target.open());
    sock_cli_conf *conf = new_conf(100);
    conf->no_wait = 1;
    verr err{};
    os_socket sock = sock_tcp_connect("127.0.0.1", target.port, conf, &err);
    EXPECT_NE(sock, OS_SOCKET_NONE);
    if (sock) os_socket_exit(sock);
    delete conf;
}
