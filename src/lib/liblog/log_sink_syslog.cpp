// The syslog client. Runs under the log lock, so every wait on the network
// is bounded: a connect, a send and the hold-off after a failed reconnect.
#include "liblog/log_sink_syslog.h"

#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "liblog/log_cache.h"
#include "liblog/log_ctx.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_url.h"

namespace {

struct syslog_client {
    char url[LOG_SYSLOG_URL_MAXN] = {};
    char host[LOG_SYSLOG_URL_MAXN] = {};
    int port = 0;  // 0: the protocol's service name
    int protocol = LOG_SYSLOG_UDP;
    os_socket sock = OS_SOCKET_NONE;
    int state = LOG_SYSLOG_CLOSED;
    uint64_t retry_after_ms = 0;
    uint64_t lost = 0;
};

// Taken inside the log lock by the write and alone by open and close.
std::mutex g_lock;
syslog_client g_client;

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

// Every byte within LOG_SYSLOG_SEND_MS, or false.
bool send_bounded(os_socket sock, const char *data, size_t len) {
    if (sock == OS_SOCKET_NONE) return false;
    uint64_t start = os_clock_ms();
    size_t done = 0;
    while (done < len) {
        int n = os_socket_send(sock, data + done, len - done);
        if (n < 0) return false;
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int elapsed = static_cast<int>(os_clock_ms() - start);
        if (elapsed >= LOG_SYSLOG_SEND_MS) return false;
        if (os_socket_wait_impl(sock, OS_SOCKET_WAIT_WRITE, LOG_SYSLOG_SEND_MS - elapsed) <= 0) return false;
    }
    return true;
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

void close_socket(syslog_client &c) {
    if (c.sock != OS_SOCKET_NONE) os_socket_exit(c.sock);
    c.sock = OS_SOCKET_NONE;
}

void connect_client(syslog_client &c) {
    close_socket(c);
    char port_text[16];
    if (c.port) std::snprintf(port_text, sizeof port_text, "%d", c.port);
    c.sock = syslog_open(c.host, c.port ? port_text : nullptr, c.protocol);
    if (c.sock == OS_SOCKET_NONE) c.retry_after_ms = os_clock_ms() + LOG_SYSLOG_RETRY_MS;
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
    if (text_len > 800) text_len = 800;
    int n = std::snprintf(out, size, "<%d>%.15s %.32s %.64s[%d]: %.*s", pri, stamp(when), host ? host : "",
                          shown_tag, pid, static_cast<int>(text_len), text ? text : "");
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

os_socket syslog_open(const char *host, const char *port_text, int protocol) {
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
        std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(r));
        std::fprintf(stderr, "failed to resolve name %s port %s\n", host ? host : "", service);
        return OS_SOCKET_NONE;
    }
    os_ipaddr addr;
    bool saved = os_sockaddr_save(&addr, answers->ai_addr, answers->ai_addrlen) != 0;
    freeaddrinfo(answers);
    os_socket sock = saved ? os_socket_init(tcp ? OS_SOCKET_TCP : OS_SOCKET_UDP, os_ipaddr_family(&addr))
                           : OS_SOCKET_NONE;
    if (sock != OS_SOCKET_NONE) {
        int state = os_socket_connect(sock, &addr);
        if (state == 1 || (state == 0 && wait_connected(sock))) return sock;
        os_socket_exit(sock);
    }
    std::fprintf(stderr, "failed to connect to %s port %s\n", host ? host : "", service);
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

int log_net_open(const char *url) {
    log2_trace("log_net_open [%s]\n", url ? url : "");
    bool parsed;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        syslog_client &c = g_client;
        c.state = LOG_SYSLOG_CLOSED;
        close_socket(c);
        std::snprintf(c.url, sizeof c.url, "%s", url ? url : "");
        static char area[URL_TEXT_SIZE];
        url_parts parts{};
        parsed = url && str_url_parse(&parts, area, url) == 0 && parts.host && parts.host[0] &&
                 parts.port >= 0 && parts.port <= 65535 && log_net_url_port_ok(url);
        if (parsed) {
            c.protocol = strcasecmp(parts.scheme ? parts.scheme : "", "tcp") == 0 ? LOG_SYSLOG_TCP : LOG_SYSLOG_UDP;
            std::snprintf(c.host, sizeof c.host, "%s", parts.host);
            c.port = parts.port;
            c.retry_after_ms = 0;
            c.state = LOG_SYSLOG_CONFIGURED;
        }
    }
    // Logged outside the client's lock: the record passes through this sink.
    if (!parsed) {
        log2_printf(nullptr, LOG_DBG, "tag", __FILE__, __LINE__, __func__, "url_parser %s failed\n",
                    url ? url : "");
        return -1;
    }
    return 0;
}

void log_net_close() {
    std::lock_guard<std::mutex> guard(g_lock);
    close_socket(g_client);
    g_client.state = LOG_SYSLOG_CLOSED;
    g_client.url[0] = 0;
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
    std::lock_guard<std::mutex> guard(g_lock);
    syslog_client &c = g_client;
    if (c.state == LOG_SYSLOG_CLOSED || !line) return -1;
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
    size_t len = syslog_format(message, LOG_SYSLOG_MSG_MAXN, pri, time(nullptr), host_name(), tag,
                               static_cast<int>(log_cached_pid()), text);
    if (c.protocol == LOG_SYSLOG_TCP) {
        // Receivers frame a stream at each newline: a line's inner newlines
        // would split it, and a NUL after it would start the next message.
        for (size_t i = 0; i < len; ++i)
            if (message[i] == '\n' || message[i] == '\r') message[i] = ' ';
        message[len++] = '\n';
        // A line sent into a stream the receiver has already closed is lost
        // without an error; notice the close first and reconnect.
        if (stream_closed(c.sock)) close_socket(c);
    } else {
        message[len++] = '\n';
        message[len++] = 0;
    }
    if (send_bounded(c.sock, message, len)) return 0;
    // A stream cut inside a message would glue it to the next one.
    close_socket(c);
    if (os_clock_ms() >= c.retry_after_ms) {
        connect_client(c);
        if (send_bounded(c.sock, message, len)) return 0;
        std::fprintf(stderr, "syslog_write %s err\n", c.url);
        close_socket(c);
    }
    ++c.lost;
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
