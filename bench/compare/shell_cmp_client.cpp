// One client for both sides of the shell comparison: each connection sends a
// request and reads its whole reply before the next (no pipelining).
//   shell_cmp_client hubd|redis <port> <clients> <seconds>
// prints "<requests per second> <median round trip in microseconds>".
// HUBD: "echo x" and its byte 0, reply "x\r\n" and byte 0.
// Redis: PING as a RESP array, reply "+PONG\r\n".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct protocol {
    std::string request;
    std::string reply;
};

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One request and its complete reply; false on a short or wrong answer.
bool round_trip(int fd, const protocol &p) {
    if (send(fd, p.request.data(), p.request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(p.request.size())) {
        return false;
    }
    char buf[256];
    size_t got = 0;
    while (got < p.reply.size()) {
        ssize_t n = recv(fd, buf + got, sizeof buf - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return got == p.reply.size() && std::memcmp(buf, p.reply.data(), got) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s hubd|redis <port> <clients> <seconds>\n", argv[0]);
        return 2;
    }
    protocol p;
    if (std::strcmp(argv[1], "hubd") == 0) {
        p = {std::string("echo x", 7), std::string("x\r\n", 4)};
    } else {
        p = {"*1\r\n$4\r\nPING\r\n", "+PONG\r\n"};
    }
    int port = std::atoi(argv[2]);
    int clients = std::atoi(argv[3]);
    double seconds = std::atof(argv[4]);
    std::atomic<bool> failed{false};
    std::atomic<bool> stop{false};
    std::vector<std::vector<float>> micros(static_cast<size_t>(clients));
    std::vector<int> fds;
    for (int c = 0; c < clients; ++c) {
        int fd = connect_to(port);
        if (fd < 0 || !round_trip(fd, p)) {
            std::fprintf(stderr, "no answer on port %d\n", port);
            return 1;
        }
        fds.push_back(fd);
    }
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            auto &mine = micros[static_cast<size_t>(c)];
            mine.reserve(1 << 20);
            while (!stop.load(std::memory_order_relaxed)) {
                auto t0 = std::chrono::steady_clock::now();
                if (!round_trip(fds[static_cast<size_t>(c)], p)) {
                    failed = true;
                    return;
                }
                mine.push_back(std::chrono::duration<float, std::micro>(std::chrono::steady_clock::now() - t0).count());
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : threads) t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : fds) close(fd);
    if (failed) {
        std::fprintf(stderr, "wrong reply\n");
        return 1;
    }
    std::vector<float> all;
    for (auto &m : micros) all.insert(all.end(), m.begin(), m.end());
    if (all.empty()) return 1;
    std::nth_element(all.begin(), all.begin() + static_cast<long>(all.size() / 2), all.end());
    std::printf("%.0f %.1f\n", static_cast<double>(all.size()) / elapsed, all[all.size() / 2]);
    return 0;
}
