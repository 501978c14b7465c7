// The owner of the other end of a loopback connection, over IPv4, IPv6 and
// a dual-stack listener, and user names to uids.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "libpal/os/os_peer.h"
#include "libpal/os/os_socket.h"

namespace {

// A connected pair through a listener of the family at the address; the
// accepted end in *server, -1s when the family is not available.
void loopback_pair(int family, const char *listen_at, const char *connect_to, int *client, int *server) {
    *client = *server = -1;
    int listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto &a = reinterpret_cast<sockaddr_in &>(ss);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, listen_at, &a.sin_addr);
        len = sizeof a;
    } else {
        auto &a = reinterpret_cast<sockaddr_in6 &>(ss);
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, listen_at, &a.sin6_addr);
        len = sizeof a;
    }
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(listener, 1) != 0) {
        if (listener >= 0) close(listener);
        return;
    }
    getsockname(listener, reinterpret_cast<sockaddr *>(&ss), &len);
    uint16_t port = family == AF_INET ? reinterpret_cast<sockaddr_in &>(ss).sin_port : reinterpret_cast<sockaddr_in6 &>(ss).sin6_port;
    bool v4 = std::strchr(connect_to, ':') == nullptr;
    *client = socket(v4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage to{};
    if (v4) {
        auto &a = reinterpret_cast<sockaddr_in &>(to);
        a.sin_family = AF_INET;
        a.sin_port = port;
        inet_pton(AF_INET, connect_to, &a.sin_addr);
    } else {
        auto &a = reinterpret_cast<sockaddr_in6 &>(to);
        a.sin6_family = AF_INET6;
        a.sin6_port = port;
        inet_pton(AF_INET6, connect_to, &a.sin6_addr);
    }
    if (connect(*client, reinterpret_cast<sockaddr *>(&to), v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)) == 0)
        *server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
}

TEST(OsPeer, UidOfTheLoopbackPeerOverEachFamily) {
    struct {
        int family;
        const char *listen_at, *connect_to;
    } rows[] = {{AF_INET, "127.0.0.1", "127.0.0.1"}, {AF_INET6, "::1", "::1"}, {AF_INET6, "::", "127.0.0.1"}};
    for (const auto &row : rows) {
        int client, server;
        loopback_pair(row.family, row.listen_at, row.connect_to, &client, &server);
        if (server < 0) {
            if (client >= 0) close(client);
            continue;  // no IPv6 on this machine
        }
        uint32_t uid = 12345;
        EXPECT_TRUE(os_socket_peer_uid(static_cast<os_socket>(server + 1), &uid)) << row.connect_to;
        EXPECT_EQ(uid, static_cast<uint32_t>(geteuid())) << row.connect_to;
        // The addresses a server knows from the accept stand for the socket's own;
        // a peer port that no socket has then finds no owner.
        os_socket sock = static_cast<os_socket>(server + 1);
        os_ipaddr local{}, peer{};
        ASSERT_TRUE(os_socket_local(sock, &local) && os_socket_peer(sock, &peer));
        uid = 12345;
        EXPECT_TRUE(os_socket_peer_uid_of(sock, &local, &peer, &uid)) << row.connect_to;
        EXPECT_EQ(uid, static_cast<uint32_t>(geteuid())) << row.connect_to;
        os_ipaddr_port_set(&peer, static_cast<uint16_t>(os_ipaddr_port(&peer) ^ 1));
        EXPECT_FALSE(os_socket_peer_uid_of(sock, &local, &peer, &uid)) << row.connect_to;
        close(client);
        close(server);
    }
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    uint32_t uid = 12345;
    EXPECT_TRUE(os_socket_peer_uid(static_cast<os_socket>(pair[0] + 1), &uid));
    EXPECT_EQ(uid, static_cast<uint32_t>(geteuid()));
    close(pair[0]);
    close(pair[1]);
}

TEST(OsPeer, UserNamesAndUidsAndRandomBytes) {
    struct {
        const char *name;
        bool known;
        uint32_t uid;
    } rows[] = {{"root", true, 0}, {"0", true, 0}, {"65534", true, 65534}, {"nobody", true, 65534},
                {"no-such-user-x", false, 0}, {"", false, 0}, {"-1", false, 0}, {"12x", false, 0}};
    for (const auto &row : rows) {
        uint32_t uid = 777;
        EXPECT_EQ(os_user_uid(row.name, &uid), row.known) << row.name;
        if (row.known) {
            EXPECT_EQ(uid, row.uid) << row.name;
        }
    }
    unsigned char a[16] = {}, b[16] = {};
    ASSERT_TRUE(os_random_bytes(a, sizeof a));
    ASSERT_TRUE(os_random_bytes(b, sizeof b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

}  // namespace
