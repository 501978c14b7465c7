// The syslog client. Runs under the log lock, so every wait on the network
// is bounded: a connect, a send and the hold-off after a failed reconnect.
#include "liblog/log_sink_syslog.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "liblog/log_cache.h"
#include "liblog/log_ctx.h"
#include "liblog/log_sink_console.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_url.h"

namespace {

// Lines sent on a connection whose bytes the receiver has not yet
// acknowledged: the ends of up to this many are kept, so that a connection
// given up counts the lines it takes with it.
constexpr size_t INFLIGHT_MAXN = 4096;
// The send buffer asked for; a line is sent only when it fits in a quarter
// of what the kernel grants, so that it goes out whole in one call.
constexpr int SEND_BUFFER_BYTES = 256 * 1024;

struct syslog_client {
    char url[LOG_SYSLOG_URL_MAXN] = {};
    char host[LOG_SYSLOG_URL_MAXN] = {};
    int port = 0;  // 0: the protocol's service name
    int protocol = LOG_SYSLOG_UDP;
    os_socket sock = OS_SOCKET_NONE;
    int state = LOG_SYSLOG_CLOSED;
    // Filled by the resolver thread; resolved once it has finished.
    std::array<os_ipaddr, LOG_SYSLOG_ADDR_MAXN> addrs{};
    size_t addr_count = 0;
    bool resolved = false;
    os_thread *resolver = nullptr;
    uint32_t generation = 0;
    uint64_t retry_after_ms = 0;
    int holdoff_ms = LOG_SYSLOG_RETRY_MS;
    uint64_t connected_ms = 0;
    size_t send_budget = 0;
    // Ends (in bytes sent on the connection) of the lines not yet acknowledged.
    std::array<uint64_t, INFLIGHT_MAXN> inflight{};
    size_t inflight_head = 0;
    size_t inflight_count = 0;
    uint64_t sent_bytes = 0;
    uint64_t lost = 0;
};

// Taken inside the log lock by the write and alone by open, close and the
// resolver; nothing logs while it is held.
std::mutex g_lock;
std::condition_variable g_resolved;
syslog_client g_client;

// Standard error without waiting on a reader that stopped: this runs under
// the log lock, and the log itself is not used, so that a failure cannot
// feed itself.
[[gnu::format(printf, 1, 2)]] void say(const char *fmt, ...) {
    char text[LOG_LINE_MAXN];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    // A cut text still ends its line, so that the next one starts on its own.
    if (n >= static_cast<int>(sizeof text)) text[sizeof text - 2] = '\n';
    log_console_say(text);
}

struct name_value {
    const char *name;
    int value;
};

constexpr std::array<name_value, 22> FACILITIES{{
    {"auth", 32},     {"authpriv", 80}, {"cron", 72},    {"daemon", 24},   {"ftp", 88},
    {"kern", 0},      {"lpr", 48},      {"mail", 16},    {"mark", 192},    {"news", 56},
    {"security", 32}, {"syslog", 40},   {"user", 8},     {"uucp", 64},     {"local0", 128},
    {"local1", 136},  {"local2", 144},  {"local3", 152}, {"local4", 160},  {"local5", 168},
    {"local6", 176},  {"local7", 184},
}};

constexpr std::array<name_value, 12> PRIORITIES{{
    {"alert", 1}, {"crit", 2},  {"debug", 7}, {"emerg", 0},  {"err", 3},  {"error", 3},
    {"info", 6},  {"none", 16}, {"notice", 5}, {"panic", 0}, {"warn", 4}, {"warning", 4},
}};

constexpr std::array<const char *, 8> SEVERITY_NAMES{"panic", "alert", "crit",   "error",
                                                     "warn",  "notice", "info", "debug"};

// Services that the system's database may lack, by their registered numbers.
constexpr std::array<name_value, 2> SERVICE_NUMBERS{{{"syslog", 514}, {"syslog-conn", 601}}};

// A name, or a decimal number equal to one of the values; -1 when neither.
template <size_t N>
int lookup(const std::array<name_value, N> &table, const char *text) {
    for (const name_value &row : table)
        if (strcasecmp(row.name, text) == 0) return row.value;
    char *end = nullptr;
    long number = std::strtol(text, &end, 10);
    if (*text && end && *end == 0)
        for (const name_value &row : table)
            if (row.value == number) return row.value;
    return -1;
}

const char *host_name() {
    static char name[128];
    static std::once_flag once;
    std::call_once(once, [] {
        if (gethostname(name, sizeof name - 1) != 0) name[0] = 0;
        name[sizeof name - 1] = 0;
        if (!name[0] || std::strcmp(name, "(none)") == 0) std::snprintf(name, sizeof name, "unknown");
    });
    return name;
}

bool wait_connected(os_socket sock) {
    uint64_t start = os_clock_ms();
    for (;;) {
        int elapsed = static_cast<int>(os_clock_ms() - start);
        if (elapsed >= LOG_SYSLOG_CONNECT_MS) return false;
        int ready = os_socket_wait_impl(sock, OS_SOCKET_WAIT_WRITE, LOG_SYSLOG_CONNECT_MS - elapsed);
        if (ready < 0) return false;
        if (ready & OS_SOCKET_WAIT_WRITE) return os_socket_error(sock) == 0;
    }
}

// Bytes handed to the kernel and not yet acknowledged by the receiver.
size_t unacked_bytes(os_socket sock) {
    int queued = 0;
    if (ioctl(os_socket_fd(sock), SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<size_t>(queued);
}

// Forgets the lines the receiver has acknowledged.
void prune_inflight(syslog_client &c) {
    uint64_t acked = c.sent_bytes - unacked_bytes(c.sock);
    while (c.inflight_count > 0 && c.inflight[c.inflight_head] <= acked) {
        c.inflight_head = (c.inflight_head + 1) % INFLIGHT_MAXN;
        --c.inflight_count;
    }
}

void note_inflight(syslog_client &c) {
    if (c.inflight_count == INFLIGHT_MAXN) return;
    c.inflight[(c.inflight_head + c.inflight_count) % INFLIGHT_MAXN] = c.sent_bytes;
    ++c.inflight_count;
}

void drop_line(syslog_client &c) {
    ++c.lost;
    log2_sink_count(LOG2_SINK_SYSLOG, true);
}

// Closes the connection; reset: with a reset, so that no unsent data stays
// behind in the kernel. The lines still in flight are counted as lost.
void close_socket(syslog_client &c, bool reset) {
    if (c.sock != OS_SOCKET_NONE) {
        if (c.protocol == LOG_SYSLOG_TCP) {
            prune_inflight(c);
            c.lost += c.inflight_count;
            for (size_t i = 0; i < c.inflight_count; ++i) log2_sink_count(LOG2_SINK_SYSLOG, true);
        }
        if (reset) os_socket_ctrl(c.sock, OS_SOCKET_CTRL_SET_RESET_ON_CLOSE, 1);
        os_socket_exit(c.sock);
    }
    c.sock = OS_SOCKET_NONE;
    c.inflight_head = c.inflight_count = 0;
    c.sent_bytes = 0;
}

void hold_off(syslog_client &c, uint64_t now_ms) {
    if (c.connected_ms && now_ms - c.connected_ms >= static_cast<uint64_t>(LOG_SYSLOG_RETRY_MAX_MS))
        c.holdoff_ms = LOG_SYSLOG_RETRY_MS;
    // Only a connection that lasted counts; a run of failures keeps growing.
    c.connected_ms = 0;
    c.retry_after_ms = now_ms + static_cast<uint64_t>(c.holdoff_ms);
    c.holdoff_ms = c.holdoff_ms * 2 > LOG_SYSLOG_RETRY_MAX_MS ? LOG_SYSLOG_RETRY_MAX_MS : c.holdoff_ms * 2;
}

void connect_client(syslog_client &c) {
    close_socket(c, false);
    uint64_t now = os_clock_ms();
    if (now < c.retry_after_ms || c.addr_count == 0) return;
    c.sock = syslog_connect(c.addrs.data(), c.addr_count, c.protocol);
    if (c.sock == OS_SOCKET_NONE) {
        char port_text[16];
        std::snprintf(port_text, sizeof port_text, "%d", c.port);
        say("failed to connect to %s port %s\n", c.host,
            c.port ? port_text : (c.protocol == LOG_SYSLOG_TCP ? "syslog-conn" : "syslog"));
        hold_off(c, now);
        return;
    }
    c.connected_ms = now;
    if (c.protocol == LOG_SYSLOG_TCP) {
        os_socket_ctrl(c.sock, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, SEND_BUFFER_BYTES);
        uint64_t granted = 0;
        os_socket_ctrl(c.sock, OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, reinterpret_cast<uintptr_t>(&granted));
        c.send_budget = static_cast<size_t>(granted / 4);
    }
}

// The whole message within LOG_SYSLOG_SEND_MS, or nothing of it: it is sent
// only once the unacknowledged bytes leave room for all of it. 1 sent, 0
// timed out before any byte went, -1 failed (cut tells whether a part went).
int send_whole(syslog_client &c, const char *data, size_t len, bool *cut) {
    *cut = false;
    uint64_t start = os_clock_ms();
    for (;;) {
        prune_inflight(c);
        if (unacked_bytes(c.sock) + len <= c.send_budget && c.inflight_count < INFLIGHT_MAXN) break;
        if (os_clock_ms() - start >= static_cast<uint64_t>(LOG_SYSLOG_SEND_MS)) return 0;
        timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    size_t done = 0;
    while (done < len) {
        int n = os_socket_send(c.sock, data + done, len - done);
        if (n < 0) break;
        done += static_cast<size_t>(n);
        if (done == len) break;
        int elapsed = static_cast<int>(os_clock_ms() - start);
        if (elapsed >= LOG_SYSLOG_SEND_MS ||
            os_socket_wait_impl(c.sock, OS_SOCKET_WAIT_WRITE, LOG_SYSLOG_SEND_MS - elapsed) <= 0)
            break;
    }
    c.sent_bytes += done;
    if (done == len) {
        note_inflight(c);
        return 1;
    }
    *cut = done > 0;
    return done > 0 ? -1 : (os_socket_error(c.sock) == 0 ? 0 : -1);
}

// The receiver sends nothing on a syslog stream: readable means it closed.
bool stream_closed(os_socket sock) {
    if (sock == OS_SOCKET_NONE) return false;
    int ready = os_socket_wait_impl(sock, OS_SOCKET_WAIT_READ, 0);
    if (ready == 0) return false;
    if (ready < 0) return true;
    char discard[512];
    return os_socket_recv(sock, discard, sizeof discard) <= 0;
}

// The resolver thread: the name's addresses, found without any lock held.
uint32_t resolve_thread(void *arg) {
    auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    char host[LOG_SYSLOG_URL_MAXN];
    char port_text[16];
    int port, protocol;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        std::memcpy(host, g_client.host, sizeof host);
        port = g_client.port;
        protocol = g_client.protocol;
    }
    if (port) std::snprintf(port_text, sizeof port_text, "%d", port);
    // A name that does not resolve now may later (a resolver still coming
    // up at boot): it is asked again after a hold-off that doubles, until
    // it answers or the sink is closed or set anew.
    for (int holdoff_ms = LOG_SYSLOG_RETRY_MS;;) {
        std::array<os_ipaddr, LOG_SYSLOG_ADDR_MAXN> addrs{};
        size_t count = syslog_resolve(host, port ? port_text : nullptr, protocol, addrs.data(), addrs.size());
        {
            std::lock_guard<std::mutex> guard(g_lock);
            if (g_client.generation != generation) return 0;
            g_client.addrs = addrs;
            g_client.addr_count = count;
            g_client.resolved = true;
            g_resolved.notify_all();
            if (count > 0) return 0;
        }
        for (int slept = 0; slept < holdoff_ms; slept += 100) {
            timespec pause{0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            std::lock_guard<std::mutex> guard(g_lock);
            if (g_client.generation != generation) return 0;
        }
        holdoff_ms = holdoff_ms * 2 > LOG_SYSLOG_RETRY_MAX_MS ? LOG_SYSLOG_RETRY_MAX_MS : holdoff_ms * 2;
    }
}

// Waits for the resolver; nothing may hold g_lock.
void wait_resolver(os_thread *resolver) {
    // A look-up that takes longer leaves the thread detached; its generation
    // is stale by then, so it keeps nothing.
    if (resolver) os_thread_wait_kill_exit(resolver, 0, nullptr);
}

// "Mmm dd hh:mm:ss" of the standard textual time form, kept per second.
const char *stamp(time_t when) {
    static time_t cached_sec = -1;
    static char cached[16];
    if (when != cached_sec) {
        tm local{};
        localtime_r(&when, &local);
        static constexpr const char *MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        std::snprintf(cached, sizeof cached, "%.3s %2d %02d:%02d:%02d", MONTHS[local.tm_mon % 12],
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        cached_sec = when;
    }
    return cached;
}

size_t time_prefix_len(uint32_t fmt_flags) {
    if (fmt_flags & LOG_FMT_TIME) return 9;
    if (fmt_flags & LOG_FMT_TIME_MS) return 13;
    return 0;
}

}  // namespace

int syslog_selector_pri(const char *selector) {
    if (!selector) return -1;
    char facility_text[64];
    const char *priority_text = selector;
    int facility = 8;
    if (const char *dot = std::strchr(selector, '.')) {
        size_t n = static_cast<size_t>(dot - selector);
        if (n >= sizeof facility_text) n = sizeof facility_text - 1;
        std::memcpy(facility_text, selector, n);
        facility_text[n] = 0;
        facility = lookup(FACILITIES, facility_text);
        if (facility < 0) {
            std::fprintf(stderr, "unknown facility name: %s\n", facility_text);
            return -1;
        }
        priority_text = dot + 1;
    }
    int priority = lookup(PRIORITIES, priority_text);
    if (priority < 0) {
        std::fprintf(stderr, "unknown priority name: %s\n", priority_text);
        return -1;
    }
    return (facility & 0x3F8) | (priority & 7);
}

size_t syslog_format(char *out, size_t size, int pri, time_t when, const char *host, const char *tag,
                     int pid, const char *text) {
    if (!out || size == 0) return 0;
    const char *shown_tag = tag && *tag ? tag : "<someone>";
    // The log line's own newline is the frame end on a stream; it is not part of the text.
    size_t text_len = text ? std::strlen(text) : 0;
    while (text_len > 0 && (text[text_len - 1] == '\n' || text[text_len - 1] == '\r')) --text_len;
    int head = std::snprintf(out, size, "<%d>%.15s %.32s %.64s[%d]: ", pri, stamp(when), host ? host : "",
                             shown_tag, pid);
    if (head < 0 || static_cast<size_t>(head) >= size) {
        out[0] = 0;
        return 0;
    }
    size_t at = static_cast<size_t>(head);
    size_t room = size - 1 - at;
    if (text_len <= room) {
        if (text_len) std::memcpy(out + at, text, text_len);
        at += text_len;
    } else {
        size_t mark_len = sizeof LOG_SYSLOG_CUT_MARK - 1;
        size_t keep = room > mark_len ? room - mark_len : 0;
        // Back to the start of a character: continuation bytes are 10xxxxxx.
        while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
        std::memcpy(out + at, text, keep);
        at += keep;
        size_t mark = mark_len <= size - 1 - at ? mark_len : size - 1 - at;
        std::memcpy(out + at, LOG_SYSLOG_CUT_MARK, mark);
        at += mark;
    }
    out[at] = 0;
    return at;
}

size_t syslog_resolve(const char *host, const char *port_text, int protocol, os_ipaddr *out, size_t max) {
    log2_trace("syslog_open [%s:%s]==>\n", host ? host : "", port_text ? port_text : "");
    host_name();
    bool tcp = protocol == LOG_SYSLOG_TCP;
    const char *service = port_text ? port_text : (tcp ? "syslog-conn" : "syslog");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo *answers = nullptr;
    int r = getaddrinfo(host ? host : "", service, &hints, &answers);
    if (r == EAI_SERVICE && !port_text) {
        // The service database here may not know the name; its number is fixed.
        char number[16];
        std::snprintf(number, sizeof number, "%d", lookup(SERVICE_NUMBERS, service));
        r = getaddrinfo(host ? host : "", number, &hints, &answers);
    }
    if (r != 0 || !answers) {
        say("getaddrinfo: %s\n", gai_strerror(r));
        say("failed to resolve name %s port %s\n", host ? host : "", service);
        return 0;
    }
    size_t count = 0;
    for (addrinfo *a = answers; a && count < max; a = a->ai_next)
        if (os_sockaddr_save(&out[count], a->ai_addr, a->ai_addrlen) != 0) ++count;
    freeaddrinfo(answers);
    return count;
}

os_socket syslog_connect(const os_ipaddr *addrs, size_t count, int protocol) {
    bool tcp = protocol == LOG_SYSLOG_TCP;
    for (size_t i = 0; i < count; ++i) {
        os_socket sock = os_socket_init(tcp ? OS_SOCKET_TCP : OS_SOCKET_UDP, os_ipaddr_family(&addrs[i]));
        if (sock == OS_SOCKET_NONE) continue;
        int state = os_socket_connect(sock, &addrs[i]);
        if (state == 1 || (state == 0 && wait_connected(sock))) return sock;
        os_socket_exit(sock);
    }
    return OS_SOCKET_NONE;
}

bool log_net_url_port_ok(const char *url) {
    const char *p = url ? std::strstr(url, "://") : nullptr;
    if (!p) return true;
    p += 3;
    const char *end = p + std::strcspn(p, "/?#");
    const char *host = p;
    for (const char *c = p; c < end; ++c)
        if (*c == '@') host = c + 1;
    const char *colon;
    if (*host == '[') {
        const auto *close = static_cast<const char *>(std::memchr(host, ']', static_cast<size_t>(end - host)));
        if (!close) return false;
        colon = close + 1 < end ? close + 1 : nullptr;
        if (colon && *colon != ':') return false;
    } else {
        colon = static_cast<const char *>(std::memchr(host, ':', static_cast<size_t>(end - host)));
    }
    if (!colon) return true;
    // Trailing blanks are trimmed by the parser.
    while (end > colon + 1 && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) --end;
    if (end == colon + 1) return false;
    for (const char *c = colon + 1; c < end; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

int log_net_url_check(const char *url, bool udp_only, char *host, size_t host_size, int *port, int *protocol,
                      char *err, size_t err_size) {
    const char *allowed = udp_only ? "udp://host[:port] or udps://host[:port], port 1 to 65535"
                                   : "tcp://host[:port] or udp://host[:port], port 1 to 65535";
    auto fail = [&](const char *what) {
        std::snprintf(err, err_size, "%s; allowed: %s", what, allowed);
        return -1;
    };
    static char area[URL_TEXT_SIZE];
    url_parts parts{};
    if (!url || !std::strstr(url, "://") || str_url_parse(&parts, area, url) != 0) return fail("not a URL");
    const char *scheme = parts.scheme ? parts.scheme : "";
    bool is_tcp = strcasecmp(scheme, "tcp") == 0;
    bool is_udp = strcasecmp(scheme, "udp") == 0 || (udp_only && strcasecmp(scheme, "udps") == 0);
    if (udp_only && is_tcp) return fail("the collector speaks UDP only");
    if (!is_tcp && !is_udp) return fail("unknown scheme");
    if (!parts.host || !parts.host[0]) return fail("no host");
    if (!log_net_url_port_ok(url)) return fail("the port is not a number");
    // A port given as 0 reads like no port to the parser; the text tells.
    const char *authority = std::strstr(url, "://") + 3;
    const char *end = authority + std::strcspn(authority, "/?#");
    const char *last_colon = nullptr;
    for (const char *c = authority; c < end; ++c)
        if (*c == ':') last_colon = c;
    const char *close_bracket = static_cast<const char *>(std::memchr(authority, ']', static_cast<size_t>(end - authority)));
    bool port_given = last_colon && (!close_bracket || last_colon > close_bracket) &&
                      (!std::memchr(authority, '[', static_cast<size_t>(end - authority)) || close_bracket);
    if (parts.port < 0 || parts.port > 65535 || (port_given && parts.port == 0))
        return fail("the port is out of range");
    std::snprintf(host, host_size, "%s", parts.host);
    *port = parts.port;
    *protocol = is_tcp ? LOG_SYSLOG_TCP : LOG_SYSLOG_UDP;
    return 0;
}

int log_net_open(const char *url) {
    log2_trace("log_net_open [%s]\n", url ? url : "");
    char host[LOG_SYSLOG_URL_MAXN];
    char err[256];
    int port = 0, protocol = LOG_SYSLOG_UDP;
    bool parsed = log_net_url_check(url, false, host, sizeof host, &port, &protocol, err, sizeof err) == 0;
    os_thread *old_resolver;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        syslog_client &c = g_client;
        c.state = LOG_SYSLOG_CLOSED;
        close_socket(c, false);
        ++c.generation;
        old_resolver = c.resolver;
        c.resolver = nullptr;
        c.resolved = false;
        c.addr_count = 0;
        std::snprintf(c.url, sizeof c.url, "%s", url ? url : "");
        if (parsed) {
            c.protocol = protocol;
            std::snprintf(c.host, sizeof c.host, "%s", host);
            c.port = port;
            c.retry_after_ms = 0;
            c.holdoff_ms = LOG_SYSLOG_RETRY_MS;
            c.connected_ms = 0;
        }
    }
    wait_resolver(old_resolver);
    // Said outside the client's lock: a record passes through this sink.
    if (!parsed) {
        std::fprintf(stderr, "error: syslog URL [%s]: %s\n", url ? url : "", err);
        log2_printf(nullptr, LOG_DBG, "tag", __FILE__, __LINE__, __func__, "url_parser %s failed\n",
                    url ? url : "");
        return -1;
    }
    uint32_t generation;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        generation = g_client.generation;
    }
    os_thread *resolver = os_thread_init("syslog_dns", resolve_thread, reinterpret_cast<void *>(uintptr_t{generation}),
                                         nullptr, nullptr);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_client.generation != generation) {
        if (resolver) os_thread_close(resolver);
        return 0;
    }
    g_client.resolver = resolver;
    if (!resolver) g_client.resolved = true;  // no addresses: every line is counted lost
    g_client.state = LOG_SYSLOG_CONFIGURED;
    return 0;
}

void log_net_close() {
    os_thread *resolver;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        close_socket(g_client, false);
        g_client.state = LOG_SYSLOG_CLOSED;
        g_client.url[0] = 0;
        ++g_client.generation;
        resolver = g_client.resolver;
        g_client.resolver = nullptr;
    }
    wait_resolver(resolver);
}

const char *log_net_url() { return g_client.url; }

int log_syslog_state() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_client.state;
}

uint64_t log_syslog_lost() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_client.lost;
}

int log_syslog_write(uint32_t fmt_flags, int level, const char *tag, const char *line) {
    std::unique_lock<std::mutex> guard(g_lock);
    syslog_client &c = g_client;
    if (c.state == LOG_SYSLOG_CLOSED || !line) return -1;
    if (!c.resolved) {
        g_resolved.wait_for(guard, std::chrono::milliseconds(LOG_SYSLOG_CONNECT_MS), [&] { return c.resolved; });
        if (!c.resolved || c.state == LOG_SYSLOG_CLOSED) {
            drop_line(c);
            return -1;
        }
    }
    if (c.state == LOG_SYSLOG_CONFIGURED) {
        connect_client(c);
        c.state = LOG_SYSLOG_CONNECTED;
    }
    int severity = level == 8 ? 7 : (level >= 0 && level < 8 ? level : 7);
    char selector[32];
    std::snprintf(selector, sizeof selector, "user.%s", SEVERITY_NAMES[static_cast<size_t>(severity)]);
    int pri = syslog_selector_pri(selector);

    size_t skip = time_prefix_len(fmt_flags);
    size_t line_len = std::strlen(line);
    const char *text = line + (skip <= line_len ? skip : line_len);
    // Spare bytes for the frame end.
    char message[LOG_SYSLOG_MSG_MAXN + 2];
    size_t len = syslog_format(message, LOG_SYSLOG_MSG_MAXN + 1, pri, time(nullptr), host_name(), tag,
                               static_cast<int>(log_cached_pid()), text);
    bool tcp = c.protocol == LOG_SYSLOG_TCP;
    if (tcp) {
        // Receivers frame a stream at each newline: a line's inner newlines
        // would split it, and a NUL after it would start the next message.
        for (size_t i = 0; i < len; ++i)
            if (message[i] == '\n' || message[i] == '\r') message[i] = ' ';
        message[len++] = '\n';
        // A line sent into a stream the receiver has already closed is lost
        // without an error; notice the close first and reconnect.
        if (stream_closed(c.sock)) {
            close_socket(c, false);
            connect_client(c);
        }
    } else {
        message[len++] = '\n';
        message[len++] = 0;
    }
    if (c.sock == OS_SOCKET_NONE) connect_client(c);
    if (c.sock == OS_SOCKET_NONE) {
        drop_line(c);
        return -1;
    }
    if (!tcp) {
        if (os_socket_send(c.sock, message, len) == static_cast<int>(len)) {
            log2_sink_count(LOG2_SINK_SYSLOG, false);
            return 0;
        }
        close_socket(c, false);
        connect_client(c);
        if (c.sock != OS_SOCKET_NONE && os_socket_send(c.sock, message, len) == static_cast<int>(len)) {
            log2_sink_count(LOG2_SINK_SYSLOG, false);
            return 0;
        }
        say("syslog_write %s err\n", c.url);
        drop_line(c);
        return -1;
    }
    bool cut = false;
    int sent = send_whole(c, message, len, &cut);
    if (sent < 0 && !cut) {
        // The receiver went away: one new connection, and the line whole on it.
        close_socket(c, false);
        connect_client(c);
        if (c.sock != OS_SOCKET_NONE) sent = send_whole(c, message, len, &cut);
    }
    if (sent == 1) {
        log2_sink_count(LOG2_SINK_SYSLOG, false);
        return 0;
    }
    // A receiver that takes nothing: the connection goes with a reset, so
    // that no data lingers in the kernel, and the next waits for a hold-off.
    close_socket(c, true);
    uint64_t now = os_clock_ms();
    hold_off(c, now);
    say("syslog_write %s err: the receiver takes no lines; next try in %llu ms\n", c.url,
        static_cast<unsigned long long>(c.retry_after_ms - now));
    drop_line(c);
    return -1;
}

namespace {

void syslog_send(int level, const char *tag, const char *line) {
    log_ctx *ctx = log_ctx_process_peek();
    uint32_t fmt_flags = ctx ? ctx->flags.load(std::memory_order_relaxed) : 0;
    log_syslog_write(fmt_flags, level, tag, line);
}

}  // namespace

const log2_net_ops g_log_syslog_ops = {log_net_open, log_net_close, log_net_url, syslog_send};
