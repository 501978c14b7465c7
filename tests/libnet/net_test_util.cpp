#include "net_test_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "integration/peer_process.h"
#include "libnet/sock_event.h"
#include "libnet/sock_event_loop.h"
#include "libpal/os/os_socket.h"

std::atomic<uint64_t> g_test_loop_passes{0};

namespace {

int make_addr(const char *ip, int port, sockaddr_storage *ss, socklen_t *len) {
    memset(ss, 0, sizeof *ss);
    auto *v4 = reinterpret_cast<sockaddr_in *>(ss);
    if (inet_pton(AF_INET, ip, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        *len = sizeof *v4;
        return AF_INET;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(ss);
    if (inet_pton(AF_INET6, ip, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        *len = sizeof *v6;
        return AF_INET6;
    }
    return -1;
}

void count_pass(void *) { g_test_loop_passes.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

int test_tcp_connect(const char *ip, int port) {
    sockaddr_storage ss;
    socklen_t len;
    int family = make_addr(ip, port, &ss, &len);
    if (family < 0) return -1;
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int test_tcp_connect_nowait(const char *ip, int port) {
    sockaddr_storage ss;
    socklen_t len;
    int family = make_addr(ip, port, &ss, &len);
    if (family < 0) return -1;
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

int test_recv(int fd, void *buf, size_t len, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    int r = poll(&pfd, 1, ms);
    if (r == 0) return -2;
    if (r < 0) return -1;
    ssize_t n = recv(fd, buf, len, MSG_DONTWAIT);
    if (n < 0) return (errno == EAGAIN) ? -2 : -1;
    return static_cast<int>(n);
}

bool test_send_all(int fd, const void *buf, size_t len) {
    const auto *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool test_wait_closed(int fd, int ms) {
    char buf[256];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int n = test_recv(fd, buf, sizeof buf, 50);
        if (n == 0 || n == -1) return true;
    }
    return false;
}

std::string test_recv_n(int fd, size_t len, int ms) {
    std::string got(len, '\0');
    size_t have = 0;
    for (int n; have < len && (n = test_recv(fd, &got[have], len - have, ms)) > 0;) have += static_cast<size_t>(n);
    got.resize(have);
    return got;
}

bool test_round_trip(int fd, const std::string &msg, int ms) {
    return test_send_all(fd, msg.data(), msg.size()) && test_recv_n(fd, msg.size(), ms) == msg;
}

int test_dead_port() { return peer_free_port(SOCK_STREAM); }

bool test_wait_until(const std::function<bool()> &pred, int bound_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::thread test_later(int ms, std::function<void()> what) {
    return std::thread([ms, what = std::move(what)] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        what();
    });
}

size_t test_open_fds() {
    size_t count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

bool test_wait_loop_passes(uint64_t count, int bound_ms) {
    uint64_t target = g_test_loop_passes.load() + count;
    return test_wait_until([&] { return g_test_loop_passes.load() >= target; }, bound_ms);
}

int test_echo_event(os_socket sock, uint32_t, uint64_t) {
    char buf[4096];
    errno = 0;
    int n = os_socket_recv(sock, buf, sizeof buf);
    if (n < 0) return -1;
    if (n == 0) return errno == 0 ? -1 : 0;  // readable yet empty: the peer closed
    return os_socket_send(sock, buf, static_cast<size_t>(n)) == n ? 0 : -1;
}

int test_accept_into_loop(os_socket sock, const os_ipaddr *, void *arg) {
    return sock_insert_event_proc(sock, reinterpret_cast<sock_event_proc>(arg), 0);
}

sock_srv *test_server_start(const char *name, int backlog, sock_accept_proc accept, void *arg, int *port) {
    sock_srv_conf conf{};
    conf.name = name;
    conf.backlog = backlog;
    conf.accept_proc = accept;
    conf.arg = arg;
    sock_srv *srv = sock_server_init_imp("127.0.0.1", 0, &conf);
    *port = static_cast<int>(conf.bound_port);
    return srv;
}

void SockLoopTest::SetUp() {
    os_socket_init_env();
    sock_env_first_data_timeout_set(0);
    sock_env_idle_timeout_set(0);
    sock_env_periodic_set(count_pass, nullptr);
    ASSERT_EQ(sock_env_init(), 0);
}

void SockLoopTest::serve(const char *name, sock_accept_proc accept, void *arg, int backlog) {
    srv_ = test_server_start(name, backlog, accept, arg, &port_);
    ASSERT_NE(srv_, nullptr) << name;
}

void SockLoopTest::stop_server() {
    if (srv_) sock_tcp_server_exit(srv_);
    srv_ = nullptr;
}

void SockLoopTest::TearDown() {
    stop_server();
    sock_env_exit();
    sock_env_periodic_set(nullptr, nullptr);
    sock_env_first_data_timeout_set(0);
    sock_env_idle_timeout_set(0);
}
