// The peer check, the shell password and protected mode. A loopback peer is
// known by the uid that owns its socket: root, the user hubd runs as and
// debug:shell_allowed_users are served; others only with a password. A peer
// beyond loopback needs the password while protected mode is on.
#define LOG_TAG "dbg"
#include "libdbg/dbg_access.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_peer.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

struct access_state {
    std::mutex lock;  // everything below
    std::string allowed;
    std::string pwd;
    bool protected_mode = true;
};
access_state g_access;

bool is_loopback(const os_ipaddr *addr) {
    int family = os_ipaddr_family(addr);
    if (family == OS_IPADDR_FAMILY_IPV4) return addr->u.v4.addr[0] == 127;
    if (family != OS_IPADDR_FAMILY_IPV6) return false;
    const uint8_t *a = addr->u.v6.addr;
    static constexpr uint8_t MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(a, MAPPED, sizeof MAPPED) == 0) return a[12] == 127;
    for (int i = 0; i < 15; ++i)
        if (a[i] != 0) return false;
    return a[15] == 1;
}

bool names_uid(const std::string &item, const void *user) {
    uint32_t named = 0;
    return os_user_uid(item.c_str(), &named) && named == *static_cast<const uint32_t *>(user);
}

bool uid_allowed(uint32_t uid) {
    if (uid == 0 || uid == os_process_uid()) return true;
    std::lock_guard<std::mutex> guard(g_access.lock);
    return dbg_list_any(g_access.allowed, names_uid, &uid);
}

// Constant time over the length of the configured password.
bool pwd_matches(const char *given) {
    std::string want;
    {
        std::lock_guard<std::mutex> guard(g_access.lock);
        want = g_access.pwd;
    }
    if (want.empty()) return false;
    size_t len = std::strlen(given);
    unsigned char diff = len == want.size() ? 0 : 1;
    for (size_t i = 0; i < want.size(); ++i) diff |= static_cast<unsigned char>(want[i] ^ (i < len ? given[i] : 0));
    return diff == 0;
}

bool have_shell_pwd() {
    std::lock_guard<std::mutex> guard(g_access.lock);
    return !g_access.pwd.empty();
}

void gate_who(const dbgsh_gate *gate, char *out, size_t size) {
    if (gate->peer.uid_known)
        std::snprintf(out, size, "tcp %s:%d uid=%u", gate->peer.addr, gate->peer.port, gate->peer.uid);
    else
        std::snprintf(out, size, "tcp %s:%d", gate->peer.addr, gate->peer.port);
}

// What the client sent meanwhile is read before the close: closed with
// unread input, the socket would reset and the client could lose the line.
void drain_input(net_sock *stream) {
    constexpr int DRAIN_STEPS = 10;
    constexpr uint32_t DRAIN_STEP_MS = 100;
    char buf[4096];
    stream->timeout = DRAIN_STEP_MS;
    for (int i = 0; i < DRAIN_STEPS && !stream->disconnected; ++i)
        if (net_sock_read_some(stream, buf, sizeof buf, static_cast<int>(DRAIN_STEP_MS)) < 0) break;
}

void reply(shell_ctx *ctx, const char *text) {
    // A client that asked for each reply's status reads this one's too.
    ctx->status = std::strncmp(text, "error", 5) == 0 ? -1 : 0;
    ctx->print(ctx->out, "%s\n", text);
    ctx->flush(ctx->out);
}

}  // namespace

bool dbg_list_any(const std::string &list, bool (*match)(const std::string &item, const void *user), const void *user) {
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(',', pos);
        if (end == std::string::npos) end = list.size();
        size_t first = list.find_first_not_of(" \t", pos);
        if (first != std::string::npos && first < end) {
            size_t last = list.find_last_not_of(" \t", end - 1);
            if (match(list.substr(first, last - first + 1), user)) return true;
        }
        pos = end + 1;
    }
    return false;
}

void dbg_access_set(const char *allowed_users, const char *shell_pwd, int protected_mode) {
    std::lock_guard<std::mutex> guard(g_access.lock);
    g_access.allowed = allowed_users ? allowed_users : "";
    g_access.pwd = shell_pwd ? shell_pwd : "";
    g_access.protected_mode = protected_mode != 0;
}

const char *dbg_access_client_pwd() {
    const char *env = std::getenv("HUBD_SHELL_PWD");
    if (env && *env) return env;
    static thread_local std::string copy;
    std::lock_guard<std::mutex> guard(g_access.lock);
    copy = g_access.pwd;
    return copy.c_str();
}

dbg_access_verdict dbg_access_check(os_socket sock, bool have_pwd, const char *what, dbg_peer *peer, char *why) {
    return dbg_access_check_addrs(sock, nullptr, nullptr, have_pwd, what, peer, why);
}

dbg_access_verdict dbg_access_check_addrs(os_socket sock, const os_ipaddr *local, const os_ipaddr *remote, bool have_pwd,
                                          const char *what, dbg_peer *peer, char *why) {
    *peer = dbg_peer{};
    why[0] = 0;
    os_ipaddr addr{};
    bool known = remote && !os_ipaddr_is_empty(remote);
    if (known) addr = *remote;
    bool ip = (known || os_socket_peer(sock, &addr)) &&
              (os_ipaddr_family(&addr) == OS_IPADDR_FAMILY_IPV4 || os_ipaddr_family(&addr) == OS_IPADDR_FAMILY_IPV6);
    if (ip) {
        os_ipaddr_ip_cstr(&addr, peer->addr, sizeof peer->addr);
        peer->port = os_ipaddr_port(&addr);
    } else {
        // A local socket (a socket pair, a pipe's peer): this machine, like loopback.
        std::snprintf(peer->addr, sizeof peer->addr, "local");
    }
    peer->loopback = !ip || is_loopback(&addr);
    if (!peer->loopback) {
        bool protect;
        {
            std::lock_guard<std::mutex> guard(g_access.lock);
            protect = g_access.protected_mode;
        }
        if (have_pwd) return DBG_ACCESS_NEED_PWD;
        if (!protect) return DBG_ACCESS_SERVE;
        std::snprintf(why, DBG_ACCESS_TEXT_SIZE,
                      "error: protected mode: connections from %s need a password; set debug:shell_server_pwd "
                      "(web: debug:http_server_user and debug:http_server_pwd), or debug:protected_mode = 0",
                      peer->addr);
        return DBG_ACCESS_REFUSE;
    }
    peer->uid_known = os_socket_peer_uid_of(sock, local, ip ? &addr : nullptr, &peer->uid);
    if (peer->uid_known && uid_allowed(peer->uid)) return DBG_ACCESS_SERVE;
    if (have_pwd) return DBG_ACCESS_NEED_PWD;
    if (peer->uid_known)
        std::snprintf(why, DBG_ACCESS_TEXT_SIZE, "error: user %u may not use this %s", peer->uid, what);
    else
        std::snprintf(why, DBG_ACCESS_TEXT_SIZE, "error: the user of this connection is unknown, so it is refused");
    return DBG_ACCESS_REFUSE;
}

int dbgsh_gate_open(dbgsh_gate *gate, net_sock *stream) {
    *gate = dbgsh_gate{};
    gate->stream = stream;
    char why[DBG_ACCESS_TEXT_SIZE];
    dbg_access_verdict verdict = dbg_access_check(stream->sock, have_shell_pwd(), "shell", &gate->peer, why);
    if (verdict == DBG_ACCESS_SERVE) return 0;
    if (verdict == DBG_ACCESS_NEED_PWD) {
        gate->need_pwd = true;
        return 0;
    }
    char who[128];
    gate_who(gate, who, sizeof who);
    static dbg_log_rate rate;
    unsigned skipped = 0;
    if (dbg_log_rate_due(&rate, &skipped))
        LOGW("shell session refused: %s: %s (%u more refused since the last report)\n", who, why, skipped);
    std::string line = std::string(why) + "\r\n";
    // With the end-of-reply byte, so that a client waiting for a reply stops.
    net_write(stream, line.c_str(), line.size() + 1);
    drain_input(stream);
    return -1;
}

int dbgsh_gate_request(dbgsh_gate *gate, shell_ctx *ctx, const char *line) {
    char who[128];
    gate_who(gate, who, sizeof who);
    bool is_auth = std::strncmp(line, "auth", 4) == 0 && (line[4] == ' ' || line[4] == 0);
    if (is_auth) {
        const char *given = line[4] ? line + 5 : "";
        if (!have_shell_pwd()) {
            reply(ctx, gate->need_pwd ? "error: no shell password is set" : "ok");
            return 1;
        }
        if (pwd_matches(given)) {
            gate->authed = true;
            LOGI("shell session authenticated: %s\n", who);
            reply(ctx, "ok");
            return 1;
        }
        ++gate->wrong;
        static dbg_log_rate rate;
        unsigned skipped = 0;
        if (dbg_log_rate_due(&rate, &skipped))
            LOGW("shell session: wrong password %d of %d: %s (%u more wrong since the last report)\n", gate->wrong,
                 DBG_AUTH_MAX_TRIES, who, skipped);
        if (gate->wrong >= DBG_AUTH_MAX_TRIES) {
            reply(ctx, "error: wrong password, too many tries: closing");
            if (gate->stream) drain_input(gate->stream);
            return -1;
        }
        char text[96];
        std::snprintf(text, sizeof text, "error: wrong password (%d of %d tries)", gate->wrong, DBG_AUTH_MAX_TRIES);
        reply(ctx, text);
        return 1;
    }
    if (gate->need_pwd && !gate->authed) {
        reply(ctx, "error: this shell needs a password first: auth <password> (debug:shell_server_pwd)");
        return 1;
    }
    // Session options are the client's own framing, not commands.
    if (line[0] && line[0] != '\x01') dbg_audit_command(who, line);
    return 0;
}

void dbg_audit_command(const char *who, const char *line) {
    static constexpr const char *NOTICE[] = {"set", "call", "exit", "source"};
    size_t word = std::strcspn(line, " \t");
    bool notice = false;
    for (const char *name : NOTICE)
        if (std::strlen(name) == word && std::strncmp(line, name, word) == 0) notice = true;
    if (notice)
        LOGN("command from %s: %s\n", who, line);
    else
        LOGI("command from %s: %s\n", who, line);
}

int dbgcli_auth(net_sock *stream) {
    std::string pwd = dbg_access_client_pwd();
    if (pwd.empty()) return 0;
    std::string request = "auth " + pwd;
    if (net_write(stream, request.c_str(), request.size() + 1) != static_cast<int>(request.size() + 1)) return -1;
    char answer[NET_GETS_NUL_MAXN];
    if (net_gets_nul(stream, answer) <= 0) {
        std::fprintf(stderr, "error: the shell did not answer the password\n");
        return -1;
    }
    size_t len = std::strcspn(answer, "\r\n");
    answer[len] = 0;
    if (std::strcmp(answer, "ok") == 0) return 0;
    std::fprintf(stderr, "%s\n", answer);
    return -1;
}

bool dbg_log_rate_due(dbg_log_rate *rate, unsigned *skipped) {
    constexpr uint64_t INTERVAL_MS = 60000;
    uint64_t now = os_clock_ms() + INTERVAL_MS;  // never 0, so the first one is always due
    uint64_t last = rate->last_ms.load(std::memory_order_relaxed);
    if (last != 0 && now - last < INTERVAL_MS) {
        rate->skipped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (!rate->last_ms.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        rate->skipped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    *skipped = rate->skipped.exchange(0, std::memory_order_relaxed);
    return true;
}
