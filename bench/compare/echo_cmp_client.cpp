// One client for both sides of the scale comparison, on one thread and one
// epoll set, so that the client costs the same against either server.
//   echo_cmp_client conns hubd|redis <port> <connections>
//     opens every connection (a few hundred connecting at a time, so that no
//     listen queue overflows), sends one request on each and waits for its
//     reply, all held open at once. Prints "<answered> <seconds>" and keeps
//     them open, idle, until standard input ends or gets a line.
//   echo_cmp_client rt hubd|redis <port> <clients> <seconds>
//     each client keeps one request in flight; prints
//     "<requests per second> <p50 us> <p99 us>".
// hubd: the line "ping 0123456789\n" and its echo. Redis: the inline PING,
// reply "+PONG\r\n".
// Exit 1 when a connection fails or an answer is wrong.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int MAX_CONNECTING = 256;
constexpr int CONNECT_LIMIT_S = 60;

struct protocol {
    std::string request;
    std::string reply;
};

struct conn {
    int fd = -1;
    bool connected = false;
    bool answered = false;
    size_t got = 0;
    clock_type::time_point sent;
};

void raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

int start_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_request(conn &c, const protocol &p) {
    c.got = 0;
    c.sent = clock_type::now();
    ssize_t n = send(c.fd, p.request.data(), p.request.size(), MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(p.request.size());
}

// Reads what waits; 1 when the reply is complete, 0 not yet, -1 wrong or closed.
int read_reply(conn &c, const protocol &p) {
    char buf[512];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n == 0) return -1;
        if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
        if (c.got + static_cast<size_t>(n) > p.reply.size()) return -1;
        if (std::memcmp(buf, p.reply.data() + c.got, static_cast<size_t>(n)) != 0) return -1;
        c.got += static_cast<size_t>(n);
        if (c.got == p.reply.size()) return 1;
    }
}

// Opens n connections and gets one answer on each; the number answered.
// Connections that failed are closed and left at fd -1.
int open_all(std::vector<conn> &conns, int port, const protocol &p, int epfd) {
    const int n = static_cast<int>(conns.size());
    int next = 0, pending = 0, answered = 0, failed = 0;
    std::vector<epoll_event> events(1024);
    const auto deadline = clock_type::now() + std::chrono::seconds(CONNECT_LIMIT_S);
    auto fail = [&](conn &c) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
        c.fd = -1;
        --pending;
        ++failed;
    };
    while (answered + failed < n) {
        while (next < n && pending < MAX_CONNECTING) {
            conn &c = conns[static_cast<size_t>(next)];
            c.fd = start_connect(port);
            if (c.fd < 0) {
                std::fprintf(stderr, "connection %d: %s\n", next, std::strerror(errno));
                ++failed;
                ++next;
                continue;
            }
            epoll_event ev{};
            ev.events = EPOLLOUT | EPOLLIN;
            ev.data.u32 = static_cast<uint32_t>(next);
            epoll_ctl(epfd, EPOLL_CTL_ADD, c.fd, &ev);
            ++pending;
            ++next;
        }
        if (clock_type::now() > deadline) {
            std::fprintf(stderr, "%d connections still unanswered after %d s\n", pending, CONNECT_LIMIT_S);
            break;
        }
        int ready = epoll_wait(epfd, events.data(), static_cast<int>(events.size()), 1000);
        for (int i = 0; i < ready; ++i) {
            conn &c = conns[events[static_cast<size_t>(i)].data.u32];
            if (c.fd < 0 || c.answered) continue;
            const uint32_t got = events[static_cast<size_t>(i)].events;
            if (!c.connected) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0 || (got & (EPOLLERR | EPOLLHUP))) {
                    fail(c);
                    continue;
                }
                c.connected = true;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u32 = events[static_cast<size_t>(i)].data.u32;
                epoll_ctl(epfd, EPOLL_CTL_MOD, c.fd, &ev);
                if (!send_request(c, p)) fail(c);
                continue;
            }
            int r = read_reply(c, p);
            if (r < 0) {
                fail(c);
            } else if (r > 0) {
                c.answered = true;
                --pending;
                ++answered;
            }
        }
    }
    return answered;
}

int mode_conns(const protocol &p, int port, int n) {
    std::vector<conn> conns(static_cast<size_t>(n));
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    const auto t0 = clock_type::now();
    int answered = open_all(conns, port, p, epfd);
    double seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    // Idle from here on: nothing in the set wakes this process.
    close(epfd);
    std::printf("%d %.3f\n", answered, seconds);
    std::fflush(stdout);
    char line[64];
    while (read(STDIN_FILENO, line, sizeof line) < 0 && errno == EINTR) {
    }
    for (conn &c : conns)
        if (c.fd >= 0) close(c.fd);
    return answered == n ? 0 : 1;
}

int mode_rt(const protocol &p, int port, int clients, double seconds) {
    std::vector<conn> conns(static_cast<size_t>(clients));
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (open_all(conns, port, p, epfd) != clients) {
        std::fprintf(stderr, "not every client got an answer on port %d\n", port);
        return 1;
    }
    std::vector<float> micros;
    micros.reserve(1 << 22);
    std::vector<epoll_event> events(1024);
    for (conn &c : conns)
        if (!send_request(c, p)) return 1;
    const auto start = clock_type::now();
    const auto end = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
    int in_flight = clients;
    bool stopping = false;
    while (in_flight > 0) {
        int ready = epoll_wait(epfd, events.data(), static_cast<int>(events.size()), 1000);
        if (ready < 0 && errno != EINTR) return 1;
        const auto now = clock_type::now();
        if (now >= end) stopping = true;
        for (int i = 0; i < ready; ++i) {
            conn &c = conns[events[static_cast<size_t>(i)].data.u32];
            int r = read_reply(c, p);
            if (r < 0) {
                std::fprintf(stderr, "wrong reply or closed connection\n");
                return 1;
            }
            if (r == 0) continue;
            micros.push_back(std::chrono::duration<float, std::micro>(clock_type::now() - c.sent).count());
            if (stopping) {
                --in_flight;
            } else if (!send_request(c, p)) {
                return 1;
            }
        }
        if (ready == 0 && stopping) {
            std::fprintf(stderr, "%d replies missing\n", in_flight);
            return 1;
        }
    }
    double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    for (conn &c : conns) close(c.fd);
    close(epfd);
    if (micros.empty()) return 1;
    auto at = [&](double q) {
        auto k = static_cast<long>(q * static_cast<double>(micros.size() - 1));
        std::nth_element(micros.begin(), micros.begin() + k, micros.end());
        return micros[static_cast<size_t>(k)];
    };
    const float p50 = at(0.50);
    const float p99 = at(0.99);
    std::printf("%.0f %.1f %.1f\n", static_cast<double>(micros.size()) / elapsed, p50, p99);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const bool conns = argc == 5 && std::strcmp(argv[1], "conns") == 0;
    const bool rt = argc == 6 && std::strcmp(argv[1], "rt") == 0;
    if (!conns && !rt) {
        std::fprintf(stderr,
                     "usage: %s conns hubd|redis <port> <connections>\n"
                     "       %s rt hubd|redis <port> <clients> <seconds>\n",
                     argv[0], argv[0]);
        return 2;
    }
    raise_descriptor_limit();
    protocol p;
    if (std::strcmp(argv[2], "redis") == 0) {
        p = {"PING\r\n", "+PONG\r\n"};
    } else {
        p = {"ping 0123456789\n", "ping 0123456789\n"};
    }
    const int port = std::atoi(argv[3]);
    const int count = std::atoi(argv[4]);
    if (port <= 0 || port > 65535 || count <= 0) {
        std::fprintf(stderr, "port is 1 to 65535 and the count at least 1\n");
        return 2;
    }
    return conns ? mode_conns(p, port, count) : mode_rt(p, port, count, std::atof(argv[5]));
}
