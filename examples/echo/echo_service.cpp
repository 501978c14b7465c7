// The echo service: accept, the three procedures of an event context, the
// limits, and the stop.
#define LOG_TAG "main"
#include "echo_service.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "libnet/sock_event.h"
#include "libnet/sock_event_loop.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_builder.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app.h"
#include "libpal/value/dvar.h"
#include "libpal/value/rvar.h"
#include "liblog/log2.h"

namespace {

constexpr size_t RECV_CHUNK = 16384;
// Chunks read per event: one busy client must not hold the loop from the others.
constexpr int RECV_CHUNKS_PER_EVENT = 4;
constexpr uint64_t WARN_EVERY_MS = 60000;
constexpr int STOP_WAIT_MS = 5000;

// One client. Both strings stay empty (no heap) while the client is idle.
struct echo_conn {
    sock_event_ctx *ctx = nullptr;
    echo_conn *prev = nullptr;
    echo_conn *next = nullptr;
    std::string partial;   // the line begun, without its end
    std::string pending;   // echo the socket has not taken yet
    bool closing = false;  // an error line is on its way: close once it has gone
};

// A complaint that repeats: said at most once a minute, with the count.
struct echo_warning {
    std::atomic<uint64_t> count{0};
    uint64_t said_ms = 0;  // loop thread only
};

struct echo_state {
    std::atomic<sock_srv *> server{nullptr};
    // The loop's list: changed only inside a loop pass or with the loop down.
    echo_conn *conns = nullptr;
    std::atomic<bool> stop_requested{false};
    std::atomic<int32_t> port{0};
    std::atomic<uint32_t> max_clients{ECHO_MAX_CLIENTS_DEFAULT};
    std::atomic<uint32_t> max_line{ECHO_MAX_LINE_DEFAULT};
    std::atomic<uint32_t> output_cap{ECHO_OUTPUT_CAP_DEFAULT};
    std::atomic<uint32_t> connections{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> lines{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> idle_closed{0};
    echo_warning refused;
    echo_warning long_line;
    echo_warning slow_reader;
};

echo_state g;

uint64_t load(const std::atomic<uint64_t> &v) { return v.load(std::memory_order_relaxed); }
void bump(std::atomic<uint64_t> &v, uint64_t n = 1) { v.fetch_add(n, std::memory_order_relaxed); }

// Counts, and says so when the last saying is a minute old.
bool warn_due(echo_warning &w) {
    bump(w.count);
    const uint64_t now = os_clock_ms();
    if (w.said_ms != 0 && now - w.said_ms < WARN_EVERY_MS) return false;
    w.said_ms = now | 1;
    return true;
}

const char *peer_text(sock_event_ctx *ctx, char *buf, size_t n) {
    os_ipaddr peer{};
    if (!os_socket_peer(sock_event_socket(ctx), &peer)) return "?";
    return os_ipaddr_cstr(&peer, buf, n);
}

// Sends what waits; write interest stays on while some is left. -1 closes:
// a send error, or more waiting than the cap allows.
int flush(echo_conn *conn) {
    const os_socket sock = sock_event_socket(conn->ctx);
    while (!conn->pending.empty()) {
        const int sent = os_socket_send(sock, conn->pending.data(), conn->pending.size());
        if (sent < 0) return -1;
        if (sent == 0) break;  // the socket is full: the writable procedure goes on
        conn->pending.erase(0, static_cast<size_t>(sent));
    }
    const uint32_t cap = g.output_cap.load(std::memory_order_relaxed);
    if (conn->pending.size() > cap) {
        if (warn_due(g.slow_reader)) {
            char peer[OS_IPADDR_CSTR_MAXN];
            LOGW("echo: %s reads too slowly (%zu bytes wait, the cap is %u): closed; %llu so far\n",
                 peer_text(conn->ctx, peer, sizeof peer), conn->pending.size(), cap,
                 static_cast<unsigned long long>(load(g.slow_reader.count)));
        }
        return -1;
    }
    if (conn->pending.empty()) std::string().swap(conn->pending);
    return sock_event_write_interest(conn->ctx, !conn->pending.empty());
}

// An error line that has gone out ends the connection.
bool error_sent(const echo_conn *conn) { return conn->closing && conn->pending.empty(); }

int refuse_long_line(echo_conn *conn) {
    const uint32_t max_line = g.max_line.load(std::memory_order_relaxed);
    if (warn_due(g.long_line)) {
        char peer[OS_IPADDR_CSTR_MAXN];
        LOGW("echo: %s sent a line longer than %u bytes: closed; %llu so far\n",
             peer_text(conn->ctx, peer, sizeof peer), max_line,
             static_cast<unsigned long long>(load(g.long_line.count)));
    }
    char line[96];
    std::snprintf(line, sizeof line, "error: line longer than %u bytes\n", max_line);
    std::string().swap(conn->partial);
    conn->pending += line;
    conn->closing = true;
    return flush(conn);
}

// Echoes every complete line of data; the rest waits for its end. The lines
// before one that is too long still go back, ahead of the error line.
int echo_input(echo_conn *conn, const char *data, size_t len) {
    const size_t max_line = g.max_line.load(std::memory_order_relaxed);
    size_t begun = conn->partial.size();  // bytes of the current line before data
    size_t done = 0;                      // bytes of data up to the last line end
    uint64_t lines = 0;
    bool too_long = false;
    for (const char *end = data + len, *p = data; p < end;) {
        const auto *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        too_long = begun + static_cast<size_t>((nl ? nl : end) - p) > max_line;
        if (!nl || too_long) break;
        begun = 0;
        ++lines;
        p = nl + 1;
        done = static_cast<size_t>(p - data);
    }
    if (lines > 0) {
        bump(g.lines, lines);
        bump(g.bytes, conn->partial.size() + done);
        // Output keeps its order: what waits, the line begun earlier, then the new lines.
        conn->pending += conn->partial;
        std::string().swap(conn->partial);
        size_t sent = 0;
        if (conn->pending.empty()) {
            const int n = os_socket_send(sock_event_socket(conn->ctx), data, done);
            if (n < 0) return -1;
            sent = static_cast<size_t>(n);
        }
        conn->pending.append(data + sent, done - sent);
    }
    if (too_long) return refuse_long_line(conn);
    conn->partial.append(data + done, len - done);
    return lines > 0 ? flush(conn) : 0;
}

int echo_readable(sock_event_ctx *ctx, uint32_t, void *host) {
    auto *conn = static_cast<echo_conn *>(host);
    char buf[RECV_CHUNK];
    for (int i = 0; i < RECV_CHUNKS_PER_EVENT; ++i) {
        const int n = sock_event_recv(ctx, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            flush(conn);  // the peer has gone or failed: what waits gets one last try
            return -1;
        }
        // After an error line the input is read and dropped, so that the close is orderly.
        if (!conn->closing && echo_input(conn, buf, static_cast<size_t>(n)) < 0) return -1;
        // A short read took all there was; the level-triggered context raises
        // the next arrival itself, so a second receive would only say "nothing".
        if (static_cast<size_t>(n) < sizeof buf) break;
    }
    return error_sent(conn) ? -1 : 0;
}

int echo_writable(sock_event_ctx *, void *host) {
    auto *conn = static_cast<echo_conn *>(host);
    return flush(conn) < 0 || error_sent(conn) ? -1 : 0;
}

void echo_closed(sock_event_ctx *, void *host, int reason) {
    auto *conn = static_cast<echo_conn *>(host);
    if (reason == SOCK_EVENT_CLOSED_IDLE) bump(g.idle_closed);
    if (conn->prev) conn->prev->next = conn->next;
    else g.conns = conn->next;
    if (conn->next) conn->next->prev = conn->prev;
    g.connections.fetch_sub(1, std::memory_order_relaxed);
    delete conn;
}

const sock_event_procs kEchoProcs = {echo_readable, echo_writable, echo_closed};

// Loop thread. A refused client gets one line; it has sent nothing yet, so the close is orderly.
int echo_accept(os_socket sock, const os_ipaddr *peer, void *) {
    const uint32_t max_clients = g.max_clients.load(std::memory_order_relaxed);
    if (g.connections.load(std::memory_order_relaxed) >= max_clients ||
        g.stop_requested.load(std::memory_order_relaxed)) {
        char line[96];
        std::snprintf(line, sizeof line, "error: too many connections (max_clients %u)\n", max_clients);
        os_socket_send(sock, line, std::strlen(line));
        os_socket_exit(sock);
        if (warn_due(g.refused)) {
            char text[OS_IPADDR_CSTR_MAXN];
            LOGW("echo: %s refused, %u clients are connected (max_clients); %llu refused so far\n",
                 os_ipaddr_cstr(peer, text, sizeof text), max_clients,
                 static_cast<unsigned long long>(load(g.refused.count)));
        }
        return -1;
    }
    auto *conn = new (std::nothrow) echo_conn;
    if (!conn) {
        os_socket_exit(sock);
        return -1;
    }
    // A failed open has closed the socket and said why.
    conn->ctx = sock_event_open(sock, &kEchoProcs, conn, 0);
    if (!conn->ctx) {
        delete conn;
        return -1;
    }
    conn->next = g.conns;
    if (g.conns) g.conns->prev = conn;
    g.conns = conn;
    g.connections.fetch_add(1, std::memory_order_relaxed);
    bump(g.accepted);
    return 0;
}

// Loop thread, after every pass: a stop asked for elsewhere closes every
// client here, where no procedure of theirs can be running.
// Set only for the stop: a hook keeps the loop waking once a second, and an
// idle service must not wake at all.
void echo_periodic(void *) {
    if (!g.stop_requested.load(std::memory_order_relaxed)) return;
    while (g.conns) sock_event_close(g.conns->ctx);
    sock_env_periodic_set(nullptr, nullptr);
}

int max_line_set(const char *value, char *err) {
    char *end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(value, &end, 10);
    if (errno || end == value || *end || value[0] == '-' || n < ECHO_MAX_LINE_MIN || n > ECHO_MAX_LINE_MAX) {
        str_sprintf_s(err, DVAR_ERR_SIZE, "invalid param [%s]: a line length from %u to %u bytes\n", value,
                      ECHO_MAX_LINE_MIN, ECHO_MAX_LINE_MAX);
        return -1;
    }
    g.max_line.store(static_cast<uint32_t>(n), std::memory_order_relaxed);
    LOGI("echo: max_line is now %lu bytes\n", n);
    return 0;
}

int max_line_get(char *buf, int size) {
    std::snprintf(buf, static_cast<size_t>(size), "%u", g.max_line.load(std::memory_order_relaxed));
    return 0;
}

dvar g_max_line_var = {"echo.max_line", 0, "16..1048576", "Longest line the echo service takes, in bytes",
                       max_line_set, max_line_get, 0, 0};
rvar g_show_var = {"echo", "Show the echo service's connections and traffic", echo_service_show};

}  // namespace

void echo_service_items_add() {
    dvar_mgr_add(dvar_mgr, &g_max_line_var);
    rvar_mgr_add(&g_show_var);
}

int32_t echo_service_start(const echo_conf *conf) {
    const char *addrs = conf->addr ? conf->addr : OS_IPADDR_LOOPBACK_LIST;
    g.stop_requested.store(false, std::memory_order_relaxed);
    g.port.store(conf->port, std::memory_order_relaxed);
    g.max_clients.store(conf->max_clients, std::memory_order_relaxed);
    g.max_line.store(conf->max_line, std::memory_order_relaxed);
    g.output_cap.store(conf->output_cap, std::memory_order_relaxed);
    // The sweep closes silent connections; a client that never sent anything counts as silent too.
    sock_env_first_data_timeout_set(conf->idle_timeout_ms);
    sock_env_idle_timeout_set(conf->idle_timeout_ms);
    sock_srv_conf srv_conf{};
    srv_conf.name = "echo";
    srv_conf.backlog = 511;
    srv_conf.accept_proc = echo_accept;
    sock_srv *srv = sock_server_init_imp(addrs, conf->port, &srv_conf);
    if (!srv || srv->count == 0 || sock_server_missed_configured(addrs, &srv_conf)) {
        sock_tcp_server_exit(srv);
        app_start_failed("echo cannot listen on [%s] port %d: %s", addrs, conf->port,
                         srv_conf.bind_error ? std::strerror(srv_conf.bind_error) : "no listener could be opened");
        return -1;
    }
    // Release: the stop, on another thread, goes on with this record.
    g.server.store(srv, std::memory_order_release);
    LOGI("echo: listening on [%s] port %d (max_clients %u, max_line %u, output_cap %u, idle_timeout_ms %u)\n",
         addrs, conf->port, conf->max_clients, conf->max_line, conf->output_cap, conf->idle_timeout_ms);
    return 0;
}

int32_t echo_service_stop() {
    sock_srv *srv = g.server.exchange(nullptr, std::memory_order_acq_rel);
    if (!srv) return 0;
    sock_tcp_server_exit(srv);
    g.stop_requested.store(true, std::memory_order_relaxed);
    // Wake the loop so that its periodic procedure closes the clients now;
    // whatever is left when the loop is gone, its exit closes.
    sock_env_periodic_set(echo_periodic, nullptr);
    if (os_poller *poller = sock_env_poller()) os_poller_spak(poller);
    for (int waited = 0; g.connections.load(std::memory_order_relaxed) > 0 && waited < STOP_WAIT_MS; waited += 10)
        os_sleep_ms(10);
    LOGI("echo: stopped; %llu connections served\n", static_cast<unsigned long long>(load(g.accepted)));
    return 0;
}

char *echo_service_show() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    str_buf_printf(b, "port=%d\n", g.port.load(std::memory_order_relaxed));
    str_buf_printf(b, "connections=%u\n", g.connections.load(std::memory_order_relaxed));
    str_buf_printf(b, "max_clients=%u\n", g.max_clients.load(std::memory_order_relaxed));
    str_buf_printf(b, "accepted=%llu\n", static_cast<unsigned long long>(load(g.accepted)));
    str_buf_printf(b, "refused=%llu\n", static_cast<unsigned long long>(load(g.refused.count)));
    str_buf_printf(b, "lines=%llu\n", static_cast<unsigned long long>(load(g.lines)));
    str_buf_printf(b, "bytes=%llu\n", static_cast<unsigned long long>(load(g.bytes)));
    str_buf_printf(b, "long_line_closed=%llu\n", static_cast<unsigned long long>(load(g.long_line.count)));
    str_buf_printf(b, "slow_reader_closed=%llu\n", static_cast<unsigned long long>(load(g.slow_reader.count)));
    str_buf_printf(b, "idle_closed=%llu\n", static_cast<unsigned long long>(load(g.idle_closed)));
    return str_buf_take(b);
}
