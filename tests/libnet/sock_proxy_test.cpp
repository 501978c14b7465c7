#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "integration/peer_process.h"
#include "libnet/sock_proxy.h"
#include "libdbg/http_util.h"
#include "net_test_util.h"

namespace {

int accept_within(int listener, const std::atomic<bool> &stop) {
    while (!stop.load()) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    return -1;
}

void echo_until_closed(int fd, const std::atomic<bool> &stop) {
    char buf[4096];
    while (!stop.load()) {
        int n = test_recv(fd, buf, sizeof buf, 20);
        if (n == -2) continue;
        if (n <= 0 || !test_send_all(fd, buf, static_cast<size_t>(n))) break;
    }
}

// The target of every tunnel: echoes each connection, one after another.
class EchoServer {
public:
    EchoServer() : listener_(listen_loopback(&port_, 8)), thread_([this] { run(); }) {}
    ~EchoServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }

private:
    void run() {
        for (int fd; (fd = accept_within(listener_, stop_)) >= 0; close(fd)) echo_until_closed(fd, stop_);
    }
    int port_ = 0;
    int listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One step of a scripted proxy: read until at least min bytes and, when
// until is set, the bytes end with it; then write reply.
struct Step {
    size_t min;
    std::string until;
    std::string reply;
    int delay_ms = 0;  // before the reply
};
enum class End { close, hold, flood, trickle, echo };

// A proxy that plays a script on one connection and records what it got.
class ScriptedProxy {
public:
    ScriptedProxy(std::vector<Step> steps, End end)
        : steps_(std::move(steps)), end_(end), listener_(listen_loopback(&port_, 8)), thread_([this] { run(); }) {}
    ~ScriptedProxy() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    int port() const { return port_; }
    // What the client sent; read after the client is done.
    std::string received() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return received_;
    }

private:
    void run() {
        int fd = accept_within(listener_, stop_);
        if (fd < 0) return;
        for (const Step &step : steps_) {
            std::string got;
            while (!stop_ && (got.size() < step.min ||
                              (!step.until.empty() && (got.size() < step.until.size() ||
                                                       got.compare(got.size() - step.until.size(), step.until.size(), step.until) != 0)))) {
                char byte;
                int n = test_recv(fd, &byte, 1, 20);
                if (n == -2) continue;
                if (n <= 0) break;
                got += byte;
            }
            received_ += got;
            if (step.delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(step.delay_ms));
            if (!step.reply.empty()) test_send_all(fd, step.reply.data(), step.reply.size());
        }
        std::string flood(4096, 'X');
        while (!stop_ && end_ != End::close) {
            if (end_ == End::echo) {
                echo_until_closed(fd, stop_);
                break;
            }
            if (end_ == End::flood) {
                flood_header(fd, flood);
                break;
            }
            if (end_ == End::trickle && send(fd, "X", 1, MSG_NOSIGNAL) < 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(end_ == End::trickle ? 40 : 10));
        }
        close(fd);
    }
    // Exactly the client's header limit of bytes that never end the header,
    // then the end of the stream: a client that keeps its limit has given up
    // before it reads the end, one that does not sees the stream end instead.
    void flood_header(int fd, const std::string &chunk) {
        size_t left = PROXY_HTTP_HEADER_MAXN;
        while (!stop_ && left > 0) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = send(fd, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL);
            if (n < 0) return;
            left -= static_cast<size_t>(n);
        }
        shutdown(fd, SHUT_WR);
        // Closed only after the client: unread bytes would turn the close into a reset.
        char byte;
        while (!stop_ && test_recv(fd, &byte, 1, 20) == -2) {
        }
    }

    std::vector<Step> steps_;
    End end_;
    int port_ = 0;
    int listener_;
    std::atomic<bool> stop_{false};
    std::string received_;
    std::thread thread_;
};

std::unique_ptr<sock_cli_conf> proxy_conf(int type, int port, const char *user = "", const char *pwd = "",
                                          uint32_t timeout = 1000) {
    auto conf = std::make_unique<sock_cli_conf>();
    std::memset(conf.get(), 0, sizeof *conf);
    conf->connect_timeout = timeout;
    conf->proxy.type = type;
    std::snprintf(conf->proxy.host, sizeof conf->proxy.host, "127.0.0.1");
    conf->proxy.port = port;
    std::snprintf(conf->proxy.user, sizeof conf->proxy.user, "%s", user);
    std::snprintf(conf->proxy.pwd, sizeof conf->proxy.pwd, "%s", pwd);
    return conf;
}

// A connect through conf whose tunnel carries bytes both ways to the echo server.
void expect_echo(const char *target, int port, sock_cli_conf *conf) {
    verr err{};
    os_socket sock = sock_tcp_connect(target, port, conf, &err);
    ASSERT_NE(sock, OS_SOCKET_NONE) << err.msg;
    EXPECT_TRUE(test_round_trip(os_socket_fd(sock), "ping"));
    os_socket_exit(sock);
}

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out += static_cast<char>(b);
    return out;
}

std::string port_bytes(int port) { return bytes({(port >> 8) & 0xFF, port & 0xFF}); }

// ---- real proxies ---------------------------------------------------------

class TinyproxyPeer : public testing::TestWithParam<bool> {};

TEST_P(TinyproxyPeer, HttpConnectTunnelsToTarget) {
    const char *binary = "/usr/bin/tinyproxy";
    if (access(binary, X_OK) != 0) GTEST_SKIP() << binary << " is not installed";
    PeerTempDir dir;
    EchoServer echo;
    int port = peer_free_port(SOCK_STREAM);
    bool with_auth = GetParam();
    peer_write_file(dir.file("tp.conf"), "Port " + std::to_string(port) +
                                             "\nListen 127.0.0.1\nTimeout 10\nAllow 127.0.0.1\nMaxClients 10\n"
                                             "PidFile \"" + dir.file("tp.pid") + "\"\nLogFile \"" +
                                             dir.file("tp.log") + "\"\n" +
                                             (with_auth ? "BasicAuth alice s3cret\n" : ""));
    PeerProcess proxy;
    ASSERT_TRUE(proxy.start({binary, "-d", "-c", dir.file("tp.conf")}, dir.file("tp.out")));
    ASSERT_TRUE(peer_wait_until([&] { return peer_tcp_accepts(port); })) << peer_read_file(dir.file("tp.out"));
    auto conf = proxy_conf(SOCK_PROXY_HTTP, port, with_auth ? "alice" : "", with_auth ? "s3cret" : "");
    expect_echo("127.0.0.1", echo.port(), conf.get());
    EXPECT_EQ(conf->proxy.type, SOCK_PROXY_HTTP);
    if (with_auth) {
        verr err{};
        auto wrong = proxy_conf(SOCK_PROXY_HTTP, port, "alice", "wrong");
        EXPECT_EQ(sock_tcp_connect("127.0.0.1", echo.port(), wrong.get(), &err), OS_SOCKET_NONE);
        // Tinyproxy answers a wrong login with 401, not 407; the report quotes it.
        EXPECT_EQ(std::string(err.msg), "proxy answered 401 Unauthorized");
    }
}

INSTANTIATE_TEST_SUITE_P(AuthOffOn, TinyproxyPeer, testing::Bool());

TEST(DantePeer, Socks5WithoutAuthenticationToAddressAndName) {
    const char *binary = "/usr/sbin/danted";
    if (access(binary, X_OK) != 0) GTEST_SKIP() << binary << " is not installed";
    PeerTempDir dir;
    EchoServer echo;
    int port = peer_free_port(SOCK_STREAM);
    peer_write_file(dir.file("d.conf"), "logoutput: " + dir.file("d.log") + "\ninternal: 127.0.0.1 port = " +
                                            std::to_string(port) +
                                            "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n" +
                                            // Only root can switch users; otherwise dante stays who it is.
                                            std::string(getuid() == 0 ? "user.privileged: root\nuser.unprivileged: nobody\n" : "") +
                                            "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                            "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n");
    PeerProcess proxy;
    ASSERT_TRUE(proxy.start({binary, "-f", dir.file("d.conf"), "-p", dir.file("d.pid")}, dir.file("d.out")));
    ASSERT_TRUE(peer_wait_until([&] { return peer_tcp_accepts(port); })) << peer_read_file(dir.file("d.out"));
    for (const char *target : {"127.0.0.1", "localhost"}) {
        auto conf = proxy_conf(SOCK_PROXY_SOCKS5, port);
        expect_echo(target, echo.port(), conf.get());
        EXPECT_EQ(conf->proxy.type, SOCK_PROXY_SOCKS5);
    }
}

TEST(MicrosocksPeer, Socks5WithUserAndPassword) {
    const char *binary = "/usr/bin/microsocks";
    if (access(binary, X_OK) != 0) GTEST_SKIP() << binary << " is not installed";
    PeerTempDir dir;
    EchoServer echo;
    int port = peer_free_port(SOCK_STREAM);
    PeerProcess proxy;
    ASSERT_TRUE(proxy.start({binary, "-i", "127.0.0.1", "-p", std::to_string(port), "-u", "bob", "-P", "pw"},
                            dir.file("m.out")));
    ASSERT_TRUE(peer_wait_until([&] { return peer_tcp_accepts(port); }));
    auto conf = proxy_conf(SOCK_PROXY_SOCKS5, port, "bob", "pw");
    expect_echo("127.0.0.1", echo.port(), conf.get());
    verr err{};
    auto wrong = proxy_conf(SOCK_PROXY_SOCKS5, port, "bob", "nope");
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", echo.port(), wrong.get(), &err), OS_SOCKET_NONE);
    EXPECT_STREQ(err.msg, "Proxy password or user name error");
    EXPECT_EQ(err.code, -2);
    // Without credentials the proxy offers nothing acceptable.
    auto none = proxy_conf(SOCK_PROXY_SOCKS5, port);
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", echo.port(), none.get(), &err), OS_SOCKET_NONE);
    EXPECT_STREQ(err.msg, "Proxy read return error");
}

// ---- SOCKS4 / 4a through the test's own server ------------------------------

TEST(Socks4Server, GrantedRequestTunnelsAndCarriesUser) {
    std::string granted = bytes({0x00, 0x5A, 0, 0, 0, 0, 0, 0});
    ScriptedProxy proxy({{9, std::string(1, '\0'), granted}}, End::echo);
    auto conf = proxy_conf(SOCK_PROXY_SOCKS4, proxy.port(), "carol");
    expect_echo("127.0.0.1", 4321, conf.get());
    EXPECT_EQ(proxy.received(), bytes({4, 1}) + port_bytes(4321) + bytes({127, 0, 0, 1}) + "carol" + '\0');
}

// A name goes to the proxy as SOCKS4a, never to the local resolver; an
// address (even the broadcast one) as plain SOCKS4.
TEST(Socks4Server, NameGoesAsSocks4aAndAnAddressAsItIs) {
    std::string granted = bytes({0x00, 0x5A, 0, 0, 0, 0, 0, 0});
    struct {
        const char *target;
        std::vector<Step> steps;
        std::string sent;
    } rows[] = {
        {"localhost", {{9, std::string(1, '\0'), ""}, {1, std::string(1, '\0'), granted}},
         bytes({0, 0, 0, 1, 0}) + "localhost" + '\0'},
        {"no-such-name.invalid", {{9, std::string(1, '\0'), ""}, {1, std::string(1, '\0'), granted}},
         bytes({0, 0, 0, 1, 0}) + "no-such-name.invalid" + '\0'},
        {"255.255.255.255", {{9, std::string(1, '\0'), granted}}, bytes({255, 255, 255, 255, 0})},
    };
    for (const auto &row : rows) {
        ScriptedProxy proxy(row.steps, End::echo);
        auto conf = proxy_conf(SOCK_PROXY_SOCKS4, proxy.port());
        expect_echo(row.target, 80, conf.get());
        EXPECT_EQ(proxy.received(), bytes({4, 1}) + port_bytes(80) + row.sent) << row.target;
    }
}

// ---- failures: message, code, nothing left open, type restored ---------------

struct FailRow {
    std::string name;
    int type;
    const char *target;
    const char *user;
    std::vector<Step> steps;
    End end;
    const char *message;
    int code;
    size_t sent;  // bytes the proxy must have received (SIZE_MAX: not checked)
    uint32_t timeout = 300;
};

std::string http_request_end() { return "\r\n\r\n"; }
std::string s5_ok_method() { return bytes({5, 0}); }
std::string s5_reply(int code) { return bytes({5, code, 0, 1, 127, 0, 0, 1, 0, 80}); }

std::vector<FailRow> fail_rows() {
    std::vector<FailRow> rows = {
        {"Http407", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "HTTP/1.1 407 Proxy Auth\r\n\r\n"}}, End::hold,
         "proxy answered 407 Proxy Auth", -1, SIZE_MAX},
        {"Http503", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "HTTP/1.1 503 Unavailable\r\n\r\n"}}, End::hold,
         "proxy answered 503 Unavailable", -1, SIZE_MAX},
        {"HttpNoStatusLine", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "XXXXXXXXX2XX\r\n\r\n"}}, End::hold,
         "proxy answered with no HTTP status line: [XXXXXXXXX2XX]", -1, SIZE_MAX},
        {"HttpTargetWithLineEnd", SOCK_PROXY_HTTP, "a\r\nX-Injected: 1", "", {}, End::hold, "proxy target contains CR or LF", -1, 0},
        {"Socks5EachStepJustInTime", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", s5_ok_method(), 200}, {10, "", s5_reply(0), 200}},
         End::hold, "proxy handshake took longer than the connect time-out (300 ms)", -1, 13},
        {"HttpStepsJustInTime", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "HTTP/1.1 200 OK\r\n", 200}, {0, "", "", 200}, {0, "", "A: b\r\n\r\n"}},
         End::hold, "proxy handshake took longer than the connect time-out (300 ms)", -1, SIZE_MAX},
        {"HttpShortStatus", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "HTTP/1.1"}}, End::close,
         "proxy recv len error", -1, SIZE_MAX},
        {"HttpSilent", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), ""}}, End::hold,
         "proxy handshake took longer than the connect time-out (300 ms)", -1, SIZE_MAX},
        // Only the header limit may end this one: its time-out is far away.
        {"HttpHeaderNeverEnds", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "HTTP/1.1 200 OK\r\n"}}, End::flood,
         "proxy reply header too long", -1, SIZE_MAX, 600000},
        {"HttpHeaderTrickles", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "HTTP/1.1 200 OK\r\n"}}, End::trickle,
         "proxy handshake took longer than the connect time-out (300 ms)", -1, SIZE_MAX},
        {"HttpClosedInHeader", SOCK_PROXY_HTTP, "127.0.0.1", "", {{1, http_request_end(), "HTTP/1.1 200 OK\r\nX: y\r\n"}}, End::close,
         "proxy read return error", -1, SIZE_MAX},
        {"Socks4Rejected", SOCK_PROXY_SOCKS4, "127.0.0.1", "", {{9, std::string(1, '\0'), bytes({0, 0x5B, 0, 0, 0, 0, 0, 0})}}, End::hold,
         "proxy read return error", -1, SIZE_MAX},
        {"Socks4ShortReply", SOCK_PROXY_SOCKS4, "127.0.0.1", "", {{9, std::string(1, '\0'), bytes({0, 0x5A, 0})}}, End::close,
         "proxy read return error", -1, SIZE_MAX},
        {"Socks4Ipv6Target", SOCK_PROXY_SOCKS4, "::1", "", {}, End::hold, "SOCK4 does not support IPv6", -1, 0},
        {"Socks5MethodRefused", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", bytes({5, 0xFF})}}, End::hold,
         "Proxy read return error", -2, 3},
        {"Socks5UnofferedMethod", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", bytes({5, 2})}}, End::hold,
         "Proxy read return error", -2, 3},
        {"Socks5Garbage", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", "HTTP/1.0 400"}}, End::hold,
         "Proxy read return error", -2, 3},
        {"Socks5AuthRefused", SOCK_PROXY_SOCKS5, "127.0.0.1", "u", {{4, "", bytes({5, 2})}, {5, "", bytes({1, 1})}}, End::hold,
         "Proxy password or user name error", -2, 9},
        {"Socks5ShortReplyHeader", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", s5_ok_method()}, {10, "", bytes({5, 0})}}, End::close,
         "proxy unkown error: 0", -1, 13},
        {"Socks5BadVersionReply", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", s5_ok_method()}, {10, "", bytes({4, 0, 0, 1})}}, End::hold,
         "proxy unkown error: 0", -1, 13},
        {"Socks5UnknownReplyCode", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", s5_ok_method()}, {10, "", s5_reply(9)}}, End::hold,
         "proxy unkown error: 9", -1, 13},
        {"Socks5TruncatedBoundAddress", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", s5_ok_method()}, {10, "", bytes({5, 0, 0, 1, 127})}}, End::close,
         "", -1, 13},
        {"HttpRequestTooLong", SOCK_PROXY_HTTP, "127.0.0.1", "HUGE", {}, End::hold, "proxy request too long", -1, 0},
        {"Socks5UnknownAddressType", SOCK_PROXY_SOCKS5, "127.0.0.1", "", {{3, "", s5_ok_method()}, {10, "", bytes({5, 0, 0, 9, 1, 2})}}, End::hold,
         "Address type not supported!", -1, 13},
        {"Socks5UserTooLong", SOCK_PROXY_SOCKS5, "127.0.0.1", "LONG", {}, End::hold,
         "proxy user or password longer than 255 bytes", -2, 0},
        {"Socks5NameTooLong", SOCK_PROXY_SOCKS5, "LONGNAME", "", {{3, "", s5_ok_method()}}, End::hold,
         "proxy target name longer than 255 bytes", -1, 3},
    };
    static const char *texts[] = {"General SOCKS server failure!",      "Connection not allowed by ruleset!",
                                  "Network unreachable!",               "Host unreachable!",
                                  "Connection refused!",                "TTL (packet time to live) expired!",
                                  "SOCKS Command not supported!",       "Address type not supported!"};
    for (int code = 1; code <= 8; ++code) {
        rows.push_back({"Socks5Reply" + std::to_string(code), SOCK_PROXY_SOCKS5, "127.0.0.1", "",
                        {{3, "", s5_ok_method()}, {10, "", s5_reply(code)}}, End::hold, texts[code - 1], -1, 13});
    }
    return rows;
}

class ProxyFailure : public testing::TestWithParam<FailRow> {};

TEST_P(ProxyFailure, ReportsClosesAndRestoresType) {
    const FailRow &row = GetParam();
    std::string long_text(256, 'u');
    size_t fds_before = test_open_fds();
    {
        ScriptedProxy proxy(row.steps, row.end);
        std::string huge_text(4000, 'h');
        const char *user = std::strcmp(row.user, "LONG") == 0   ? long_text.c_str()
                           : std::strcmp(row.user, "HUGE") == 0 ? huge_text.c_str()
                                                                : row.user;
        auto conf = proxy_conf(row.type, proxy.port(), user, "p", row.timeout);
        const char *target = std::strcmp(row.target, "LONGNAME") == 0 ? long_text.c_str() : row.target;
        verr err{};
        EXPECT_EQ(sock_tcp_connect(target, 80, conf.get(), &err), OS_SOCKET_NONE);
        EXPECT_STREQ(err.msg, row.message);
        EXPECT_EQ(err.code, row.code);
        EXPECT_EQ(conf->proxy.type, row.type);
        std::string received = proxy.received();
        if (row.sent != SIZE_MAX) {
            EXPECT_EQ(received.size(), row.sent);
        }
    }
    EXPECT_EQ(test_open_fds(), fds_before);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProxyFailure, testing::ValuesIn(fail_rows()),
                         [](const testing::TestParamInfo<FailRow> &info) { return info.param.name; });

TEST(ProxyConnect, Socks5RequestSizesForAddressAndName) {
    for (const char *target : {"127.0.0.1", "echo.example"}) {
        bool is_name = target[0] == 'e';
        size_t request = is_name ? 7 + std::strlen(target) : 10;
        ScriptedProxy proxy({{3, "", s5_ok_method()}, {request, "", s5_reply(0)}}, End::echo);
        auto conf = proxy_conf(SOCK_PROXY_SOCKS5, proxy.port());
        expect_echo(target, 7777, conf.get());
        std::string expected = bytes({5, 1, 0, 5, 1, 0});
        expected += is_name ? bytes({3, static_cast<int>(std::strlen(target))}) + target : bytes({1, 127, 0, 0, 1});
        EXPECT_EQ(proxy.received(), expected + port_bytes(7777));
    }
}

TEST(ProxyConnect, HttpHeaderIsConsumedUpToTheEmptyLineOnly) {
    ScriptedProxy proxy({{1, http_request_end(), "HTTP/1.1 200 OK\r\nA: b\r\n\rC: \r\n\r\nping"}}, End::hold);
    auto conf = proxy_conf(SOCK_PROXY_HTTP, proxy.port(), "alice", "s3cret");
    verr err{};
    os_socket sock = sock_tcp_connect("::1", 8080, conf.get(), &err);
    ASSERT_NE(sock, OS_SOCKET_NONE) << err.msg;
    char buf[4] = {};
    EXPECT_EQ(test_recv(os_socket_fd(sock), buf, 4, 5000), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    os_socket_exit(sock);
    EXPECT_EQ(proxy.received(), "CONNECT [::1]:8080 HTTP/1.1\r\nHost: [::1]:8080\r\n"
                                "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n");
}

// The handshake never switches the shared configuration to a direct
// connect: a second thread that connects meanwhile still goes to the proxy.
TEST(ProxyConnect, ConcurrentSharedConfigurationNeverGoesDirect) {
    int target_port = 0;
    int target = listen_loopback(&target_port, 8);
    ASSERT_GE(target, 0);
    ScriptedProxy proxy({{1, http_request_end(), "HTTP/1.1 200 OK\r\n\r\n", 600}}, End::hold);
    auto conf = proxy_conf(SOCK_PROXY_HTTP, proxy.port(), "", "", 2000);
    std::atomic<bool> done{false};
    std::thread first([&] {
        verr err{};
        os_socket sock = sock_tcp_connect("127.0.0.1", target_port, conf.get(), &err);
        if (sock != OS_SOCKET_NONE) os_socket_exit(sock);
        done.store(true, std::memory_order_relaxed);
    });
    // Connects while the first is inside its handshake.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    while (!done.load(std::memory_order_relaxed)) {
        verr err{};
        os_socket sock = sock_tcp_connect("127.0.0.1", target_port, conf.get(), &err);
        if (sock != OS_SOCKET_NONE) os_socket_exit(sock);
        pollfd p{target, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "a connect reached the target directly";
    }
    first.join();
    close(target);
}

TEST(ProxyConnect, UnknownTypeAndDeadProxyFailWithTypeKept) {
    {
        ScriptedProxy proxy({}, End::hold);
        auto conf = proxy_conf(9, proxy.port());
        verr err{};
        EXPECT_EQ(sock_tcp_connect("127.0.0.1", 80, conf.get(), &err), OS_SOCKET_NONE);
        EXPECT_STREQ(err.msg, "Unsupported proxy type=9");
        EXPECT_EQ(conf->proxy.type, 9);
    }
    auto conf = proxy_conf(SOCK_PROXY_HTTP, test_dead_port());
    verr err{};
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", 80, conf.get(), &err), OS_SOCKET_NONE);
    EXPECT_EQ(err.code, ECONNREFUSED);
    EXPECT_EQ(conf->proxy.type, SOCK_PROXY_HTTP);
}

}  // namespace
