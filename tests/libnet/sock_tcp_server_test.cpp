#include <unistd.h>

#include <string>

#include "libnet/sock_event_loop.h"
#include "libnet/sock_event.h"
#include "libnet/sock_tcp_server.h"
#include "net_test_util.h"

namespace {

int local_port(os_socket sock) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    if (!os_socket_local(sock, &addr)) return -1;
    return os_ipaddr_port(&addr);
}

int close_at_once(os_socket sock, const os_ipaddr *, void *) {
    os_socket_exit(sock);
    return 0;
}

}  // namespace

// Both listeners sit on the bound port and each accepts.
void expect_both_families_on_bound_port(sock_srv *srv, const sock_srv_conf &conf) {
    EXPECT_EQ(local_port(srv->socks[0]), static_cast<int>(conf.bound_port));
    EXPECT_EQ(local_port(srv->socks[1]), static_cast<int>(conf.bound_port));
    for (const char *ip : {"127.0.0.1", "::1"}) {
        int fd = test_tcp_connect(ip, static_cast<int>(conf.bound_port));
        ASSERT_GE(fd, 0) << ip;
        EXPECT_TRUE(test_wait_closed(fd, 15000)) << ip;
        close(fd);
    }
}

// An address list with port 0, and no address at all (the wildcards of both
// families): both listeners share one chosen port.
TEST_F(SockLoopTest, ListenersOfBothFamiliesShareOneChosenPort) {
    for (const char *list : {"127.0.0.1;::1", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(list ? list : "wildcard");
        sock_srv_conf conf{};
        conf.name = "pair";
        conf.backlog = 4;
        conf.accept_proc = close_at_once;
        sock_srv *srv = sock_server_init_imp(list, 0, &conf);
        ASSERT_NE(srv, nullptr);
        ASSERT_EQ(srv->count, 2u);
        EXPECT_NE(conf.bound_port, 0u);
        expect_both_families_on_bound_port(srv, conf);
        sock_tcp_server_exit(srv);
    }
}

// A list whose entries all fail still gives a record; empty fields are
// skipped and an over-long one ends the list.
TEST_F(SockLoopTest, AddressListFieldsThatFailOrAreEmpty) {
    const struct {
        std::string list;
        size_t listeners;
    } rows[] = {{"not-an-address,999.1.1.1", 0}, {";,127.0.0.1;;" + std::string(600, '1') + ";::1", 1}};
    for (const auto &row : rows) {
        sock_srv_conf conf{};
        conf.name = "fields";
        sock_srv *srv = sock_server_init_imp(row.list.c_str(), 0, &conf);
        ASSERT_NE(srv, nullptr) << row.list;
        EXPECT_EQ(srv->count, row.listeners) << row.list;
        EXPECT_EQ(srv->type, SOCKET_TYPE_SERVER);
        sock_tcp_server_exit(srv);
    }
}

TEST_F(SockLoopTest, ServerExitClosesItsListeners) {
    sock_srv_conf conf{};
    conf.name = "gone";
    sock_srv *srv = sock_server_init_imp("127.0.0.1", 0, &conf);
    ASSERT_NE(srv, nullptr);
    int port = static_cast<int>(conf.bound_port);
    sock_tcp_server_exit(srv);
    EXPECT_LT(test_tcp_connect("127.0.0.1", port), 0);
}

TEST(SockTcpBind, BadAddressTextGivesNoSocket) {
    sock_srv_conf conf{};
    EXPECT_EQ(sock_tcp_bind("300.1.1.1", 0, &conf), OS_SOCKET_NONE);
    EXPECT_EQ(conf.bound_port, 0u);
}
