// A fault in one connection thread of a context server ends that connection
// only; its neighbours go on.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "libnet/net_sock.h"
#include "libnet/sock_thread_server.h"
#include "libpal/os/os_panic.h"
#include "net_test_util.h"

namespace {

struct fault_ctx {
    sock_ctx head;
    net_sock ns;
};

// Echoes lines until "crash", which faults in the middle of the connection.
uint32_t fault_or_echo_conn(void *arg) {
    auto *ctx = static_cast<fault_ctx *>(arg);
    net_sock_init_socket(&ctx->ns, ctx->head.sock, 10000);
    char line[NET_GETS_MAXN];
    while (net_gets(&ctx->ns, line) > 0) {
        if (std::strncmp(line, "crash", 5) == 0) {
            volatile int *volatile target = nullptr;
            *target = 1;
        }
        net_printf(&ctx->ns, "echo:%s\n", line);
    }
    net_close(&ctx->ns);
    return 0;
}

std::string ask(int fd, const std::string &line) {
    if (!test_send_all(fd, line.data(), line.size())) return "<send failed>";
    char buf[256];
    int n = test_recv(fd, buf, sizeof buf, 10000);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "<no reply " + std::to_string(n) + ">";
}

TEST(SockTcpCtxFault, HandledFaultEndsOnlyItsOwnConnection) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer keeps the fault signals; crash handling is off there";
#endif
    ASSERT_EQ(os_panic_install(nullptr), 0);
    sock_ctx_srv *srv = sock_tcp_ctx_init("fault_srv", 168, fault_or_echo_conn);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(srv->except_opt.handle, 1);
    int doomed[2], healthy[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, doomed), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, healthy), 0);
    ASSERT_EQ(sock_tcp_ctx_open(srv, os_socket_from_fd(doomed[1])), 0);
    ASSERT_EQ(sock_tcp_ctx_open(srv, os_socket_from_fd(healthy[1])), 0);

    EXPECT_EQ(ask(doomed[0], "one\n"), "echo:one\n");
    ASSERT_TRUE(test_send_all(doomed[0], "crash\n", 6));
    // The abandoned connection is closed for it, so its peer sees the end.
    EXPECT_TRUE(test_wait_closed(doomed[0], 10000));
    EXPECT_EQ(ask(healthy[0], "two\n"), "echo:two\n");
    EXPECT_EQ(ask(healthy[0], "three\n"), "echo:three\n");

    close(healthy[0]);
    EXPECT_TRUE(sock_tcp_ctx_exit(srv));
    close(doomed[0]);
}

}  // namespace
