#include "web_client_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

std::string web_raw(int port, const std::string &raw) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return "";
    }
    send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}

std::string web_get(int port, const std::string &path, const std::string &headers) {
    return web_raw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + headers +
                             "\r\n");
}

std::string web_body(const std::string &reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? reply : reply.substr(end + 4);
}

std::string run_command(const std::string &cmd, int *status) {
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int rc = pclose(f);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

bool wait_web_ready(HubdProcess &p, int port) {
    // A bound on the whole wait, so that a server that accepts and never
    // answers fails the test with its log rather than outlast ctest.
    for (long end = now_ms() + 30000; now_ms() < end;) {
        if (!p.running()) return false;
        if (web_get(port, "/metrics").find("g_type=0") != std::string::npos) return true;
        p.pump(100);
    }
    return false;
}

std::string web_ini(int port, const std::string &extra) {
    return "[debug]\nshell_server_port = 0\nhttp_server_port = " + std::to_string(port) + "\n" + extra;
}
