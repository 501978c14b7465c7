// The debug shell server over loopback: the round trip of one short command
// on one session, and commands per second over eight parallel sessions.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "libdbg/shell_tcp_server.h"
#include "libnet/sock_event_loop.h"
#include "libsh/libsh.h"

namespace {

// One server for the whole run, started on first use on a port the system picks.
int shell_port() {
    static const int port = [] {
        libsh_init();
        sock_env_init();
        if (debug_shell_server_init("127.0.0.1", 0) != 0) return 0;
        return debug_shell_server_port();
    }();
    return port;
}

int connect_shell() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(shell_port()));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

const char REQUEST[] = "echo x";  // sent with its terminating 0
const char REPLY[] = "x\r\n";     // followed by the end byte 0

// Sends the request and reads its reply up to the end byte; false on any mismatch.
bool round_trip(int fd) {
    if (send(fd, REQUEST, sizeof REQUEST, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof REQUEST)) return false;
    char buf[64];
    size_t got = 0;
    for (;;) {
        ssize_t n = recv(fd, buf + got, sizeof buf - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
        if (buf[got - 1] == '\0') break;
        if (got == sizeof buf) return false;
    }
    return got == sizeof REPLY && std::equal(buf, buf + got, REPLY);
}

void BM_EchoRoundTrip(benchmark::State &state) {
    int fd = connect_shell();
    if (fd < 0) {
        state.SkipWithError("no shell server");
        return;
    }
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!round_trip(fd)) {
            state.SkipWithError("wrong reply");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    close(fd);
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(BM_EchoRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_ParallelSessions(benchmark::State &state) {
    int fd = connect_shell();
    if (fd < 0) {
        state.SkipWithError("no shell server");
        return;
    }
    for (auto _ : state) {
        if (!round_trip(fd)) {
            state.SkipWithError("wrong reply");
            break;
        }
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParallelSessions)->Threads(8)->UseRealTime()->MinTime(2.0);

}  // namespace
