// bsvdump: receives the packets of hubd's UDP collector sink and prints each
// as one line: the header fields, then the fields of the log record. Plain
// and "udps" packets are both understood; a packet that fails its checks is
// reported on its own line and skipped.
//
//   bsvdump [-a address] [-p port] [-c count]
//
// Listens on address (default 127.0.0.1) and port (default 514; 0 picks a
// free one), and ends after count packets when count is given. Standard
// error names the address once the socket is ready.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libbsv/bsv_udp_packet.h"
#include "libbsv/bsv_dump.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: bsvdump [-a address] [-p port] [-c count]\n");
    return 2;
}

int open_socket(const char *address, int port) {
    sockaddr_storage storage{};
    socklen_t len = 0;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *v6;
    } else {
        std::fprintf(stderr, "bsvdump: bad address %s\n", address);
        return -1;
    }
    int fd = socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&storage), len) != 0) {
        std::fprintf(stderr, "bsvdump: bind %s:%d: %s\n", address, port, std::strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    len = sizeof storage;
    getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &len);
    int bound = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    std::fprintf(stderr, "bsvdump: listening on %s port %d\n", address, bound);
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    const char *address = "127.0.0.1";
    int port = 514;
    long count = -1;
    for (int opt; (opt = getopt(argc, argv, "a:p:c:")) != -1;) {
        switch (opt) {
        case 'a': address = optarg; break;
        case 'p': port = std::atoi(optarg); break;
        case 'c': count = std::atol(optarg); break;
        default: return usage();
        }
    }
    if (port < 0 || port > 65535 || optind != argc) return usage();
    int fd = open_socket(address, port);
    if (fd < 0) return 1;
    uint8_t packet[65536];
    char line[BSV_DUMP_LINE_MAXN];
    for (long seen = 0; count < 0 || seen < count; ++seen) {
        ssize_t n = recv(fd, packet, sizeof packet, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "bsvdump: recv: %s\n", std::strerror(errno));
            return 1;
        }
        bsv_dump_packet(packet, static_cast<size_t>(n), line, sizeof line);
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}
