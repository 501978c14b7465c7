#define LOG_TAG "dbg"
#include "libdbg/shell_tcp_server.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>

#include "libdbg/shell_session.h"
#include "libnet/net_sock.h"
#include "libnet/sock_thread_server.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

// The connection record; the context server hands out NETSH_CTX_SIZE bytes.
struct netsh_ctx {
    sock_ctx head;
    net_sock stream;
    sock_stop_hook stop;
};
static_assert(sizeof(netsh_ctx) <= NETSH_CTX_SIZE, "connection record outgrew its pool size");

struct netsh_server {
    std::mutex lock;  // start and stop
    sock_ctx_srv *ctx_srv = nullptr;
    sock_srv *listener = nullptr;
    std::atomic<int> port{0};
};
netsh_server g_server;

// The session of the calling thread, so that a stop from inside a session
// knows which thread not to wait for.
thread_local netsh_ctx *t_session = nullptr;

// Session threads that are still running, including any that a stop gave up
// waiting for: the shell they use must outlive them.
std::atomic<int> g_live_sessions{0};
std::atomic<int> g_max_sessions{NETSH_MAX_SESSIONS};

// Every session notices a stop within a few hundred ms; one that has not
// ended by then is stuck, and the stop does not wait for it longer.
constexpr uint32_t LIVE_SESSIONS_WAIT_MS = 1000;

// The stream's waits ask this every few hundred ms: a stopping server ends
// sessions that sit in a read or a write.
bool session_stop_requested(void *user, uint32_t) {
    auto *rec = static_cast<netsh_ctx *>(user);
    return rec->head.state.load(std::memory_order_relaxed) == SOCK_CTX_STATE_STOP;
}

}  // namespace

int accept_proc(os_socket sock, const os_ipaddr *, void *arg) {
    auto *ctx_srv = static_cast<sock_ctx_srv *>(arg);
    int max_sessions = g_max_sessions.load(std::memory_order_relaxed);
    if (sock_tcp_ctx_count(ctx_srv) >= static_cast<size_t>(max_sessions)) {
        // Refused at once and told why, with the end-of-reply byte so that a
        // client waiting for a reply stops waiting.
        char line[128];
        int len = std::snprintf(line, sizeof line, "error: too many shell sessions (%d), try again later\r\n",
                                max_sessions);
        os_socket_send(sock, line, static_cast<size_t>(len) + 1);
        // A client sends its first request as soon as it is connected. Closed
        // with those bytes unread, the socket would answer with a reset, which
        // can throw the message away before the client has read it.
        char unread[512];
        for (int reads = 0; reads < 16 && os_socket_recv(sock, unread, sizeof unread) > 0; ++reads) {
        }
        os_socket_exit(sock);
        LOGW("shell session refused: %d sessions open (debug:shell_server_max_sessions)\n", max_sessions);
        return -1;
    }
    if (sock_tcp_ctx_open(ctx_srv, sock) != 0) {
        // sock_tcp_ctx_open has closed the socket.
        LOGE(" malloc_ctx error\n");
        return -1;
    }
    return 0;
}

uint32_t netsh_srv_thread(void *arg) {
    auto *rec = static_cast<netsh_ctx *>(arg);
    g_live_sessions.fetch_add(1, std::memory_order_acq_rel);
    LOGV("==>\n");
    t_session = rec;
    // The pool hands out zeroed bytes; only the head was constructed by the context server.
    new (&rec->stream) net_sock{};
    new (&rec->stop) sock_stop_hook{};
    shell_ctx ctx{};
    // The session works on a descriptor of its own and sleeps in a blocking
    // receive between requests. The record keeps the first one, through which
    // a stop shuts the input down until it is closed under the list lock.
    os_socket own = os_socket_dup(rec->head.sock);
    if (own != OS_SOCKET_NONE) os_socket_ctrl(own, OS_SOCKET_CTRL_SET_BLOCKING, 1);
    if (own != OS_SOCKET_NONE && dbgsh_srv_ctx_init(&ctx, &rec->stream, NET_MODE, own) == 0) {
        rec->stop.func = session_stop_requested;
        rec->stop.user = rec;
        rec->stop.wake = rec->head.srv->wake[0];
        rec->stream.stop = &rec->stop;
        // The session loop closes the stream, and with it its descriptor, on every way out.
        dbgsh_srv_imp(&ctx);
    } else if (own != OS_SOCKET_NONE) {
        os_socket_exit(own);
    }
    sock_tcp_ctx_close(&rec->head);
    t_session = nullptr;
    LOGV("<==\n");
    g_live_sessions.fetch_sub(1, std::memory_order_acq_rel);
    return 0;
}

namespace {

// Ends the sessions and frees the context server, unless the caller is one of
// the sessions: then the server waits for a later call from another thread.
void finish_sessions_locked() {
    if (!g_server.ctx_srv) return;
    if (sock_tcp_ctx_exit(g_server.ctx_srv)) g_server.ctx_srv = nullptr;
}

}  // namespace

int debug_shell_server_init(const char *addr_list, int port) {
    std::lock_guard<std::mutex> guard(g_server.lock);
    // A stop run from inside a session may still wait for that session.
    if (!g_server.listener && !t_session) finish_sessions_locked();
    if (g_server.ctx_srv) return -1;
    sock_ctx_srv *ctx_srv = sock_tcp_ctx_init("netsh_srv", NETSH_CTX_SIZE, netsh_srv_thread);
    if (!ctx_srv) return -1;
    // Sessions share the shell's state: a fault in one ends the process with
    // a report and a dump rather than leave the others on broken state.
    ctx_srv->except_opt = {};
    ctx_srv->shutdown_on_stop = 1;
    sock_srv_conf conf{};
    conf.name = "netsh";
    conf.backlog = NETSH_BACKLOG;
    conf.accept_proc = accept_proc;
    conf.arg = ctx_srv;
    const char *list = addr_list && addr_list[0] ? addr_list : nullptr;
    sock_srv *listener = sock_server_init_imp(list, port, &conf);
    if (!listener || listener->count == 0 || sock_server_missed_configured(list, &conf)) {
        sock_tcp_server_exit(listener);
        sock_tcp_ctx_exit(ctx_srv);
        errno = conf.bind_error;
        return -1;
    }
    g_server.ctx_srv = ctx_srv;
    g_server.listener = listener;
    for (uint32_t i = 0; i < listener->count; ++i) {
        os_ipaddr local{};
        char text[OS_IPADDR_CSTR_MAXN];
        if (os_socket_local(listener->socks[i], &local) && os_ipaddr_cstr_short(&local, text, sizeof text))
            LOGI("debug shell listening on %s\n", text);
    }
    g_server.port.store(port != 0 ? port : static_cast<int>(conf.bound_port), std::memory_order_relaxed);
    return 0;
}

void debug_shell_server_exit() {
    LOGV("==>\n");
    std::lock_guard<std::mutex> guard(g_server.lock);
    // No new connections first, so that the session list can only shrink.
    sock_tcp_server_exit(g_server.listener);
    g_server.listener = nullptr;
    g_server.port.store(0, std::memory_order_relaxed);
    finish_sessions_locked();
}

bool debug_shell_server_wait() {
    if (t_session) return true;
    {
        std::lock_guard<std::mutex> guard(g_server.lock);
        if (!g_server.listener) finish_sessions_locked();
    }
    // A session busy in a long write can outlast the one-second join; the
    // libraries go down only after the last one has left.
    uint64_t start = os_clock_ms();
    while (g_live_sessions.load(std::memory_order_acquire) > 0 && !g_server.listener) {
        if (os_clock_ms() - start >= LIVE_SESSIONS_WAIT_MS) {
            LOGE("sessions still running=%d\n", g_live_sessions.load());
            return false;
        }
        os_sleep_ms(10);
    }
    return true;
}

void debug_shell_server_max_sessions_set(int max_sessions) {
    g_max_sessions.store(max_sessions > 0 ? max_sessions : NETSH_MAX_SESSIONS, std::memory_order_relaxed);
}

int debug_shell_server_port() { return g_server.port.load(std::memory_order_relaxed); }

size_t debug_shell_server_sessions() {
    std::lock_guard<std::mutex> guard(g_server.lock);
    return g_server.ctx_srv ? sock_tcp_ctx_count(g_server.ctx_srv) : 0;
}

bool debug_shell_server_session_stopping() {
    netsh_ctx *rec = t_session;
    return rec && rec->head.state.load(std::memory_order_relaxed) == SOCK_CTX_STATE_STOP;
}
