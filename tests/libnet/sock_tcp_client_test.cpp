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
#include "libdbg/http_util.h"
#include "net_test_util.h"

namespace {

// A listener with a backlog of 0 that never accepts; once its queue is full
// further connects hang in SYN-SENT.
struct full_listener {
    int fd = -1;
    int port = 0;
    std::vector<int> fillers;

    bool open() {
        fd = listen_loopback(&port, 0);
        for (int i = 0; fd >= 0 && i < 16; ++i) {
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

bool stop_after_two(void *user, uint32_t timeout) {
    auto *calls = static_cast<std::atomic<int> *>(user);
    return calls->fetch_add(1) >= 1 && timeout == 120000;
}

class SockTcpConnect : public ::testing::Test {
protected:
    // Connects with a time-out of timeout ms; err_ tells why not.
    os_socket connect(const char *host, int port, uint32_t timeout) {
        conf_.connect_timeout = timeout;
        return sock_tcp_connect(host, port, &conf_, &err_);
    }
    // The same to a listener whose queue is full, so that the connect hangs.
    os_socket connect_hanging(uint32_t timeout) {
        EXPECT_TRUE(target_.open());
        return connect("127.0.0.1", target_.port, timeout);
    }
    full_listener target_;
    sock_cli_conf conf_{};
    verr err_{};
};

}  // namespace

TEST_F(SockTcpConnect, HangingConnectEndsWithTimeout) {
    EXPECT_EQ(connect_hanging(400), OS_SOCKET_NONE);
    EXPECT_EQ(err_.code, -1);
    EXPECT_EQ(std::string(err_.msg), "connect 127.0.0.1:" + std::to_string(target_.port) + " timeout");
}

// A stop byte set from another thread, and a stop function that says stop
// on its second call, both end the wait.
TEST_F(SockTcpConnect, StopByteAndStopFunctionEndConnectWithUserRequestStop) {
    sock_stop_hook hook{};
    conf_.stop = &hook;
    std::thread stopper = test_later(100, [&] { hook.stop = 1; });
    EXPECT_EQ(connect_hanging(120000), OS_SOCKET_NONE);
    stopper.join();
    EXPECT_EQ(err_.code, -1);
    EXPECT_STREQ(err_.msg, "User request stop");
    std::atomic<int> calls{0};
    sock_stop_hook func{};
    func.func = stop_after_two;
    func.user = &calls;
    conf_.stop = &func;
    err_ = verr{};
    EXPECT_EQ(connect("127.0.0.1", target_.port, 120000), OS_SOCKET_NONE);
    EXPECT_STREQ(err_.msg, "User request stop");
    EXPECT_GE(calls.load(), 2);
}

TEST_F(SockTcpConnect, RefusedConnectCarriesOsErrorCodeAndText) {
    int port = test_dead_port();
    EXPECT_EQ(connect("127.0.0.1", port, 5000), OS_SOCKET_NONE);
    EXPECT_EQ(err_.code, ECONNREFUSED);
    EXPECT_EQ(std::string(err_.msg), "connect 127.0.0.1:" + std::to_string(port) + " " + os_strerror(ECONNREFUSED));
}

TEST_F(SockTcpConnect, UnresolvableNameGivesCodeMinusTwo) {
    // A label above 63 characters cannot be put in a query, so nothing is sent.
    std::string host = std::string(70, 'q') + ".invalid";
    EXPECT_EQ(connect(host.c_str(), 80, 2000), OS_SOCKET_NONE);
    EXPECT_EQ(err_.code, -2);
    EXPECT_EQ(std::string(err_.msg), "addrinfo_addr " + host + " failed");
}

TEST_F(SockTcpConnect, ConnectsOverIpv4AndIpv6LoopbackAndLocalhost) {
    sock_srv_conf srv_conf{};
    srv_conf.name = "cli";
    srv_conf.backlog = 8;
    os_socket v4 = sock_tcp_bind("127.0.0.1", 0, &srv_conf);
    ASSERT_NE(v4, OS_SOCKET_NONE);
    int port = static_cast<int>(srv_conf.bound_port);
    os_socket v6 = sock_tcp_bind("::1", port, &srv_conf);
    ASSERT_NE(v6, OS_SOCKET_NONE);
    conf_.buf_size = 16384;
    for (const char *host : {"127.0.0.1", "::1", "localhost"}) {
        os_socket sock = connect(host, port, 5000);
        EXPECT_NE(sock, OS_SOCKET_NONE) << host << ": " << err_.msg;
        if (sock) os_socket_exit(sock);
    }
    os_socket_exit(v4);
    os_socket_exit(v6);
}

TEST_F(SockTcpConnect, NoWaitReturnsSocketWhileConnectIsPending) {
    conf_.no_wait = 1;
    os_socket sock = connect_hanging(100);
    EXPECT_NE(sock, OS_SOCKET_NONE);
    if (sock) os_socket_exit(sock);
}
