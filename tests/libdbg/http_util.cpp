#include "http_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int listen_loopback(int *port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

std::string shell_test_replies(int fd, int count) {
    std::string got;
    char c;
    while (count > 0 && recv(fd, &c, 1, 0) == 1) {
        got.push_back(c);
        if (c == 0) --count;
    }
    return got;
}

std::string http_test_raw(int port, const std::string &raw) {
    int fd = connect_loopback(port);
    if (fd < 0) return "<connect failed>";
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

std::string http_test_get(int port, const std::string &path, const std::string &headers) {
    return http_test_raw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
                                   headers + "\r\n");
}

std::string http_test_body(const std::string &reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? reply : reply.substr(end + 4);
}

bool http_test_json_ok(const std::string &text) {
    std::string stack;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '"') {
                in_string = false;
            } else if (c == '\\') {
                if (++i >= text.size()) return false;
                char e = text[i];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (++i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                    return false;
                }
            }
            continue;
        }
        if (c == '"') in_string = true;
        if (c == '[' || c == '{') stack.push_back(c);
        if (c == ']' || c == '}') {
            if (stack.empty() || stack.back() != (c == ']' ? '[' : '{')) return false;
            stack.pop_back();
        }
    }
    return !in_string && stack.empty() && !text.empty();
}

std::string http_test_basic(const std::string &user, const std::string &pwd) {
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string in = user + ":" + pwd, out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        for (int k = 18; k >= 0; k -= 6) out.push_back(ALPHABET[(v >> k) & 63]);
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += std::string{ALPHABET[(v >> 18) & 63], ALPHABET[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += std::string{ALPHABET[(v >> 18) & 63], ALPHABET[(v >> 12) & 63], ALPHABET[(v >> 6) & 63], '='};
    }
    return "Authorization: Basic " + out + "\r\n";
}
