// What a request must show before the console acts on it: a Host that names
// this console (no DNS rebinding), and, from a browser, the page's token and
// a same-origin fetch (no requests forged by another page).
#define LOG_TAG "dbg"
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "libdbg/dbg_access.h"
#include "libdbg/web_console_imp.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_peer.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {

constexpr size_t TOKEN_BYTES = 16;
constexpr size_t TOKEN_ARG_SIZE = 128;

struct guard_state {
    std::once_flag made;
    bool ok = false;
    char token[TOKEN_BYTES * 2 + 1] = "";
    std::mutex lock;           // allowed
    std::string allowed;       // debug:http_allowed_hosts, ',' separated
};
guard_state g_guard;

void hex(const unsigned char *bytes, size_t len, char *out) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = DIGITS[bytes[i] >> 4];
        out[2 * i + 1] = DIGITS[bytes[i] & 15];
    }
    out[2 * len] = 0;
}

// The host of a Host header: "[v6]:port" and "name:port" lose the port.
std::string host_part(const char *header) {
    std::string text = header;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    if (!text.empty() && text[0] == '[') {
        size_t end = text.find(']');
        return end == std::string::npos ? text : text.substr(1, end - 1);
    }
    size_t colon = text.find(':');
    // More than one colon: a bare IPv6 address.
    if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) text.resize(colon);
    return text;
}

// A dual-stack listener sees IPv4 as ::ffff:a.b.c.d.
void unmap(os_ipaddr *addr) {
    static constexpr uint8_t MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (os_ipaddr_family(addr) == OS_IPADDR_FAMILY_IPV6 && std::memcmp(addr->u.v6.addr, MAPPED, sizeof MAPPED) == 0)
        os_ipaddr_ipv6_to_ipv4(addr);
}

bool same_ip(const os_ipaddr *a, const os_ipaddr *b) {
    os_ipaddr x = *a, y = *b;
    unmap(&x);
    unmap(&y);
    char tx[OS_IPADDR_CSTR_MAXN], ty[OS_IPADDR_CSTR_MAXN];
    return std::strcmp(os_ipaddr_ip_cstr(&x, tx, sizeof tx), os_ipaddr_ip_cstr(&y, ty, sizeof ty)) == 0;
}

bool same_name(const std::string &item, const void *user) {
    return strcasecmp(item.c_str(), static_cast<const std::string *>(user)->c_str()) == 0;
}

bool in_list(const std::string &list, const std::string &name) { return dbg_list_any(list, same_name, &name); }

// Constant time: the comparison says nothing about how much of a guess was right.
bool token_matches(const char *given) {
    const char *want = http_page_token();
    size_t len = std::strlen(want);
    if (std::strlen(given) != len || len == 0) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < len; ++i) diff |= static_cast<unsigned char>(given[i] ^ want[i]);
    return diff == 0;
}

}  // namespace

const char *http_page_token() {
    std::call_once(g_guard.made, [] {
        unsigned char bytes[TOKEN_BYTES];
        g_guard.ok = os_random_bytes(bytes, sizeof bytes);
        if (g_guard.ok) hex(bytes, sizeof bytes, g_guard.token);
    });
    return g_guard.token;
}

bool http_csp_nonce(char *out, size_t size) {
    unsigned char bytes[TOKEN_BYTES];
    if (size < sizeof bytes * 2 + 1 || !os_random_bytes(bytes, sizeof bytes)) return false;
    hex(bytes, sizeof bytes, out);
    return true;
}

void dbg_http_allowed_hosts_set(const char *list) {
    std::lock_guard<std::mutex> guard(g_guard.lock);
    g_guard.allowed = list ? list : "";
}

bool http_host_allowed(const httpd_request *r) {
    // Only a browser is led by a name: a request without a Host is no rebinding.
    if (!r->host[0]) return true;
    std::string host = host_part(r->host);
    if (host.empty()) return false;
    if (strcasecmp(host.c_str(), "localhost") == 0) return true;
    if (g_app.host_name[0] && strcasecmp(host.c_str(), g_app.host_name) == 0) return true;
    os_ipaddr named{}, local{};
    if (os_ipaddr_ip_cstr_set(&named, host.c_str()) && !os_ipaddr_ip_is_empty(&named)) {
        if (!os_ipaddr_is_empty(&r->local_ip)) return same_ip(&named, &r->local_ip);
        return os_socket_local(r->stream.sock, &local) && same_ip(&named, &local);
    }
    std::lock_guard<std::mutex> guard(g_guard.lock);
    return in_list(g_guard.allowed, host);
}

int http_check_host(httpd_request *r) {
    if (http_host_allowed(r)) return 0;
    static dbg_log_rate rate;
    unsigned skipped = 0;
    if (dbg_log_rate_due(&rate, &skipped))
        LOGW("request for a foreign host refused: ip=[%s] host=[%s] path=[%s] (%u more since the last report)\n",
             r->client_addr, r->host, r->path, skipped);
    httpd_send_refusal(r, "421 Misdirected Request",
                       "This console does not answer to that host name: add it to debug:http_allowed_hosts.");
    return -1;
}

int http_check_browser(httpd_request *r) {
    if (!r->from_browser) return 0;
    const char *why = nullptr;
    char token[TOKEN_ARG_SIZE];
    http_query_arg(r->query, "token", token, sizeof token);
    if (r->fetch_site[0] && strcasecmp(r->fetch_site, "same-origin") != 0 && strcasecmp(r->fetch_site, "none") != 0)
        why = "Requests from other sites are refused.";
    else if (!token_matches(token))
        why = "The request lacks the console page's current token: open or reload the page.";
    if (!why) return 0;
    static dbg_log_rate rate;
    unsigned skipped = 0;
    if (dbg_log_rate_due(&rate, &skipped))
        LOGW("browser request refused: ip=[%s] site=[%s] path=[%s]: %s (%u more since the last report)\n", r->client_addr,
             r->fetch_site, r->path, why, skipped);
    httpd_send_refusal(r, "403 Forbidden", why);
    return -1;
}

int http_check_peer(httpd_request *r) {
    dbg_peer peer{};
    char why[DBG_ACCESS_TEXT_SIZE];
    if (dbg_access_check_addrs(r->stream.sock, &r->local_ip, &r->peer_ip, false, "console", &peer, why) == DBG_ACCESS_SERVE)
        return 0;
    static dbg_log_rate rate;
    unsigned skipped = 0;
    if (dbg_log_rate_due(&rate, &skipped))
        LOGW("web request refused: %s:%d uid=%s path=[%s]: %s (%u more since the last report)\n", peer.addr, peer.port,
             peer.uid_known ? std::to_string(peer.uid).c_str() : "?", r->path, why, skipped);
    httpd_send_refusal(r, "403 Forbidden", why);
    return 1;
}

void http_audit(const httpd_request *r, const char *line) {
    dbg_peer peer{};
    char why[DBG_ACCESS_TEXT_SIZE];
    dbg_access_check_addrs(r->stream.sock, &r->local_ip, &r->peer_ip, false, "console", &peer, why);
    char who[256];
    if (r->user[0])
        std::snprintf(who, sizeof who, "web %s:%d user=%s", peer.addr, peer.port, r->user);
    else if (peer.uid_known)
        std::snprintf(who, sizeof who, "web %s:%d uid=%u", peer.addr, peer.port, peer.uid);
    else
        std::snprintf(who, sizeof who, "web %s:%d", peer.addr, peer.port);
    dbg_audit_command(who, line);
}
