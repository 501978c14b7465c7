// Peer uid of a loopback TCP connection through NETLINK_SOCK_DIAG (of a
// local socket through its credentials): the peer's
// socket is the one whose source is our destination and whose destination is
// our source, and the kernel reports its owner.
#include "libpal/os/os_peer.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t NAME_BUF_SIZE = 16384;
constexpr int DIAG_TIMEOUT_S = 2;

struct diag_request {
    nlmsghdr head;
    inet_diag_req_v2 req;
};

// One diag socket per thread, kept for its next query: opening one per query
// cost three of the dozen system calls of a web console request. Answers
// carry the query's sequence number, so a late answer to a query that timed
// out is never taken for the next one's.
struct diag_socket {
    int fd = -1;
    uint32_t seq = 0;
    ~diag_socket() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    bool open() {
        if (fd >= 0) return true;
        fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (fd < 0) return false;
        timeval tv{DIAG_TIMEOUT_S, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return true;
    }
};
thread_local diag_socket t_diag;

// Copies an address of the family into the diag id's 16-byte field.
void put_addr(const sockaddr_storage &ss, __be32 out[4], __be16 *port) {
    if (ss.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(ss);
        std::memcpy(out, &in.sin_addr, 4);
        *port = in.sin_port;
    } else {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(ss);
        std::memcpy(out, &in6.sin6_addr, 16);
        *port = in6.sin6_port;
    }
}

// A dual-stack listener sees an IPv4 client as ::ffff:a.b.c.d, while the
// client's own socket is IPv4: asked as IPv6 the kernel would find nothing.
void unmap_v4(sockaddr_storage *ss) {
    if (ss->ss_family != AF_INET6) return;
    auto in6 = reinterpret_cast<sockaddr_in6 &>(*ss);
    if (!IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) return;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = in6.sin6_port;
    std::memcpy(&in.sin_addr, in6.sin6_addr.s6_addr + 12, 4);
    *ss = sockaddr_storage{};
    std::memcpy(ss, &in, sizeof in);
}

// An address given by the caller, else the socket's own (name: getsockname
// or getpeername); false when neither is known.
bool sock_addr(int fd, const os_ipaddr *given, int (*name)(int, sockaddr *, socklen_t *), sockaddr_storage *out) {
    *out = sockaddr_storage{};
    if (given && !os_ipaddr_is_empty(given)) return os_sockaddr_load(reinterpret_cast<sockaddr *>(out), given) > 0;
    socklen_t len = sizeof *out;
    return name(fd, reinterpret_cast<sockaddr *>(out), &len) == 0;
}

}  // namespace

bool os_random_bytes(void *buf, size_t len) {
    auto *out = static_cast<unsigned char *>(buf);
    while (len > 0) {
        ssize_t got = getrandom(out, len, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += got;
        len -= static_cast<size_t>(got);
    }
    return true;
}

bool os_socket_peer_uid(os_socket sock, uint32_t *uid) { return os_socket_peer_uid_of(sock, nullptr, nullptr, uid); }

bool os_socket_peer_uid_of(os_socket sock, const os_ipaddr *local_addr, const os_ipaddr *peer_addr, uint32_t *uid) {
    if (!uid) return false;
    int fd = os_socket_fd(sock);
    sockaddr_storage local, peer;
    if (!sock_addr(fd, local_addr, getsockname, &local)) return false;
    // A local socket carries its peer's credentials itself.
    if (local.ss_family == AF_UNIX) {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
        *uid = static_cast<uint32_t>(cred.uid);
        return true;
    }
    if (!sock_addr(fd, peer_addr, getpeername, &peer)) return false;
    unmap_v4(&local);
    unmap_v4(&peer);
    if (local.ss_family != peer.ss_family || (local.ss_family != AF_INET && local.ss_family != AF_INET6)) return false;
    if (!t_diag.open()) return false;
    diag_request msg{};
    msg.head.nlmsg_len = sizeof msg;
    msg.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.head.nlmsg_flags = NLM_F_REQUEST;
    msg.head.nlmsg_seq = ++t_diag.seq;
    msg.req.sdiag_family = static_cast<__u8>(local.ss_family);
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0U;
    // The peer's socket: its source is our peer address, its destination us.
    put_addr(peer, msg.req.id.idiag_src, &msg.req.id.idiag_sport);
    put_addr(local, msg.req.id.idiag_dst, &msg.req.id.idiag_dport);
    msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(t_diag.fd, &msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0) {
        t_diag.reset();
        return false;
    }
    alignas(nlmsghdr) char buf[8192];
    for (;;) {
        ssize_t got = recv(t_diag.fd, buf, sizeof buf, 0);
        if (got <= 0) {
            // Nothing in time: a fresh socket next time, without this query's late answer.
            t_diag.reset();
            return false;
        }
        for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, static_cast<unsigned>(got)); h = NLMSG_NEXT(h, got)) {
            if (h->nlmsg_seq != msg.head.nlmsg_seq) continue;  // an earlier query's
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) return false;  // NLMSG_ERROR: no such socket
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return false;
            const auto *answer = static_cast<const inet_diag_msg *>(NLMSG_DATA(h));
            *uid = answer->idiag_uid;
            return true;
        }
    }
}

uint32_t os_process_uid() { return static_cast<uint32_t>(getuid()); }

bool os_user_uid(const char *name, uint32_t *uid) {
    if (!name || !*name || !uid) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(name, &end, 10);
    if (*end == 0 && errno == 0 && name[0] != '-' && number <= 0xFFFFFFFFUL) {
        *uid = static_cast<uint32_t>(number);
        return true;
    }
    passwd entry{}, *found = nullptr;
    std::vector<char> text(NAME_BUF_SIZE);
    if (getpwnam_r(name, &entry, text.data(), text.size(), &found) != 0 || !found) return false;
    *uid = static_cast<uint32_t>(found->pw_uid);
    return true;
}
