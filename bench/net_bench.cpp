// Event loop throughput over loopback: echo round trips through an event
// context, and connections accepted per second.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libnet/sock_event_loop.h"
#include "libnet/sock_event.h"
#include "libnet/sock_tcp_server.h"

namespace {

int echo_proc(os_socket sock, uint32_t, uint64_t) {
    char buf[4096];
    errno = 0;
    int n = os_socket_recv(sock, buf, sizeof buf);
    if (n < 0) return -1;
    if (n == 0) return errno == 0 ? -1 : 0;
    return os_socket_send(sock, buf, static_cast<size_t>(n)) == n ? 0 : -1;
}

int accept_echo(os_socket sock, const os_ipaddr *, void *) {
    return sock_insert_event_proc(sock, echo_proc, 0);
}

int accept_close(os_socket sock, const os_ipaddr *, void *) {
    os_socket_exit(sock);
    return 0;
}

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool read_exact(int fd, char *buf, size_t len) {
    while (len > 0) {
        ssize_t n = recv(fd, buf, len, 0);
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

sock_srv *start_server(sock_accept_proc proc, int *port) {
    sock_srv_conf conf{};
    conf.name = "bench";
    conf.backlog = 128;
    conf.accept_proc = proc;
    sock_srv *srv = sock_server_init_imp("127.0.0.1", 0, &conf);
    *port = static_cast<int>(conf.bound_port);
    return srv;
}

void BM_EventEchoRoundTrip(benchmark::State &state) {
    os_socket_init_env();
    sock_env_init();
    int port = 0;
    sock_srv *srv = start_server(accept_echo, &port);
    int fd = srv ? connect_loopback(port) : -1;
    if (fd < 0) {
        state.SkipWithError("no server");
        sock_tcp_server_exit(srv);
        sock_env_exit();
        return;
    }
    const size_t size = static_cast<size_t>(state.range(0));
    char out[4096];
    char in[4096];
    memset(out, 'e', sizeof out);
    for (auto _ : state) {
        if (send(fd, out, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size) || !read_exact(fd, in, size)) {
            state.SkipWithError("echo failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
    close(fd);
    sock_tcp_server_exit(srv);
    sock_env_exit();
}
BENCHMARK(BM_EventEchoRoundTrip)->Arg(64)->Arg(1024)->UseRealTime();

void BM_Accepts(benchmark::State &state) {
    os_socket_init_env();
    sock_env_init();
    int port = 0;
    sock_srv *srv = start_server(accept_close, &port);
    if (!srv) {
        state.SkipWithError("no server");
        sock_env_exit();
        return;
    }
    char byte;
    for (auto _ : state) {
        int fd = connect_loopback(port);
        if (fd < 0) {
            state.SkipWithError("connect failed");
            break;
        }
        // The accept procedure closes at once: the end of stream marks the accept.
        recv(fd, &byte, 1, 0);
        close(fd);
    }
    state.SetItemsProcessed(state.iterations());
    sock_tcp_server_exit(srv);
    sock_env_exit();
}
BENCHMARK(BM_Accepts)->UseRealTime();

}  // namespace
