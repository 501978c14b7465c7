// The web console's server: settings, page, the endpoint table, the bounded
// set of "http_cli" connection threads, authentication and the small
// endpoints. /cmd, /log and the Prometheus view have their own units.
#define LOG_TAG "dbg"
#include "libdbg/web_console.h"
#include "libpal/network/os_ipaddr.h"

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <vector>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "libdbg/web_console_imp.h"
#include "libnet/sock_event_loop.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libpal/value/var_registry.h"
#include "libpwd/libpwd.h"
#include "liblog/log2.h"

namespace {

constexpr uint32_t IDLE_THREAD_MS = 2000;        // an idle connection thread ends after this
// A client speaks first: a connection is accepted once its request came
// (or after this long without), so that its thread does not wait for the bytes.
constexpr uint32_t DEFER_ACCEPT_S = 1;
constexpr uint32_t STOP_WAIT_MS = 30000;         // longest wait for connection threads at a stop
constexpr size_t QUERY_PART_MAXN = 8192;
constexpr size_t UPDATE_ARG_SIZE = 64;
constexpr size_t UPDATE_MSG_MAXN = 511;
constexpr char METRICS_TEXT[] = "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";

struct http_state {
    std::mutex lock;  // everything below
    std::condition_variable gone;  // a connection thread ended, or the accepting one left its wait
    web_settings settings{};
    int opt_use_libpwd = 0;
    int opt_max_clients = DBG_HTTP_MAX_CLIENTS;
    char *page = nullptr;  // from debug.html; null: the built-in page
    httpd_server *server = nullptr;
    sock_srv *listener = nullptr;
    int threads = 0;  // alive
    // Idle connection threads accept by themselves: one waits on the
    // listeners (the accepting place), the others wait for that place. The
    // event loop accepts only while no thread holds the place: before the
    // first thread, and while every thread is busy at the cap.
    bool leading = false;    // a thread holds the accepting place
    bool accepting = false;  // ... and waits on the listeners now
    // Idle threads waiting for the place, most recently idle last: the
    // place goes to the top, so that threads left over from a burst stay
    // idle long enough to end.
    std::vector<struct follower *> followers;
    bool armed = false;      // the listeners are in the event loop's poller
    int wake[2] = {-1, -1};  // written at a stop: ends the accepting thread's wait
    bool stopping = false;
    bool running = false;
};
struct follower {
    std::condition_variable woken;
    bool promoted = false;  // under g_http.lock: the place is this thread's now
};

http_state g_http;
// One change of the loop's part at a time; never taken under g_http.lock,
// since a change waits for the loop's pass, which may wait for that lock.
std::mutex g_arm;
std::atomic<int> g_port{0};
std::atomic<int> g_thread_count{0};
// Connection threads inside a request now; the others are idle or on their
// way back to the accepting place.
std::atomic<int> g_serving{0};
std::atomic<int> g_cap{DBG_HTTP_MAX_CLIENTS};  // debug:http_max_clients of the running server
// The listeners as a thread back from a reply tries them, without a wait:
// under load a connection is queued already, and taking it there spares the
// hand-off of the accepting place. Cleared, exclusively, before they close.
struct listen_set {
    uint32_t count = 0;
    os_socket socks[SOCK_SRV_MAX_LISTEN]{};
    // Each listener's own address when it is bound to one: an accepted
    // connection's local address then; empty for a wildcard listener.
    os_ipaddr locals[SOCK_SRV_MAX_LISTEN]{};
};
// g_listen; taken after g_http.lock, never before. Written under both, so
// that the accepting place reads it under g_http.lock alone.
std::shared_mutex g_listen_rw;
listen_set g_listen;
// Every request's stream asks this while it waits, so a stop ends reads and writes early.
sock_stop_hook g_stop_hook{};
thread_local bool t_on_connection_thread = false;

char *dup_text(const char *text) { return mem_strdup(text ? text : ""); }

void free_settings_locked() {
    web_settings &s = g_http.settings;
    mem_free(s.title);
    mem_free(s.user);
    mem_free(s.pwd);
    mem_free(s.prompt);
    s.title = s.user = s.pwd = s.prompt = nullptr;
}

const web_settings &settings() { return g_http.settings; }

const char *page_text() { return g_http.page ? g_http.page : HTTP_BUILTIN_PAGE; }

void close_wake_locked() {
    for (int &fd : g_http.wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

// Frees what the connection threads may use; under the lock, once none runs.
void release_locked() {
    httpd_server_free(g_http.server);
    g_http.server = nullptr;
    http_log_exit();
    mem_free(g_http.page);
    g_http.page = nullptr;
    free_settings_locked();
    close_wake_locked();
    g_http.running = false;
}

int endpoint_of(const httpd_request *r) {
    if (!r->entry) return HTTP_EP_NOT_FOUND;
    static constexpr struct {
        const char *path;
        int id;
    } TABLE[] = {{"/", HTTP_EP_ROOT},           {"/cmd", HTTP_EP_CMD},
                 {"/log", HTTP_EP_LOG},         {"/config", HTTP_EP_CONFIG},
                 {"/update", HTTP_EP_UPDATE},   {"/metrics", HTTP_EP_METRICS},
                 {"/metrics/prometheus", HTTP_EP_PROMETHEUS}, {"/favicon.ico", HTTP_EP_FAVICON}};
    for (const auto &row : TABLE)
        if (std::strcmp(row.path, r->path) == 0) return row.id;
    return HTTP_EP_NOT_FOUND;
}

void serve(httpd_server *server, httpd_request *r) {
    r->stream.stop = &g_stop_hook;
    if (httpdReadRequest(r) != 0 || !r->path[0]) {
        LOGD("No valid request received\n");
    } else {
        httpdProcessRequest(server, r);
        http_count_request(endpoint_of(r));
    }
    httpd_request_free(r);
}

// Puts the listeners into the event loop's poller or takes them out, as the
// accepting place is empty or held.
void sync_loop_part() {
    std::lock_guard<std::mutex> arm(g_arm);
    sock_srv *srv;
    bool want;
    {
        std::lock_guard<std::mutex> guard(g_http.lock);
        srv = g_http.listener;
        want = !g_http.leading;
        if (!srv || g_http.stopping || want == g_http.armed) return;
    }
    bool ok = true;
    for (uint32_t i = 0; i < srv->count; ++i) {
        if (want)
            ok = sock_poller_insert(srv->socks[i], OS_POLLER_READ, srv) && ok;
        else
            sock_poller_remove(srv->socks[i]);
    }
    if (!ok) LOGE("web console: the event loop took not every listener back: connections wait for a thread\n");
    std::lock_guard<std::mutex> guard(g_http.lock);
    g_http.armed = want;
}

uint32_t httpd_client_thread(void *arg);

// One of the connections the cap allows, taken at once on every path that
// accepts: no two paths both see the last one free.
bool take_serving_slot() {
    if (g_serving.fetch_add(1, std::memory_order_relaxed) < g_cap.load(std::memory_order_relaxed)) return true;
    g_serving.fetch_sub(1, std::memory_order_relaxed);
    return false;
}

// The first connection's slot is taken by the caller, before the thread
// runs, so that no other thread takes it for idle.
bool start_thread_locked(httpd_request *first) {
    os_thread *thread = os_thread_init("http_cli", httpd_client_thread, first, nullptr, nullptr);
    if (!thread) {
        LOGE("Failed to create a new thread (httpd)\n");
        return false;
    }
    ++g_http.threads;
    g_thread_count.store(g_http.threads, std::memory_order_relaxed);
    os_thread_close(thread);
    return true;
}

bool accept_error_passes(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED || error == EPROTO;
}

// The accepting place is empty and this thread leaves it so, busy with a
// connection (got) or ending: someone else takes it. True: the event loop
// must take the listeners back.
bool hand_on_place_locked(bool got) {
    if (g_http.stopping) return false;
    if (!g_http.followers.empty()) {
        // Under the lock: the woken thread's record goes away with its wait.
        follower *next = g_http.followers.back();
        g_http.followers.pop_back();
        next->promoted = true;
        g_http.leading = true;
        next->woken.notify_one();
        return false;
    }
    // Threads between their reply and this place are coming back: a new
    // thread for each moment none waits here grew the set to the cap under load.
    int idle_others = g_http.threads - g_serving.load(std::memory_order_relaxed) - (got ? 0 : 1);
    if (got && idle_others > 0) return false;
    // A busy thread below the cap gets an idle one beside it, which takes the place.
    return !got || g_http.threads >= g_http.settings.max_clients || !start_thread_locked(nullptr);
}

httpd_request *request_of(os_socket sock, const os_ipaddr &peer, const os_ipaddr &local) {
    char addr_text[OS_IPADDR_CSTR_MAXN] = "";
    os_ipaddr_cstr(&peer, addr_text, sizeof addr_text);
    httpd_request *r = httpd_request_new(sock, addr_text);
    if (!r) {
        g_serving.fetch_sub(1, std::memory_order_relaxed);
        LOGE("httpdAccpetConnection sock=%p error\n", reinterpret_cast<void *>(sock));
        os_socket_exit(sock);
        return nullptr;
    }
    r->peer_ip = peer;
    r->local_ip = local;
    r->accept_delay_ms = DEFER_ACCEPT_S * 1000;
    return r;
}

// A connection queued already, taken without a wait; null when none is
// (errors other than an empty queue are the accepting place's to report).
httpd_request *queued_connection() {
    std::shared_lock<std::shared_mutex> guard(g_listen_rw, std::try_to_lock);
    if (!guard.owns_lock()) return nullptr;
    for (uint32_t i = 0; i < g_listen.count; ++i) {
        os_ipaddr peer;
        os_ipaddr_clear(&peer);
        os_socket sock = os_socket_accept(g_listen.socks[i], &peer);
        if (sock == OS_SOCKET_NONE) continue;
        os_ipaddr local = g_listen.locals[i];
        guard.unlock();
        std::unique_lock<std::mutex> lock(g_http.lock);
        if (!take_serving_slot()) {
            lock.unlock();
            LOGD("%d connections served already, a connection refused\n", g_cap.load(std::memory_order_relaxed));
            httpd_refuse_busy(sock);
            os_socket_exit(sock);
            return nullptr;
        }
        // This thread may have been the one coming back for the empty place.
        bool arm = !g_http.leading && !g_http.armed && hand_on_place_locked(true);
        lock.unlock();
        if (arm) sync_loop_part();
        return request_of(sock, peer, local);
    }
    return nullptr;
}

// The next connection of this idle thread, accepted by itself; null when the
// thread should end (idle too long, the server stops, or accepting fails).
httpd_request *next_connection() {
    if (httpd_request *r = queued_connection()) return r;
    uint64_t idle_end = os_clock_ms() + IDLE_THREAD_MS;
    std::unique_lock<std::mutex> lock(g_http.lock);
    if (g_http.leading && !g_http.stopping) {
        follower me;
        g_http.followers.push_back(&me);
        me.woken.wait_for(lock, std::chrono::milliseconds(idle_end - std::min(idle_end, os_clock_ms())),
                          [&me] { return me.promoted || g_http.stopping; });
        if (!me.promoted) {
            // Idle too long, or the stop: still on the list.
            auto &list = g_http.followers;
            list.erase(std::remove(list.begin(), list.end(), &me), list.end());
            return nullptr;
        }
        g_http.leading = false;  // held for this thread: taken again below
    }
    if (g_http.stopping || !g_http.listener) return nullptr;
    g_http.leading = g_http.accepting = true;
    bool disarm = g_http.armed;
    pollfd fds[SOCK_SRV_MAX_LISTEN + 1];
    os_socket socks[SOCK_SRV_MAX_LISTEN];
    os_ipaddr locals[SOCK_SRV_MAX_LISTEN];
    nfds_t count = 0;
    for (uint32_t i = 0; i < g_listen.count; ++i) {
        socks[count] = g_listen.socks[i];
        locals[count] = g_listen.locals[i];
        fds[count++] = {os_socket_fd(g_listen.socks[i]), POLLIN, 0};
    }
    fds[count] = {g_http.wake[0], POLLIN, 0};
    lock.unlock();
    if (disarm) sync_loop_part();

    os_socket sock = OS_SOCKET_NONE;
    os_ipaddr peer;
    const os_ipaddr *local = nullptr;
    bool failed = false;
    while (sock == OS_SOCKET_NONE && !failed) {
        // What is queued already is taken without a wait.
        for (nfds_t i = 0; i < count && sock == OS_SOCKET_NONE; ++i) {
            os_ipaddr_clear(&peer);
            sock = os_socket_accept(socks[i], &peer);
            local = &locals[i];
            if (sock == OS_SOCKET_NONE && !accept_error_passes(errno)) {
                LOGE_OS("web console: accept failed, the event loop takes the connections: ");
                failed = true;
            }
        }
        if (sock != OS_SOCKET_NONE || failed) break;
        uint64_t now = os_clock_ms();
        if (now >= idle_end) break;
        int got = poll(fds, count + 1, static_cast<int>(idle_end - now));
        if (got < 0 && errno != EINTR) failed = true;
        if (fds[count].revents) break;  // the stop
    }

    lock.lock();
    g_http.leading = g_http.accepting = false;
    g_http.gone.notify_all();
    // Counted as serving under the lock, before another thread asks who is
    // coming back: counted later, a thread that had just accepted looked idle,
    // and the next connection then waited unaccepted instead of its 503.
    // The cap counts connections served, checked and counted under the lock
    // on both accepting paths: while this thread took the place, the loop may
    // still have accepted some before it let go of the listeners.
    os_socket refused = OS_SOCKET_NONE;
    if (sock != OS_SOCKET_NONE && !take_serving_slot()) std::swap(refused, sock);
    bool arm = hand_on_place_locked(sock != OS_SOCKET_NONE);
    lock.unlock();
    if (arm) sync_loop_part();
    if (refused != OS_SOCKET_NONE) {
        LOGD("%d connections served already, a connection refused\n", g_cap.load(std::memory_order_relaxed));
        httpd_refuse_busy(refused);
        os_socket_exit(refused);
    }
    if (sock == OS_SOCKET_NONE) return nullptr;
    return request_of(sock, peer, *local);
}

uint32_t httpd_client_thread(void *arg) {
    t_on_connection_thread = true;
    httpd_server *server;
    {
        std::lock_guard<std::mutex> guard(g_http.lock);
        server = g_http.server;
    }
    auto *r = static_cast<httpd_request *>(arg);
    for (;;) {
        if (r) {
            serve(server, r);
            g_serving.fetch_sub(1, std::memory_order_relaxed);
        }
        r = next_connection();
        if (!r) break;
    }
    std::lock_guard<std::mutex> guard(g_http.lock);
    --g_http.threads;
    g_thread_count.store(g_http.threads, std::memory_order_relaxed);
    g_http.gone.notify_all();
    return 0;
}

// A request from a page of another site, which the browser would send with
// the operator's cached credentials.
bool is_cross_site(const httpd_request *r) {
    if (strcasecmp(r->fetch_site, "cross-site") == 0) return true;
    if (!r->origin[0]) return false;
    const char *host = std::strstr(r->origin, "://");
    host = host ? host + 3 : r->origin;
    size_t len = std::strcspn(host, "/");
    return std::strlen(r->host) != len || strncasecmp(host, r->host, len) != 0;
}

int precheck_same_site(httpd_server *, httpd_request *r) {
    if (http_check_host(r) != 0) return -1;
    if (!is_cross_site(r)) return 0;
    LOGW("cross-site request refused: ip=[%s] origin=[%s] path=[%s]\n", r->client_addr, r->origin, r->path);
    httpd_send_403(r);
    return -1;
}

// The endpoints that act or read the log: a browser must show the page's token too.
int precheck_acting(httpd_server *server, httpd_request *r) {
    if (precheck_same_site(server, r) != 0) return -1;
    return http_check_browser(r);
}

// The page and its icon: opened from a link on another site, they still show.
int precheck_host(httpd_server *, httpd_request *r) { return http_check_host(r); }

void http_callback_status(httpd_server *, httpd_request *r) {
    LOGV("[%s]\n", r->query);
    if (is_need_auth(r)) return;
    http_add_page_vars(r);
    char nonce[64];
    if (!http_csp_nonce(nonce, sizeof nonce)) nonce[0] = 0;
    httpd_add_variable(r, "csp_nonce", nonce);
    // Only the page's own code runs, it talks to its own origin only, and no other page frames it.
    std::string policy = std::string("Content-Security-Policy: default-src 'none'; script-src 'nonce-") + nonce +
                         "'; style-src 'nonce-" + nonce +
                         "'; connect-src 'self'; img-src 'self'; form-action 'self'; base-uri 'none'; "
                         "frame-ancestors 'none'\r\nX-Frame-Options: DENY\r\n";
    httpd_add_header(r, policy.c_str());
    httpd_output(r, page_text());
}

void http_callback_favicon(httpd_server *, httpd_request *r) {
    LOGV("[%s]\n", r->query);
    httpd_set_content_type(r, HTTPD_CONTENT_ICON);
    httpd_write(r, HTTP_ICON_PNG, HTTP_ICON_PNG_SIZE);
}

void http_callback_metrics(httpd_server *, httpd_request *r) {
    LOGV("[%s]\n", r->query);
    if (is_need_auth(r)) return;
    httpd_set_content_type(r, HTTPD_CONTENT_TEXT);
    httpd_write(r, METRICS_TEXT, sizeof METRICS_TEXT - 1);
}

void http_callback_config(httpd_server *, httpd_request *r) {
    LOGV("[%s]\n", r->query);
    if (is_need_auth(r)) return;
    httpd_set_content_type(r, HTTPD_CONTENT_JSON);
    char *json = dvar_mgr_json();
    httpd_print(r, json ? json : "[]");
    mem_free(json);
}

void http_callback_update(httpd_server *, httpd_request *r) {
    if (is_need_auth(r)) return;
    httpd_set_content_type(r, HTTPD_CONTENT_JSON);
    char name[UPDATE_ARG_SIZE], value[UPDATE_ARG_SIZE];
    http_query_arg(r->query, "name", name, sizeof name);
    http_query_arg(r->query, "value", value, sizeof value);
    // The page sends both form-encoded; the escapes were checked when the request was read.
    httpd_url_decode(name);
    httpd_url_decode(value);
    char msg[DVAR_ERR_SIZE] = "";
    http_audit(r, (std::string("set ") + name + " " + value).c_str());
    if (value2_set_str(name, value, msg) < 0) {
        LOGD("%s conf_set failed: %s\n", r->query, msg);
        // The message quotes the name the client sent: escaped, it cannot break the object.
        char escaped[UPDATE_MSG_MAXN + 1];
        size_t len = http_json_escape_cut(msg, std::strlen(msg), escaped, UPDATE_MSG_MAXN);
        escaped[len] = 0;
        std::string reply = "{ \"success\" : false, \"msg\" : \"";
        reply += escaped;
        reply += "\" }";
        httpd_print(r, reply.c_str());
        return;
    }
    httpd_print(r, "{ \"success\" : true, \"msg\" : \"ok\" }");
}

struct endpoint_row {
    const char *dir;
    const char *name;
    httpd_func func;
};
constexpr endpoint_row ENDPOINTS[] = {
    {"/", "", http_callback_status},
    {"/", "cmd", http_callback_cmd},
    {"/", "log", http_callback_log},
    {"/", "config", http_callback_config},
    {"/", "update", http_callback_update},
    {"/", "metrics", http_callback_metrics},
    {"/metrics", "prometheus", http_callback_prometheus},
    {"/", "favicon.ico", http_callback_favicon},
};

}  // namespace

void http_add_page_vars(httpd_request *r) {
    httpd_add_variable(r, "title", settings().title);
    httpd_add_variable(r, "sh_psa", settings().prompt);
    httpd_add_variable(r, "token_value", http_page_token());
}

void http_query_arg(const char *query, const char *name, char *out, size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    if (!query || !name) return;
    const char *p = query;
    while (*p) {
        size_t part_len = std::strcspn(p, "&");
        std::string part(p, part_len < QUERY_PART_MAXN ? part_len : QUERY_PART_MAXN - 1);
        size_t eq = part.find('=');
        if (eq == std::string::npos) return;
        auto trim = [](std::string s) {
            size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
            return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
        };
        if (trim(part.substr(0, eq)) == name) {
            std::snprintf(out, size, "%s", trim(part.substr(eq + 1)).c_str());
            return;
        }
        p += part_len;
        if (*p == '&') ++p;
    }
}

int is_need_auth(httpd_request *r) {
    const web_settings &s = settings();
    // A login is the console's password; without one, the peer decides.
    if (!s.user || !s.user[0] || !s.pwd || !s.pwd[0]) return http_check_peer(r);
    if (s.use_libpwd) {
        char msg[LIBPWD_MSG_SIZE] = "";
        if (libpwd_check_user_pwd(r->client_addr, r->user, r->pwd, msg) == LIBPWD_OK) return 0;
        LOGD("authentication error: %s\n", msg);
        http_force_auth(r);
        // The browser shows this body when the operator cancels the login box.
        char escaped[LIBPWD_MSG_SIZE * 2];
        httpd_html_escape(msg, escaped, sizeof escaped);
        httpd_print(r, escaped);
        httpd_print(r, "\n");
        return 1;
    }
    if (std::strcmp(r->user, s.user) == 0 && std::strcmp(r->pwd, s.pwd) == 0) return 0;
    LOGD("Status page requested, forcing authentication\n");
    http_force_auth(r);
    return 1;
}

int http_accept_proc(os_socket sock, const os_ipaddr *peer, void *) {
    // A spare connection that a client closed before it asked for anything
    // ends here, with the reset that spares the client's side TIME_WAIT.
    if (os_socket_peer_closed_empty(sock)) {
        LOGD("No valid request received\n");
        os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_RESET_ON_CLOSE, 1);
        os_socket_exit(sock);
        return -1;
    }
    char addr_text[OS_IPADDR_CSTR_MAXN] = "";
    if (peer) os_ipaddr_cstr(peer, addr_text, sizeof addr_text);
    httpd_request *r = httpd_request_new(sock, addr_text);
    if (!r) {
        os_socket_exit(sock);
        LOGE("httpdAccpetConnection sock=%p error\n", reinterpret_cast<void *>(sock));
        return -1;
    }
    if (peer) r->peer_ip = *peer;
    r->accept_delay_ms = DEFER_ACCEPT_S * 1000;
    std::unique_lock<std::mutex> lock(g_http.lock);
    if (g_http.stopping || !g_http.server) {
        lock.unlock();
        httpd_request_free(r);
        return -1;
    }
    if (!take_serving_slot()) {
        lock.unlock();
        LOGD("%d connections served already, [%s] refused\n", g_cap.load(std::memory_order_relaxed), r->client_addr);
        // Told to come back rather than cut off without a word.
        httpd_refuse_busy(r->stream.sock);
        httpd_request_free(r);
        return -1;
    }
    if (!start_thread_locked(r)) {
        g_serving.fetch_sub(1, std::memory_order_relaxed);
        lock.unlock();
        httpd_request_free(r);
        return -1;
    }
    return 0;
}

void dbg_http_settings_set(const char *title, const char *user, const char *pwd, const char *prompt) {
    std::lock_guard<std::mutex> guard(g_http.lock);
    free_settings_locked();
    g_http.settings.title = dup_text(title);
    g_http.settings.user = dup_text(user);
    g_http.settings.pwd = dup_text(pwd);
    g_http.settings.prompt = dup_text(prompt);
}

void dbg_http_options_set(int use_libpwd, int max_clients) {
    std::lock_guard<std::mutex> guard(g_http.lock);
    g_http.opt_use_libpwd = use_libpwd ? 1 : 0;
    g_http.opt_max_clients = max_clients > 0 ? max_clients : DBG_HTTP_MAX_CLIENTS;
}

int debug_http_server_init(const char *addr_list, int port) {
    if (!http_page_token()[0]) {
        LOGE("debug_http_server_init failed: no random bytes for the page's token\n");
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(g_http.lock);
        if (g_http.running) {
            LOGE("debug_http_server_init failed\n");
            return -1;
        }
        web_settings &s = g_http.settings;
        if (!s.title) {
            s.title = dup_text("");
            s.user = dup_text("");
            s.pwd = dup_text("");
            s.prompt = dup_text("");
        }
        s.use_libpwd = static_cast<uint8_t>(g_http.opt_use_libpwd);
        s.max_clients = g_http.opt_max_clients;
        if (s.use_libpwd) libpwd_set_account(s.user, s.pwd, s.pwd);
        mem_free(g_http.page);
        g_http.page = nullptr;
        size_t size = 0;
        g_http.page = os_file_read_all("debug.html", &size);
        if (g_http.page) LOGD("load debug.html ok\n");
    }
    if (http_log_init() != 0 || dbg_http_server_start(addr_list, port) != 0) {
        int reason = errno;
        std::lock_guard<std::mutex> guard(g_http.lock);
        // A stop under way releases once its threads are gone.
        if (!g_http.listener && !(g_http.stopping && g_http.running)) release_locked();
        LOGE("debug_http_server_init failed\n");
        errno = reason;
        return -1;
    }
    const web_settings &s = settings();
    const char *shown = addr_list ? addr_list : DBG_HTTP_LOOPBACK_ADDRS;
    if (os_ipaddr_list_beyond_loopback(shown) && (!s.user[0] || !s.pwd[0])) {
        LOGW("web console on [%s] port %d is open to the network without a password: set "
             "debug:http_server_user and debug:http_server_pwd, or debug:http_server_addr = 127.0.0.1\n",
             shown[0] ? shown : "all addresses", dbg_http_server_port());
    }
    return 0;
}

int dbg_http_server_start(const char *addr_list, int port) {
    std::unique_lock<std::mutex> lock(g_http.lock);
    if (g_http.running || g_http.listener || g_http.threads > 0) return -1;
    httpd_server *server = httpd_server_new();
    if (!server) {
        LOGE("Could not create web server: %s\n", std::strerror(errno));
        return -1;
    }
    for (const endpoint_row &row : ENDPOINTS) {
        httpd_precheck precheck = precheck_same_site;
        if (row.func == http_callback_favicon || row.func == http_callback_status) precheck = precheck_host;
        if (row.func == http_callback_cmd || row.func == http_callback_log || row.func == http_callback_update)
            precheck = precheck_acting;
        if (httpd_add_c_content(server, row.dir, row.name, 0, precheck, row.func) != 0) {
            httpd_server_free(server);
            return -1;
        }
    }
    if (g_http.settings.max_clients <= 0) g_http.settings.max_clients = g_http.opt_max_clients;
    g_cap.store(g_http.settings.max_clients, std::memory_order_relaxed);
    if (pipe2(g_http.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        LOGE_OS("Could not create web server: ");
        g_http.wake[0] = g_http.wake[1] = -1;
        httpd_server_free(server);
        return -1;
    }
    g_http.server = server;
    g_http.stopping = false;
    g_http.running = true;
    g_stop_hook.stop.store(0, std::memory_order_relaxed);
    sock_srv_conf conf{};
    conf.name = "dbg_http";
    conf.backlog = DBG_HTTP_BACKLOG;
    conf.defer_accept_s = DEFER_ACCEPT_S;
    conf.accept_proc = http_accept_proc;
    conf.arg = server;
    const char *list = addr_list ? addr_list : DBG_HTTP_LOOPBACK_ADDRS;
    // Each listener after the first waits for the event loop's pass, and that
    // pass may be accepting on the first one, which takes this lock. Running
    // is already set, so a second start is refused meanwhile.
    lock.unlock();
    sock_srv *listener = sock_server_init_imp(list[0] ? list : nullptr, port, &conf);
    lock.lock();
    if (g_http.stopping) {
        // A stop came meanwhile; it owns the server record and releases it.
        lock.unlock();
        sock_tcp_server_exit(listener);
        return -1;
    }
    if (!listener || listener->count == 0 || sock_server_missed_configured(list[0] ? list : nullptr, &conf)) {
        // Nothing was listening, so no connection thread has started.
        lock.unlock();
        sock_tcp_server_exit(listener);
        lock.lock();
        g_http.server = nullptr;
        g_http.running = false;
        close_wake_locked();
        httpd_server_free(server);
        errno = conf.bind_error;
        return -1;
    }
    g_http.listener = listener;
    {
        std::unique_lock<std::shared_mutex> listen(g_listen_rw);
        g_listen.count = std::min<uint32_t>(listener->count, SOCK_SRV_MAX_LISTEN);
        for (uint32_t i = 0; i < g_listen.count; ++i) {
            g_listen.socks[i] = listener->socks[i];
            os_ipaddr &addr = g_listen.locals[i];
            if (!os_socket_local(listener->socks[i], &addr) || os_ipaddr_ip_is_any(&addr)) os_ipaddr_clear(&addr);
        }
    }
    // Until a connection thread takes the accepting place, the loop accepts.
    g_http.armed = true;
    g_http.leading = g_http.accepting = false;
    g_http.followers.clear();
    g_port.store(port != 0 ? port : static_cast<int>(conf.bound_port), std::memory_order_relaxed);
    return 0;
}

void dbg_http_server_stop() {
    LOGD("==>\n");
    std::unique_lock<std::mutex> lock(g_http.lock);
    if (!g_http.running) return;
    // No new connections first, so the threads can only become fewer: the
    // accept procedure refuses them from now on.
    sock_srv *listener = g_http.listener;
    g_http.listener = nullptr;
    {
        std::unique_lock<std::shared_mutex> listen(g_listen_rw);
        g_listen.count = 0;
    }
    g_port.store(0, std::memory_order_relaxed);
    g_http.stopping = true;
    g_stop_hook.stop.store(1, std::memory_order_relaxed);
    for (follower *f : g_http.followers) f->woken.notify_one();
    // The accepting thread leaves the listeners before they close: a closed
    // descriptor's number may be a new socket's a moment later.
    if (g_http.wake[1] >= 0 && write(g_http.wake[1], "x", 1) < 0) LOGE_OS("web console: wake-up failed: ");
    if (!g_http.gone.wait_for(lock, std::chrono::milliseconds(STOP_WAIT_MS), [] { return !g_http.accepting; })) {
        LOGE("connection threads still running=%d\n", g_http.threads);
        return;
    }
    // Closing the listeners waits for the event loop's pass, and that pass
    // may itself be waiting for this lock in the accept procedure.
    lock.unlock();
    {
        std::lock_guard<std::mutex> arm(g_arm);
        sock_tcp_server_exit(listener);
    }
    lock.lock();
    int self = t_on_connection_thread ? 1 : 0;
    bool done = g_http.gone.wait_for(lock, std::chrono::milliseconds(STOP_WAIT_MS),
                                     [self] { return g_http.threads <= self; });
    if (!done) {
        LOGE("connection threads still running=%d\n", g_http.threads);
        return;
    }
    // The calling connection thread is past its dispatch: it needs neither
    // the server record nor the page any more.
    release_locked();
}

bool dbg_http_server_wait() {
    if (t_on_connection_thread) return true;
    std::unique_lock<std::mutex> lock(g_http.lock);
    if (!g_http.stopping) return true;
    g_http.gone.wait_for(lock, std::chrono::milliseconds(STOP_WAIT_MS), [] { return g_http.threads == 0; });
    if (g_http.threads != 0) return false;
    if (g_http.running) release_locked();
    return true;
}

int dbg_http_server_port() { return g_port.load(std::memory_order_relaxed); }

int dbg_http_server_threads() { return g_thread_count.load(std::memory_order_relaxed); }

size_t dbg_http_server_connections() {
    std::lock_guard<std::mutex> guard(g_http.lock);
    size_t idle = g_http.followers.size() + (g_http.accepting ? 1 : 0);
    return g_http.threads > 0 && static_cast<size_t>(g_http.threads) > idle ? g_http.threads - idle : 0;
}
