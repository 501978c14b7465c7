// Outgoing proxies: HTTP CONNECT, SOCKS4/4a and SOCKS5. A handshake that
// fails leaves no socket behind and restores the caller's proxy type.
#define LOG_TAG "net"
#include "libnet/sock_proxy.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

constexpr size_t REQUEST_MAXN = 4096;
constexpr size_t SOCKS_FIELD_MAXN = 255;  // one length byte

// Two or more colons: an IPv6 literal, which needs brackets or its own type.
bool is_ipv6_literal(const char *host) {
    int colons = 0;
    for (const char *p = host; *p; ++p)
        if (*p == ':') ++colons;
    return colons >= 2;
}

bool send_all(net_sock *ns, const void *data, size_t len) {
    return net_write(ns, data, len) == static_cast<int>(len);
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
// it, within PROXY_HTTP_HEADER_MAXN bytes and one connect timeout in all.
int http_skip_header(net_sock *ns, verr *err) {
    static constexpr char END[] = "\r\n\r\n";
    uint32_t limit = ns->timeout;
    uint64_t start = os_clock_ms();
    size_t matched = 0;
    int result = 0;
    for (size_t taken = 0; matched < 4; ++taken) {
        uint64_t spent = os_clock_ms() - start;
        if (taken >= PROXY_HTTP_HEADER_MAXN) {
            verr_set(err, -1, "proxy reply header too long");
            result = -1;
            break;
        }
        // Out of time is a read that did not come, whether the last byte
        // arrived just before the limit or the wait ran into it.
        if (spent >= limit) {
            verr_set(err, -1, "proxy read return error");
            result = -1;
            break;
        }
        ns->timeout = limit - static_cast<uint32_t>(spent);
        char byte = 0;
        if (net_read(ns, &byte, 1) != 1) {
            verr_set(err, -1, "proxy read return error");
            result = -1;
            break;
        }
        if (byte == END[matched]) {
            ++matched;
        } else {
            matched = byte == '\r' ? 1 : 0;
        }
    }
    ns->timeout = limit;
    return result;
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
    if (!send_all(ns, request, n) || net_read(ns, reply, 2) != 2 || reply[1] != 0x00) {
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
    int got = net_read(ns, reply, 4);
    if (got != 4 || reply[0] != 0x05) return socks5_reply_error(0, err);
    if (reply[1] != 0x00) return socks5_reply_error(reply[1], err);
    size_t rest;
    switch (reply[3]) {
    case 0x01: rest = 6; break;
    case 0x04: rest = 18; break;
    case 0x03: {
        uint8_t name_len = 0;
        if (net_read(ns, &name_len, 1) != 1) {
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
    if (net_read(ns, reply + 4, rest) != static_cast<int>(rest)) {
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
    LOGD("==>\n");
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
    char status[13] = {};
    int got = net_read(ns, status, 12);
    LOGV("ret=%d\n", got);
    if (got != 12) {
        LOGD("net_read ret=%d !=12 error\n", got);
        verr_set(err, -1, "proxy recv len error");
        return -1;
    }
    if (status[9] == '2') {
        LOGV("read last...\n");
        if (http_skip_header(ns, err) != 0) return -1;
        LOGD("proxy init ok!!\n");
        return 0;
    }
    status[11] = 0;
    LOGD("net_read [%s] buf[9]=%c !=2 error\n", status, status[9]);
    verr_set(err, -1, status[9] == '4' ? "proxy user or pwd error" : "proxy read return error");
    return -1;
}

int proxy_sock4_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err) {
    PAL_ASSERT_RET(ns && host && proxy, -1);
    LOGD("==>\n");
    // SOCKS4 carries IPv4 only: a name with both kinds of address (such as
    // localhost, whose IPv6 answer usually comes first) must give its IPv4 one.
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV4);
    bool found = !is_ipv6_literal(host) && os_addrinfo_addr(host, &addr);
    if (!found) {
        os_ipaddr_clear(&addr);
        found = os_addrinfo_addr(host, &addr);
    }
    if (!found) {
        verr_set(err, -2, "addrinfo_addr %s error", host);
        return -1;
    }
    if (is_ipv6_literal(host) || os_ipaddr_family(&addr) != OS_IPADDR_FAMILY_IPV4) {
        verr_set(err, -1, "SOCK4 does not support IPv6");
        return -1;
    }
    const uint8_t *ip = addr.u.v4.addr;
    bool socks4a = ip[0] == 0xFF && ip[1] == 0xFF && ip[2] == 0xFF && ip[3] == 0xFF;
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
    int got = net_read(ns, reply, sizeof reply);
    if (got != 8 || reply[0] != 0x00 || reply[1] != 0x5A) {
        LOGD("ret=%d error\n", got);
        verr_set(err, -1, "proxy read return error");
        return -1;
    }
    return 0;
}

int proxy_sock5_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err) {
    PAL_ASSERT_RET(ns && host && proxy, -1);
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
    int got = net_read(ns, reply, 2);
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
    // The connect to the proxy itself goes direct.
    int32_t type = conf->proxy.type;
    conf->proxy.type = SOCK_PROXY_NONE;
    os_socket sock = sock_tcp_connect(conf->proxy.host, conf->proxy.port, conf, err);
    if (sock == OS_SOCKET_NONE) {
        LOGD("connect proxy server %s:%d failed\n", conf->proxy.host, conf->proxy.port);
        conf->proxy.type = type;
        return OS_SOCKET_NONE;
    }
    LOGD("connect proxy ip=%s port=%d ok!\n", conf->proxy.host, conf->proxy.port);
    net_sock ns{};
    net_sock_init_socket(&ns, sock, conf->connect_timeout);
    ns.stop = conf->stop;
    int result;
    switch (type) {
    case SOCK_PROXY_HTTP: result = proxy_http_init(&ns, host, port, &conf->proxy, err); break;
    case SOCK_PROXY_SOCKS4: result = proxy_sock4_init(&ns, host, port, &conf->proxy, err); break;
    case SOCK_PROXY_SOCKS5: result = proxy_sock5_init(&ns, host, port, &conf->proxy, err); break;
    default:
        verr_set(err, -1, "Unsupported proxy type=%d", type);
        result = -1;
        break;
    }
    conf->proxy.type = type;
    if (result != 0) {
        os_socket_exit(sock);
        return OS_SOCKET_NONE;
    }
    return sock;
}
