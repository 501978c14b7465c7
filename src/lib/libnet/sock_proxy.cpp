// Outgoing proxies: HTTP CONNECT, SOCKS4/4a and SOCKS5. The caller's
// configuration is only read (other threads may share it), a handshake that
// fails leaves no socket behind, and the whole handshake shares one deadline.
#define LOG_TAG "net"
#include "libnet/sock_proxy.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cctype>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

constexpr size_t REQUEST_MAXN = 4096;
constexpr size_t SOCKS_FIELD_MAXN = 255;  // one length byte
constexpr size_t HTTP_STATUS_LINE_MAXN = 1024;

// Two or more colons: an IPv6 literal, which needs brackets or its own type.
bool is_ipv6_literal(const char *host) {
    int colons = 0;
    for (const char *p = host; *p; ++p)
        if (*p == ':') ++colons;
    return colons >= 2;
}

// The end of the handshake, as a clock reading; set when it starts. Each
// read and write may only wait for what is left of it, so a proxy that
// answers every step just in time still cannot stretch the whole.
thread_local uint64_t t_deadline = 0;

// Milliseconds left; 0 once the deadline has passed.
uint32_t time_left() {
    uint64_t now = os_clock_ms();
    return now >= t_deadline ? 0 : static_cast<uint32_t>(t_deadline - now);
}

bool send_all(net_sock *ns, const void *data, size_t len) {
    ns->timeout = time_left();
    if (ns->timeout == 0) return false;
    return net_write(ns, data, len) == static_cast<int>(len);
}

// Exactly len bytes, one at a time within the time left; the bytes read.
int read_exact(net_sock *ns, void *buf, size_t len) {
    auto *out = static_cast<char *>(buf);
    size_t got = 0;
    while (got < len) {
        ns->timeout = time_left();
        if (ns->timeout == 0) break;
        int n = net_read(ns, out + got, 1);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<int>(got);
}

// A bounded append into the request buffer; false once it no longer fits.
struct request_buf {
    char text[REQUEST_MAXN];
    size_t len = 0;
    bool fits = true;

    void printf(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (!fits) return;
        va_list args;
        va_start(args, fmt);
        int n = std::vsnprintf(text + len, sizeof text - len, fmt, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text - len) {
            fits = false;
            return;
        }
        len += static_cast<size_t>(n);
    }
};

// Reads the reply header up to and including its empty line, never beyond
// it, within PROXY_HTTP_HEADER_MAXN bytes and the handshake's deadline. The
// status line's own line end has been read: matched starts at 2.
int http_skip_header(net_sock *ns, verr *err) {
    static constexpr char END[] = "\r\n\r\n";
    size_t matched = 2;
    for (size_t taken = 0; matched < 4; ++taken) {
        if (taken >= PROXY_HTTP_HEADER_MAXN) {
            verr_set(err, -1, "proxy reply header too long");
            return -1;
        }
        char byte = 0;
        if (read_exact(ns, &byte, 1) != 1) {
            verr_set(err, -1, "proxy read return error");
            return -1;
        }
        if (byte == END[matched]) {
            ++matched;
        } else {
            matched = byte == '\r' ? 1 : 0;
        }
    }
    return 0;
}

// The status line, up to its CRLF (which is consumed); false when the
// input ended, time ran out or the line is longer than size - 1.
bool http_status_line(net_sock *ns, char *line, size_t size) {
    size_t len = 0;
    for (;;) {
        char byte = 0;
        if (read_exact(ns, &byte, 1) != 1) return false;
        if (byte == '\n') break;
        if (len + 1 >= size) return false;
        line[len++] = byte;
    }
    if (len > 0 && line[len - 1] == '\r') --len;
    line[len] = 0;
    return true;
}

// "HTTP/1.x DDD reason": the code, or -1 for anything else.
int http_status_code(const char *line, const char **reason) {
    if (std::strncmp(line, "HTTP/1.", 7) != 0 || !std::isdigit(static_cast<unsigned char>(line[7])) || line[8] != ' ')
        return -1;
    const char *digits = line + 9;
    for (int i = 0; i < 3; ++i)
        if (!std::isdigit(static_cast<unsigned char>(digits[i]))) return -1;
    if (digits[3] != ' ' && digits[3] != 0) return -1;
    *reason = digits[3] ? digits + 4 : "";
    return (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
}

const char *socks5_reply_text(int code) {
    static constexpr std::array<const char *, 9> TEXTS{
        nullptr,
        "General SOCKS server failure!",
        "Connection not allowed by ruleset!",
        "Network unreachable!",
        "Host unreachable!",
        "Connection refused!",
        "TTL (packet time to live) expired!",
        "SOCKS Command not supported!",
        "Address type not supported!",
    };
    return code > 0 && code < static_cast<int>(TEXTS.size()) ? TEXTS[static_cast<size_t>(code)] : nullptr;
}

int socks5_reply_error(int code, verr *err) {
    if (const char *text = socks5_reply_text(code)) {
        verr_set(err, -1, "%s", text);
    } else {
        verr_set(err, -1, "proxy unkown error: %d", code);
    }
    return -1;
}

int socks5_auth(net_sock *ns, const sock_proxy_conf *proxy, verr *err) {
    size_t user_len = std::strlen(proxy->user);
    size_t pwd_len = std::strlen(proxy->pwd);
    uint8_t request[3 + 2 * SOCKS_FIELD_MAXN];
    size_t n = 0;
    request[n++] = 0x01;
    request[n++] = static_cast<uint8_t>(user_len);
    std::memcpy(request + n, proxy->user, user_len);
    n += user_len;
    request[n++] = static_cast<uint8_t>(pwd_len);
    std::memcpy(request + n, proxy->pwd, pwd_len);
    n += pwd_len;
    uint8_t reply[2] = {};
    if (!send_all(ns, request, n) || read_exact(ns, reply, 2) != 2 || reply[1] != 0x00) {
        verr_set(err, -2, "Proxy password or user name error");
        return -1;
    }
    return 0;
}

// Address type and address bytes of the connect request; 0 when the host
// name does not fit its one length byte.
size_t socks5_address(const char *host, uint8_t *out) {
    os_ipv4addr v4{};
    os_ipv6addr v6{};
    if (os_ipv4_cstr_set(&v4, host)) {
        out[0] = 0x01;
        std::memcpy(out + 1, v4.addr, 4);
        return 5;
    }
    if (is_ipv6_literal(host) && os_ipv6_cstr_set(&v6, host)) {
        out[0] = 0x04;
        std::memcpy(out + 1, v6.addr, 16);
        return 17;
    }
    size_t len = std::strlen(host);
    if (len > SOCKS_FIELD_MAXN) return 0;
    out[0] = 0x03;
    out[1] = static_cast<uint8_t>(len);
    std::memcpy(out + 2, host, len);
    return 2 + len;
}

int socks5_connect(net_sock *ns, const char *host, int port, verr *err) {
    uint8_t request[4 + 1 + SOCKS_FIELD_MAXN + 2] = {0x05, 0x01, 0x00};
    size_t address_len = socks5_address(host, request + 3);
    if (address_len == 0) {
        verr_set(err, -1, "proxy target name longer than %d bytes", static_cast<int>(SOCKS_FIELD_MAXN));
        return -1;
    }
    size_t n = 3 + address_len;
    request[n++] = static_cast<uint8_t>((port >> 8) & 0xFF);
    request[n++] = static_cast<uint8_t>(port & 0xFF);
    if (!send_all(ns, request, n)) {
        verr_set(err, -1, "proxy send error");
        return -1;
    }
    uint8_t reply[4 + 1 + 255 + 2] = {};
    int got = read_exact(ns, reply, 4);
    if (got != 4 || reply[0] != 0x05) return socks5_reply_error(0, err);
    if (reply[1] != 0x00) return socks5_reply_error(reply[1], err);
    size_t rest;
    switch (reply[3]) {
    case 0x01: rest = 6; break;
    case 0x04: rest = 18; break;
    case 0x03: {
        uint8_t name_len = 0;
        if (read_exact(ns, &name_len, 1) != 1) {
            verr_set(err, -1, "%s", "");
            return -1;
        }
        rest = static_cast<size_t>(name_len) + 2;
        break;
    }
    default:
        // The bound address has no known length: the bytes of the tunnel
        // would start somewhere inside it.
        return socks5_reply_error(8, err);
    }
    if (read_exact(ns, reply + 4, rest) != static_cast<int>(rest)) {
        verr_set(err, -1, "%s", "");
        return -1;
    }
    return 0;
}

}  // namespace

size_t proxy_base64(const void *data, size_t len, char *out, size_t size) {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t needed = (len + 2) / 3 * 4;
    if (!out || needed + 1 > size) return 0;
    const auto *in = static_cast<const uint8_t *>(data);
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        uint32_t chunk = static_cast<uint32_t>(in[i]) << 16;
        if (i + 1 < len) chunk |= static_cast<uint32_t>(in[i + 1]) << 8;
        if (i + 2 < len) chunk |= in[i + 2];
        out[o++] = ALPHABET[(chunk >> 18) & 0x3F];
        out[o++] = ALPHABET[(chunk >> 12) & 0x3F];
        out[o++] = i + 1 < len ? ALPHABET[(chunk >> 6) & 0x3F] : '=';
        out[o++] = i + 2 < len ? ALPHABET[chunk & 0x3F] : '=';
    }
    out[o] = 0;
    return o;
}

int proxy_http_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err) {
    PAL_ASSERT_RET(ns && host && proxy, -1);
    t_deadline = os_clock_ms() + ns->timeout;
    LOGD("==>\n");
    // A line end in the target would let it write headers of its own.
    if (std::strpbrk(host, "\r\n")) {
        verr_set(err, -1, "proxy target contains CR or LF");
        return -1;
    }
    request_buf request;
    if (is_ipv6_literal(host)) {
        request.printf("CONNECT [%s]:%d HTTP/1.1\r\nHost: [%s]:%d\r\n", host, port, host, port);
    } else {
        request.printf("CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n", host, port, host, port);
    }
    if (proxy->user[0]) {
        char credentials[sizeof proxy->user + sizeof proxy->pwd + 1];
        int n = std::snprintf(credentials, sizeof credentials, "%s:%s", proxy->user, proxy->pwd);
        char encoded[REQUEST_MAXN];
        size_t encoded_len = n > 0 ? proxy_base64(credentials, static_cast<size_t>(n), encoded, sizeof encoded) : 0;
        if (encoded_len == 0) request.fits = false;
        request.printf("Proxy-Authorization: Basic %s\r\n", encoded);
    }
    request.printf("\r\n");
    // A cut request would reach the proxy as a different one.
    if (!request.fits) {
        verr_set(err, -1, "proxy request too long");
        return -1;
    }
    LOGV("[%s]", request.text);
    if (!send_all(ns, request.text, request.len)) {
        verr_set(err, -1, "proxy send error");
        return -1;
    }
    char line[HTTP_STATUS_LINE_MAXN];
    if (!http_status_line(ns, line, sizeof line)) {
        LOGD("no status line from the proxy\n");
        verr_set(err, -1, "proxy recv len error");
        return -1;
    }
    const char *reason = "";
    int code = http_status_code(line, &reason);
    if (code < 0) {
        char shown[64];
        std::snprintf(shown, sizeof shown, "%.48s", line);
        verr_set(err, -1, "proxy answered with no HTTP status line: [%s]", shown);
        return -1;
    }
    if (code < 200 || code > 299) {
        verr_set(err, -1, "proxy answered %d %.200s", code, reason);
        return -1;
    }
    if (http_skip_header(ns, err) != 0) return -1;
    LOGD("proxy init ok!!\n");
    return 0;
}

int proxy_sock4_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err) {
    PAL_ASSERT_RET(ns && host && proxy, -1);
    t_deadline = os_clock_ms() + ns->timeout;
    LOGD("==>\n");
    // SOCKS4 carries IPv4 only. A name goes as SOCKS4a, for the proxy to
    // resolve: looked up here, it would leak to the local resolver.
    if (is_ipv6_literal(host)) {
        verr_set(err, -1, "SOCK4 does not support IPv6");
        return -1;
    }
    os_ipv4addr v4{};
    bool socks4a = !os_ipv4_cstr_set(&v4, host);
    const uint8_t *ip = v4.addr;
    size_t user_len = std::strlen(proxy->user);
    size_t host_len = std::strlen(host);
    uint8_t request[8 + sizeof proxy->user + REQUEST_MAXN];
    if (user_len >= sizeof proxy->user || (socks4a && host_len >= REQUEST_MAXN)) {
        verr_set(err, -1, "proxy request too long");
        return -1;
    }
    size_t n = 0;
    request[n++] = 0x04;
    request[n++] = 0x01;
    request[n++] = static_cast<uint8_t>((port >> 8) & 0xFF);
    request[n++] = static_cast<uint8_t>(port & 0xFF);
    static constexpr uint8_t SOCKS4A_ADDRESS[4] = {0, 0, 0, 1};
    std::memcpy(request + n, socks4a ? SOCKS4A_ADDRESS : ip, 4);
    n += 4;
    LOGV("hostaddr=%x\n", static_cast<unsigned>(ip[0]) << 24 | ip[1] << 16 | ip[2] << 8 | ip[3]);
    std::memcpy(request + n, proxy->user, user_len + 1);
    n += user_len + 1;
    if (socks4a) {
        LOGD("use socks4a\n");
        std::memcpy(request + n, host, host_len + 1);
        n += host_len + 1;
    }
    if (!send_all(ns, request, n)) {
        verr_set(err, -1, "proxy send error");
        return -1;
    }
    uint8_t reply[8] = {};
    int got = read_exact(ns, reply, sizeof reply);
    if (got != 8 || reply[0] != 0x00 || reply[1] != 0x5A) {
        LOGD("ret=%d error\n", got);
        verr_set(err, -1, "proxy read return error");
        return -1;
    }
    return 0;
}

int proxy_sock5_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err) {
    PAL_ASSERT_RET(ns && host && proxy, -1);
    t_deadline = os_clock_ms() + ns->timeout;
    LOGD("=>\n");
    bool with_user = proxy->user[0] != 0;
    // A longer field would wrap its one length byte and garble the exchange.
    if (with_user && (std::strlen(proxy->user) > SOCKS_FIELD_MAXN || std::strlen(proxy->pwd) > SOCKS_FIELD_MAXN)) {
        verr_set(err, -2, "proxy user or password longer than %d bytes", static_cast<int>(SOCKS_FIELD_MAXN));
        return -1;
    }
    static constexpr uint8_t GREETING[] = {0x05, 0x01, 0x00};
    static constexpr uint8_t GREETING_USER[] = {0x05, 0x02, 0x00, 0x02};
    bool sent = with_user ? send_all(ns, GREETING_USER, sizeof GREETING_USER) : send_all(ns, GREETING, sizeof GREETING);
    if (!sent) {
        verr_set(err, -1, "proxy send error");
        return -1;
    }
    uint8_t reply[2] = {};
    int got = read_exact(ns, reply, 2);
    uint8_t method = reply[1];
    // A method that was not offered counts as a refusal.
    if (method != 0x00 && !(with_user && method == 0x02)) method = 0xFF;
    if (got != 2 || reply[0] != 0x05 || method == 0xFF) {
        LOGD("nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", got, reply[0], reply[1]);
        verr_set(err, -2, "Proxy read return error");
        return -1;
    }
    if (method == 0x02 && socks5_auth(ns, proxy, err) != 0) return -1;
    return socks5_connect(ns, host, port, err);
}

os_socket proxy_tcp_connect(const char *host, int port, sock_cli_conf *conf, verr *err) {
    PAL_ASSERT_RET(host && conf, OS_SOCKET_NONE);
    LOGV("==>\n");
    // The connect to the proxy itself goes direct, on a copy: another thread
    // that shares the configuration must still go through the proxy.
    sock_cli_conf direct = *conf;
    direct.proxy.type = SOCK_PROXY_NONE;
    const sock_proxy_conf &proxy = conf->proxy;
    os_socket sock = sock_tcp_connect(proxy.host, proxy.port, &direct, err);
    if (sock == OS_SOCKET_NONE) {
        LOGD("connect proxy server %s:%d failed\n", proxy.host, proxy.port);
        return OS_SOCKET_NONE;
    }
    LOGD("connect proxy ip=%s port=%d ok!\n", proxy.host, proxy.port);
    net_sock ns{};
    net_sock_init_socket(&ns, sock, conf->connect_timeout);
    ns.stop = conf->stop;
    t_deadline = os_clock_ms() + conf->connect_timeout;
    int result;
    switch (proxy.type) {
    case SOCK_PROXY_HTTP: result = proxy_http_init(&ns, host, port, &proxy, err); break;
    case SOCK_PROXY_SOCKS4: result = proxy_sock4_init(&ns, host, port, &proxy, err); break;
    case SOCK_PROXY_SOCKS5: result = proxy_sock5_init(&ns, host, port, &proxy, err); break;
    default:
        verr_set(err, -1, "Unsupported proxy type=%d", proxy.type);
        result = -1;
        break;
    }
    if (result != 0) {
        // Whatever step it was in, the one thing to say is the time.
        if (time_left() == 0)
            verr_set(err, -1, "proxy handshake took longer than the connect time-out (%u ms)",
                     static_cast<unsigned>(conf->connect_timeout));
        os_socket_exit(sock);
        return OS_SOCKET_NONE;
    }
    return sock;
}
