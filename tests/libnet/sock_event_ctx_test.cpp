// Event contexts of a host service: the closed procedure runs once whoever
// closes, write interest comes and goes, the loop holds far more than the
// select limit, and a full poller refuses with a counted warning.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libnet/sock_event_loop.h"
#include "libnet/sock_event.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/str_log_capture.h"
#include "net_test_util.h"

namespace {

// What one connection of the host saw.
struct host_conn {
    std::atomic<sock_event_ctx *> ctx{nullptr};
    std::atomic<int> closed{0};
    std::atomic<int> reason{0};
    std::atomic<int> writable{0};
};

std::atomic<host_conn *> g_next{nullptr};  // the record the next accepted connection gets
host_conn g_shared;                          // the record when no test names one

// Echoes; "c" closes from inside, "w" asks for write interest.
int host_readable(sock_event_ctx *ctx, uint32_t, void *) {
    char buf[4096];
    for (;;) {
        const int n = sock_event_recv(ctx, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) return -1;  // peer closed or error
        if (buf[0] == 'c') {
            sock_event_close(ctx);
            return -1;  // a second close from the same procedure: still one closed call
        }
        if (buf[0] == 'w') {
            sock_event_write_interest(ctx, true);
            continue;
        }
        if (os_socket_send(sock_event_socket(ctx), buf, static_cast<size_t>(n)) != n) return -1;
    }
}

// One 'W' per call, then interest off: one call per request.
int host_writable(sock_event_ctx *ctx, void *host) {
    static_cast<host_conn *>(host)->writable.fetch_add(1);
    if (os_socket_send(sock_event_socket(ctx), "W", 1) != 1) return -1;
    return sock_event_write_interest(ctx, false);
}

void host_closed(sock_event_ctx *ctx, void *host, int reason) {
    auto *conn = static_cast<host_conn *>(host);
    EXPECT_NE(sock_event_socket(ctx), OS_SOCKET_NONE);  // still open here
    conn->reason.store(reason);
    conn->closed.fetch_add(1);
    conn->ctx.store(nullptr);
}

const sock_event_procs kHostProcs = {host_readable, host_writable, host_closed};

int accept_host(os_socket sock, const os_ipaddr *, void *arg) {
    host_conn *conn = g_next.load() ? g_next.load() : &g_shared;
    sock_event_ctx *ctx = sock_event_open(sock, &kHostProcs, conn, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)));
    if (ctx) conn->ctx.store(ctx);
    return ctx ? 0 : -1;
}

void *flags_arg(uint32_t flags) { return reinterpret_cast<void *>(static_cast<uintptr_t>(flags)); }

enum class closer { peer, idle, stop, host_thread, host_inside };

}  // namespace

TEST_F(SockLoopTest, ClosedProcedureRunsExactlyOnceForEveryCloser) {
    const struct {
        closer who;
        int reason;
    } rows[] = {
        {closer::peer, SOCK_EVENT_CLOSED_PROC},        {closer::idle, SOCK_EVENT_CLOSED_IDLE},
        {closer::host_thread, SOCK_EVENT_CLOSED_HOST}, {closer::host_inside, SOCK_EVENT_CLOSED_HOST},
        {closer::stop, SOCK_EVENT_CLOSED_STOP},  // last: it takes the loop down
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.who));
        host_conn conn;
        g_next = &conn;
        sock_env_idle_timeout_set(row.who == closer::idle ? 200 : 0);
        serve("host", accept_host);
        const int fd = client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(test_round_trip(fd, "hello"));
        ASSERT_NE(conn.ctx.load(), nullptr);
        switch (row.who) {
        case closer::peer: shutdown(fd, SHUT_WR); break;
        case closer::idle: break;
        case closer::stop: sock_env_exit(); break;
        case closer::host_thread: sock_event_close(conn.ctx.load()); break;
        case closer::host_inside: ASSERT_TRUE(test_send_all(fd, "c", 1)); break;
        }
        EXPECT_TRUE(test_wait_closed(fd, 15000));
        EXPECT_TRUE(test_wait_until([&] { return conn.closed.load() > 0; }));
        EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));
        if (row.who != closer::stop) {
            EXPECT_TRUE(test_wait_loop_passes(2));
        }
        EXPECT_EQ(conn.closed.load(), 1);
        EXPECT_EQ(conn.reason.load(), row.reason);
        close(fd);
        stop_server();
        g_next = nullptr;
    }
    sock_env_idle_timeout_set(0);
}

TEST_F(SockLoopTest, WriteInterestIsAskedWhileOutputWaitsAndDroppedAfter) {
    host_conn conn;
    g_next = &conn;
    serve("host", accept_host);
    const int fd = client();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test_round_trip(fd, "x"));
    char got = 0;
    // On the loop thread (inside readable), then from this thread.
    for (int round = 1; round <= 2; round++) {
        if (round == 1) {
            ASSERT_TRUE(test_send_all(fd, "w", 1));
        } else {
            ASSERT_EQ(sock_event_write_interest(conn.ctx.load(), true), 0);
        }
        ASSERT_EQ(test_recv(fd, &got, 1, 10000), 1);
        EXPECT_EQ(got, 'W');
        // A writable socket with the interest still on would be called every pass.
        ASSERT_TRUE(test_wait_loop_passes(3));
        EXPECT_EQ(conn.writable.load(), round);
    }
    EXPECT_EQ(test_recv(fd, &got, 1, 0), -2);  // nothing more came
    close(fd);
    EXPECT_TRUE(test_wait_until([&] { return conn.closed.load() == 1; }));
    g_next = nullptr;
}

// Far beyond the 64 objects of the select back end: every connection is
// held at once and echoes, and all of it goes away again.
TEST_F(SockLoopTest, StressThousandConnectionsOnTheEpollLoop) {
    ASSERT_STREQ(os_poller_backend_name(sock_env_poller()), "epoll");
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    // Two descriptors a connection (both ends live here), plus room for the rest.
    const rlim_t wanted = 2 * 1000 + 200;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    const int clients = static_cast<int>(std::min<rlim_t>(1000, (limit.rlim_cur - 200) / 2));
    ASSERT_GT(clients, 200) << "descriptor hard limit " << limit.rlim_max;
    const size_t fds_before = test_open_fds();
    serve("host", accept_host, flags_arg(SOCK_EVENT_EDGE), 1024);
    std::vector<int> fds;
    for (int i = 0; i < clients; i++) {
        const int fd = client();
        ASSERT_GE(fd, 0) << i;
        fds.push_back(fd);
    }
    EXPECT_TRUE(test_wait_until([&] { return sock_event_count() == static_cast<size_t>(clients); }));
    for (int i = 0; i < clients; i++) {
        const std::string msg = "line " + std::to_string(i) + "\n";
        ASSERT_TRUE(test_round_trip(fds[static_cast<size_t>(i)], msg)) << i;
    }
    EXPECT_EQ(sock_event_count(), static_cast<size_t>(clients));
    for (int fd : fds) close(fd);
    EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }, 30000));
    stop_server();
    EXPECT_TRUE(test_wait_until([&] { return test_open_fds() == fds_before; }));
    setrlimit(RLIMIT_NOFILE, &saved);
}

namespace {

// The loop on the select back end, whose 64 objects are quickly used up.
class SockSelectLoopTest : public SockLoopTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(os_poller_backend_set("select"));
        SockLoopTest::SetUp();
    }
    void TearDown() override {
        SockLoopTest::TearDown();
        os_poller_backend_set("epoll");
    }
};

}  // namespace

// A full poller refuses a connection with a warning that carries the count,
// said once and then only counted; a listener is refused without ending the process.
TEST_F(SockSelectLoopTest, FullPollerRefusesWithACountedWarning) {
    ASSERT_STREQ(os_poller_backend_name(sock_env_poller()), "select");
    serve("host", accept_host, nullptr, 128);
    // Wake socket and listener are two of the 64 objects.
    constexpr int kFit = 62;
    std::vector<int> fds;
    for (int i = 0; i < kFit; i++) {
        fds.push_back(client());
        ASSERT_GE(fds.back(), 0);
    }
    ASSERT_TRUE(test_wait_until([] { return sock_event_count() == kFit; }));
    const uint64_t refused_before = sock_event_refused_count();
    std::string log;
    {
        str_log_capture capture;
        for (int i = 0; i < 2; i++) {
            const int fd = client();
            ASSERT_GE(fd, 0);
            EXPECT_TRUE(test_wait_closed(fd, 15000));
            close(fd);
        }
        EXPECT_TRUE(test_wait_until([&] { return sock_event_refused_count() == refused_before + 2; }));
        sock_srv_conf conf{};
        conf.name = "late";
        sock_srv *late = sock_server_init_imp("127.0.0.1", 0, &conf);
        ASSERT_NE(late, nullptr);
        EXPECT_EQ(late->count, 0u);
        sock_tcp_server_exit(late);
        log = capture.take();
    }
    if (str_log_visible()) {
        const std::string warning = "connection refused: the poller is full (64 objects on the select poller); ";
        EXPECT_NE(log.find(warning), std::string::npos) << log;
        // Said once within the minute, not once per connection.
        EXPECT_EQ(log.find(warning, log.find(warning) + 1), std::string::npos) << log;
        EXPECT_NE(log.find("late listener refused (64 objects on the select poller)"), std::string::npos) << log;
    }
    // Everything already held keeps working.
    EXPECT_TRUE(test_round_trip(fds[0], "still"));
    for (int fd : fds) close(fd);
    EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));
}

// With every descriptor in use, a listener takes the connection off its
// queue and closes it (counted) instead of staying readable for ever.
TEST_F(SockLoopTest, ListenerOutOfDescriptorsClosesAndCountsTheConnection) {
    serve("host", accept_host);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(peer, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(peer) + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(peer)) >= 0;) fillers.push_back(fd);
    const uint64_t refused_before = sock_event_refused_count();
    {
        // No log capture here: it needs descriptors of its own.
        const bool connected = connect(peer, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        const bool closed = connected && test_wait_closed(peer, 10000);
        for (int fd : fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_TRUE(connected);
        EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(test_wait_until([&] { return sock_event_refused_count() == refused_before + 1; }));
    // Once descriptors are back, connections are taken again.
    const int fd = client();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(test_round_trip(fd, "back"));
    close(fd);
    close(peer);
}
