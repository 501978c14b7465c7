#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "libnet/net_sock.h"
#include "libnet/sock_event_loop.h"
#include "libnet/sock_thread_server.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/env/thread_name.h"
#include "net_test_util.h"

namespace {

constexpr size_t kRecordSize = 168;

struct line_ctx {
    sock_ctx head;
    net_sock ns;
};
static_assert(sizeof(line_ctx) <= kRecordSize);

std::mutex g_names_lock;
std::vector<std::string> g_names;

// Answers one line, then ends the connection.
uint32_t echo_line_conn(void *arg) {
    auto *ctx = static_cast<line_ctx *>(arg);
    char name[OS_THREAD_NAME_MAXN];
    os_thread_name_get(name);
    {
        std::lock_guard guard(g_names_lock);
        g_names.emplace_back(name);
    }
    net_sock_init_socket(&ctx->ns, ctx->head.sock, 10000);
    char line[NET_GETS_MAXN];
    int n = net_gets(&ctx->ns, line);
    if (n > 0) net_printf(&ctx->ns, "echo:%s\n", line);
    net_close(&ctx->ns);
    return 0;
}

// Runs until the server asks it to stop.
uint32_t wait_for_stop_conn(void *arg) {
    auto *ctx = static_cast<sock_ctx *>(arg);
    while (ctx->state.load() != SOCK_CTX_STATE_STOP) test_wait_until([] { return false; }, 10);
    os_socket_exit(ctx->sock);
    return 0;
}

int feed_ctx(os_socket sock, const os_ipaddr *, void *arg) {
    return sock_tcp_ctx_open(static_cast<sock_ctx_srv *>(arg), sock);
}

}  // namespace

TEST_F(SockLoopTest, ContextThreadIsNamedAfterServerAndReleasesItsRecord) {
    sock_ctx_srv *ctx_srv = sock_tcp_ctx_init("line_srv", kRecordSize, echo_line_conn);
    ASSERT_NE(ctx_srv, nullptr);
    serve("feed", feed_ctx, ctx_srv, 5);
    {
        std::lock_guard guard(g_names_lock);
        g_names.clear();
    }
    for (int round = 0; round < 3; ++round) {
        int fd = client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(test_send_all(fd, "hi\r\n", 4));
        EXPECT_EQ(test_recv_n(fd, 8), "echo:hi\n");
        EXPECT_TRUE(test_wait_closed(fd, 15000));
        close(fd);
    }
    // Finished connections give their records back at once.
    EXPECT_TRUE(test_wait_until([&] { return sock_tcp_ctx_count(ctx_srv) == 0; }));
    {
        std::lock_guard guard(g_names_lock);
        ASSERT_EQ(g_names.size(), 3u);
        for (const std::string &name : g_names) EXPECT_EQ(name.rfind("line_srv_", 0), 0u) << name;
    }
    stop_server();
    sock_tcp_ctx_exit(ctx_srv);
}

TEST_F(SockLoopTest, ContextExitStopsEveryRunningConnection) {
    sock_ctx_srv *ctx_srv = sock_tcp_ctx_init("hold_srv", kRecordSize, wait_for_stop_conn);
    ASSERT_NE(ctx_srv, nullptr);
    serve("feed", feed_ctx, ctx_srv, 5);
    int fds[3];
    for (int &fd : fds) {
        fd = client();
        ASSERT_GE(fd, 0);
    }
    ASSERT_TRUE(test_wait_until([&] { return sock_tcp_ctx_count(ctx_srv) == 3; }));
    stop_server();
    sock_tcp_ctx_exit(ctx_srv);
    for (int fd : fds) {
        EXPECT_TRUE(test_wait_closed(fd, 15000));
        close(fd);
    }
}

TEST(SockTcpCtx, RecordSizeBelowHeaderIsRefused) {
    EXPECT_EQ(sock_tcp_ctx_init("tiny", 4, wait_for_stop_conn), nullptr);
}
