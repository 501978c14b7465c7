// Reading one request: the buffered input, the request line, the headers and
// the query variables, and the decoders they need.
#define LOG_TAG "httpd"
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "libhttpd/httpd.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

std::atomic<uint32_t> g_head_deadline_ms{HTTPD_HEAD_DEADLINE_MS};
constexpr size_t LINE_KEEP = HTTPD_INBUF_SIZE;  // bytes of a header line kept; the rest is skipped
constexpr size_t REQUEST_LINE_SIZE = HTTPD_TARGET_MAXN + 64;  // method, target and version
constexpr int EMPTY_LINES_MAXN = 4;  // blank lines tolerated before the request line
// Methods HTTP defines that this server does not serve: 405, any other 501.
constexpr const char *OTHER_METHODS[] = {"PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "CONNECT"};
constexpr char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void copy_cut(char *dst, size_t size, const char *src, size_t len) {
    if (len >= size) len = size - 1;
    std::memcpy(dst, src, len);
    dst[len] = 0;
}

// Milliseconds this read may wait: the stream's time-out, shortened by the
// deadline of the request head. 0 when the deadline has passed.
uint32_t wait_budget(const httpd_request *r, uint32_t timeout) {
    if (r->head_deadline == 0) return timeout;
    uint64_t now = os_clock_ms();
    if (now >= r->head_deadline) return 0;
    uint64_t left = r->head_deadline - now;
    return left < timeout ? static_cast<uint32_t>(left) : timeout;
}

// Whatever a socket holds, up to the buffer's size, in one receive; the wait
// (within budget) only when nothing has arrived yet. Bytes read, or 0 when
// the input ended. Only what has arrived: waiting for a full buffer would
// hold every short request back by the whole time-out.
size_t fill_from_socket(httpd_request *r, uint32_t budget) {
    net_sock *ns = &r->stream;
    if (ns->disconnected) return 0;
    errno = 0;
    int got = os_socket_recv(ns->sock, r->inbuf, HTTPD_INBUF_SIZE);
    uint32_t delay = r->accept_delay_ms;
    r->accept_delay_ms = 0;
    if (got == 0 && errno == 0) {
        // The peer closed without a request, as spare connections of a client do.
        ns->disconnected = 1;
        return 0;
    }
    if (got == 0 && delay) {
        // The time-outs count from the client's connect.
        if (r->head_deadline) r->head_deadline -= std::min<uint64_t>(delay, r->head_deadline);
        budget = wait_budget(r, budget > delay ? budget - delay : 0);
        if (budget == 0) return 0;
    }
    if (got == 0) {
        ns->timeout = budget;
        got = net_sock_read_some(ns, r->inbuf, HTTPD_INBUF_SIZE, static_cast<int>(budget));
    }
    return got > 0 ? static_cast<size_t>(got) : 0;
}

// One byte with the stream's time-out, then whatever else is waiting (up to
// the buffer's size) within the short time-out. False when the input ended.
bool fill_input(httpd_request *r) {
    net_sock *ns = &r->stream;
    uint32_t budget = wait_budget(r, HTTPD_READ_TIMEOUT_MS);
    if (budget == 0) return false;
    size_t got;
    if ((ns->kind == NET_SOCK_KIND_SOCKET || ns->kind == NET_SOCK_KIND_SOCKET1) && !ns->tls) {
        got = fill_from_socket(r, budget);
        if (got == 0) return false;
    } else {
        ns->timeout = budget;
        if (net_read(ns, r->inbuf, 1) != 1) return false;
        got = 1;
        ns->timeout = wait_budget(r, HTTPD_MORE_TIMEOUT_MS);
        int more = ns->timeout ? net_read(ns, r->inbuf + 1, HTTPD_INBUF_SIZE - 1) : 0;
        if (more > 0) got += static_cast<size_t>(more);
    }
    r->in_pos = 0;
    r->in_left = got;
    return true;
}

// Next input byte, or -1 when the input ended.
int next_byte(httpd_request *r) {
    if (r->in_left == 0 && !fill_input(r)) return -1;
    --r->in_left;
    return r->inbuf[r->in_pos++];
}

// One line up to LF (CR dropped; UTF-8 bytes are part of it), of which the first size - 1 bytes are kept. Reading stops once the line is
// longer than limit. The line's length, or -1 when the input ended before
// anything was read; *complete tells whether its end was seen.
long read_line(httpd_request *r, char *buf, size_t size, size_t limit, bool *complete) {
    size_t len = 0, kept = 0;
    *complete = false;
    for (;;) {
        int c = next_byte(r);
        if (c < 0) {
            if (len == 0) return -1;
            break;
        }
        if (c == '\n') {
            *complete = true;
            break;
        }
        if (c == '\r') continue;
        if (kept < size - 1) buf[kept++] = static_cast<char>(c);
        if (++len > limit) break;
    }
    buf[kept] = 0;
    return static_cast<long>(len);
}

// Case-insensitive header name match; the value after it, or null.
const char *header_value(const char *line, const char *name) {
    size_t n = std::strlen(name);
    return strncasecmp(line, name, n) == 0 ? line + n : nullptr;
}

void parse_authorization(httpd_request *r, const char *value) {
    if (std::strncmp(value, "Basic ", 6) != 0) return;
    const char *blank = std::strchr(value, ' ');
    char decoded[HTTPD_BASE64_MAXN + 1];
    httpd_base64_decode(blank + 1, decoded);
    char *colon = std::strchr(decoded, ':');
    if (colon) {
        *colon = 0;
        copy_cut(r->pwd, sizeof r->pwd, colon + 1, std::strlen(colon + 1));
    }
    copy_cut(r->user, sizeof r->user, decoded, std::strlen(decoded));
}

void parse_header(httpd_request *r, const char *line) {
    if (const char *v = header_value(line, "Authorization: ")) {
        parse_authorization(r, v);
    } else if (const char *v = header_value(line, "Host: ")) {
        if (!r->host_from_target) copy_cut(r->host, sizeof r->host, v, std::strlen(v));
    } else if (const char *v = header_value(line, "Accept-Encoding:")) {
        if (*v == ' ') ++v;
        if (strncasecmp(v, "gzip", 4) == 0) r->gzip = 1;
    } else if (const char *v = header_value(line, "Origin:")) {
        while (*v == ' ' || *v == '\t') ++v;
        copy_cut(r->origin, sizeof r->origin, v, std::strlen(v));
    } else if (const char *v = header_value(line, "Sec-Fetch-Site:")) {
        while (*v == ' ' || *v == '\t') ++v;
        copy_cut(r->fetch_site, sizeof r->fetch_site, v, std::strlen(v));
    }
    // Only a browser sends these; they mark a request a page may have forged.
    if (header_value(line, "Origin:") || header_value(line, "Referer:") || header_value(line, "Sec-Fetch-"))
        r->from_browser = 1;
}

bool refuse(httpd_request *r, int code, const char *message) {
    LOGV("request refused with %d: %s\n", code, message);
    httpd_send_error(r, code, message);
    return false;
}

// Refuses the request when a line read_line gave back (or -1) left its head
// unfinished; false when that line is whole or over its limit (refused for
// its size). On a socket nothing runs on part of a request: a time-out may
// have cut it (408), or the client ended its side early (400; the reply can
// still go, its side for reading is open). A memory stream is served with
// what it holds.
bool refuse_unfinished(httpd_request *r, long len, bool complete, size_t limit) {
    net_sock &ns = r->stream;
    bool socket = ns.kind == NET_SOCK_KIND_SOCKET || ns.kind == NET_SOCK_KIND_SOCKET1;
    if (complete || !socket || len > static_cast<long>(limit)) return false;
    r->head_deadline = 0;
    if (!ns.disconnected) {
        refuse(r, 408, "The request did not end in time: a blank line ends its head.");
    } else {
        ns.disconnected = 0;
        refuse(r, 400, "The request ended before its head did: a blank line ends it.");
    }
    return true;
}

// An absolute-form target ("http://host:port/path") is served as its path;
// its authority stands for the Host header. The path part, or null.
const char *strip_absolute_form(httpd_request *r, const char *target, size_t *len) {
    size_t scheme = strncasecmp(target, "http://", 7) == 0 ? 7 : strncasecmp(target, "https://", 8) == 0 ? 8 : 0;
    if (scheme == 0 || scheme > *len) return target;
    const char *authority = target + scheme;
    const char *end = target + *len;
    const char *slash = authority;
    while (slash < end && *slash != '/' && *slash != '?') ++slash;
    copy_cut(r->host, sizeof r->host, authority, static_cast<size_t>(slash - authority));
    r->host_from_target = 1;
    *len = static_cast<size_t>(end - slash);
    return slash;
}

// The request line; false (after the error reply) when it is refused.
bool parse_request_line(httpd_request *r, const char *line, size_t line_len, bool complete) {
    if (line_len > REQUEST_LINE_SIZE - 1) return refuse(r, 414, "The request target is longer than 17408 bytes.");
    size_t method_len = 0;
    while (std::isalpha(static_cast<unsigned char>(line[method_len]))) ++method_len;
    char method[16];
    copy_cut(method, sizeof method, line, method_len);
    if (method_len == 0 || (line[method_len] != ' ' && line[method_len] != 0))
        return refuse(r, 400, "The request line does not start with a method.");
    if (strcasecmp(method, "GET") == 0) {
        r->method = HTTPD_METHOD_GET;
    } else if (strcasecmp(method, "HEAD") == 0) {
        r->method = HTTPD_METHOD_HEAD;
    } else if (strcasecmp(method, "POST") == 0) {
        r->method = HTTPD_METHOD_POST;
    } else {
        LOGV("r->request.method [%s] invalid\n", method);
        for (const char *known : OTHER_METHODS)
            if (strcasecmp(method, known) == 0) return refuse(r, 405, "Only GET and HEAD are served.");
        return refuse(r, 501, "The method is not one this server knows.");
    }
    const char *p = line + method_len;
    if (*p) ++p;
    while (*p == ' ') ++p;
    const char *target_end = std::strchr(p, ' ');
    size_t target_len = target_end ? static_cast<size_t>(target_end - p) : std::strlen(p);
    const char *version = target_end ? target_end + 1 : "";
    while (*version == ' ') ++version;
    // A line cut short by the end of the input is served with what came.
    if (complete && std::strncmp(version, "HTTP/", 5) != 0)
        return refuse(r, 400, "The request line has no HTTP version (GET /path HTTP/1.1).");
    p = strip_absolute_form(r, p, &target_len);
    if (target_len == 0) {
        p = "/";
        target_len = 1;
    }
    if (*p != '/') return refuse(r, 400, "The request target does not start with '/'.");
    const char *question = static_cast<const char *>(std::memchr(p, '?', target_len));
    size_t path_len = question ? static_cast<size_t>(question - p) : target_len;
    size_t query_len = question ? target_len - path_len - 1 : 0;
    if (path_len >= sizeof r->path) return refuse(r, 414, "The request path is longer than 1023 bytes.");
    if (query_len >= sizeof r->query) return refuse(r, 414, "The query is longer than 16383 bytes.");
    copy_cut(r->path, sizeof r->path, p, path_len);
    if (question) copy_cut(r->query, sizeof r->query, question + 1, query_len);
    httpd_sanitise_url(r->path);
    r->version = std::strncmp(version, "HTTP/1.0", 8) == 0 ? 1 : 2;
    return true;
}

httpd_var *new_var(const char *name, const char *value, bool from_query) {
    auto *var = static_cast<httpd_var *>(mem_calloc(sizeof(httpd_var)));
    if (!var) return nullptr;
    var->name = mem_strdup(name);
    var->value = mem_strdup(value);
    var->from_query = from_query ? 1 : 0;
    if (!var->name || !var->value) {
        mem_free(var->name);
        mem_free(var->value);
        mem_free(var);
        return nullptr;
    }
    return var;
}

void add_query_var(httpd_request *r, const char *name, const char *value) {
    httpd_var **tail = &r->vars;
    for (httpd_var *v = r->vars; v; v = v->next) {
        if (v->from_query && std::strcmp(v->name, name) == 0) {
            httpd_var **more = &v->more;
            while (*more) more = &(*more)->more;
            *more = new_var(name, value, true);
            return;
        }
        tail = &v->next;
    }
    *tail = new_var(name, value, true);
}

void parse_query(httpd_request *r) {
    std::string copy(r->query);
    char *part = copy.data();
    while (part) {
        char *amp = std::strchr(part, '&');
        bool last = amp == nullptr;
        if (amp) *amp = 0;
        char *first_eq = std::strchr(part, '=');
        if (first_eq) {
            char *value = std::strrchr(part, '=') + 1;
            *first_eq = 0;
            char *name = part;
            while (*name == ' ' || *name == '\t') ++name;
            httpd_url_decode(value);
            add_query_var(r, name, value);
        } else if (!last) {
            char *name = part;
            while (*name == ' ' || *name == '\t') ++name;
            add_query_var(r, name, "");
        }
        part = amp ? amp + 1 : nullptr;
    }
}

// Reads and drops what a refused client still sends, until it pauses, so
// that the close does not reset the reply it has not read yet.
void drain_input(httpd_request *r) {
    uint64_t end = os_clock_ms() + HTTPD_DRAIN_MS;
    size_t dropped = 0;
    while (dropped < HTTPD_DRAIN_MAXN && os_clock_ms() < end) {
        if (os_socket_wait_impl(r->stream.sock, OS_SOCKET_WAIT_READ, static_cast<int>(HTTPD_MORE_TIMEOUT_MS)) <= 0) break;
        int got = os_socket_recv(r->stream.sock, r->inbuf, sizeof r->inbuf);
        if (got <= 0) break;
        dropped += static_cast<size_t>(got);
    }
}

// Each thread keeps the record of its last request for its next one: a
// fresh 40 KB block per request made the allocator give memory back to the
// system and fetch it again every time.
struct spare_record {
    void *mem = nullptr;
    ~spare_record() { mem_free(mem); }
};
thread_local spare_record t_spare;

}  // namespace

httpd_request *httpd_request_new(os_socket sock, const char *client_addr) {
    // Only what a request reads before it writes is set: zeroing all 40 KB
    // of buffers cost more than the parsing of a request.
    void *mem = t_spare.mem ? t_spare.mem : mem_malloc(sizeof(httpd_request));
    t_spare.mem = nullptr;
    if (!mem) return nullptr;
    auto *r = new (mem) httpd_request;
    r->client_addr[0] = 0;
    os_ipaddr_clear(&r->peer_ip);
    os_ipaddr_clear(&r->local_ip);
    r->in_pos = r->in_left = 0;
    r->head_deadline = 0;
    r->accept_delay_ms = 0;
    r->method = HTTPD_METHOD_NONE;
    r->version = 0;
    r->path[0] = r->query[0] = r->host[0] = r->origin[0] = r->fetch_site[0] = 0;
    r->user[0] = r->pwd[0] = 0;
    r->host_from_target = r->from_browser = r->gzip = 0;
    r->vars = nullptr;
    r->status[0] = r->headers[0] = r->content_type[0] = 0;
    r->headers_sent = r->drain = r->length_sent = r->streamed = 0;
    r->bytes_sent = r->send_len = r->head_len = 0;
    r->entry = nullptr;
    net_sock_init_socket(&r->stream, sock, HTTPD_READ_TIMEOUT_MS);
    if (client_addr) {
        const char *colon = std::strrchr(client_addr, ':');
        size_t len = colon ? static_cast<size_t>(colon - client_addr) : std::strlen(client_addr);
        copy_cut(r->client_addr, sizeof r->client_addr, client_addr, len);
    }
    return r;
}

void httpd_request_free(httpd_request *r) {
    if (!r) return;
    httpd_finish(r);
    httpd_free_variables(r);
    // A peer that closed before sending a byte, as a client's spare
    // connection does, gets a reset: the orderly end would leave its side in
    // TIME_WAIT, and under load such sockets use up its ephemeral ports.
    bool socket = r->stream.kind == NET_SOCK_KIND_SOCKET || r->stream.kind == NET_SOCK_KIND_SOCKET1;
    if (socket && r->stream.disconnected && r->in_pos == 0 && r->in_left == 0)
        os_socket_ctrl(r->stream.sock, OS_SOCKET_CTRL_SET_RESET_ON_CLOSE, 1);
    if (socket && r->drain) drain_input(r);
    net_close(&r->stream);
    r->~httpd_request();
    if (t_spare.mem)
        mem_free(r);
    else
        t_spare.mem = r;
}

int httpdReadRequest(httpd_request *r) {
    httpd_set_status(r, HTTPD_STATUS_OK);
    copy_cut(r->headers, sizeof r->headers, HTTPD_SERVER_HEADER, std::strlen(HTTPD_SERVER_HEADER));
    httpd_set_content_type(r, HTTPD_CONTENT_HTML);
    r->headers_sent = 0;
    r->head_deadline = os_clock_ms() + g_head_deadline_ms.load(std::memory_order_relaxed);
    // The request line may be long (a query of 16 KB): it has its own buffer,
    // one per thread, so that a short request does not pay for clearing it.
    thread_local std::string request_line(REQUEST_LINE_SIZE, '\0');
    bool complete = false;
    long len = 0;
    for (int blank = 0; blank <= EMPTY_LINES_MAXN; ++blank) {
        len = read_line(r, request_line.data(), request_line.size(), REQUEST_LINE_SIZE, &complete);
        if (len != 0) break;
    }
    if (len < 0 || (len == 0 && complete)) {
        // Nothing but blank lines, or nothing at all: the path stays empty.
        r->head_deadline = 0;
        return 0;
    }
    if (refuse_unfinished(r, len, complete, REQUEST_LINE_SIZE)) return -1;
    if (!parse_request_line(r, request_line.c_str(), static_cast<size_t>(len), complete)) {
        r->head_deadline = 0;
        return -1;
    }
    char line[LINE_KEEP];
    size_t head_bytes = 0;
    while (complete) {
        len = read_line(r, line, sizeof line, HTTPD_HEADER_LINE_MAXN, &complete);
        if (refuse_unfinished(r, len, complete, HTTPD_HEADER_LINE_MAXN)) return -1;
        if (len <= 0) break;
        head_bytes += static_cast<size_t>(len) + 2;
        if (static_cast<size_t>(len) > HTTPD_HEADER_LINE_MAXN) {
            r->head_deadline = 0;
            refuse(r, 431, "A header line is longer than 8192 bytes.");
            return -1;
        }
        if (head_bytes > HTTPD_HEADERS_MAXN) {
            r->head_deadline = 0;
            refuse(r, 431, "The headers are longer than 32768 bytes.");
            return -1;
        }
        parse_header(r, line);
    }
    r->head_deadline = 0;
    if (r->query[0]) {
        if (const char *bad = httpd_bad_escape(r->query)) {
            char message[96];
            std::snprintf(message, sizeof message, "Bad escape in the query at \"%.3s\": %%XX takes two hexadecimal digits.", bad);
            refuse(r, 400, message);
            return -1;
        }
        parse_query(r);
    }
    return 0;
}

void httpd_head_deadline_set(uint32_t ms) {
    g_head_deadline_ms.store(ms ? ms : HTTPD_HEAD_DEADLINE_MS, std::memory_order_relaxed);
}

void httpd_free_variables(httpd_request *r) {
    httpd_var *v = r->vars;
    while (v) {
        httpd_var *next = v->next;
        while (v) {
            httpd_var *more = v->more;
            mem_free(v->name);
            mem_free(v->value);
            mem_free(v);
            v = more;
        }
        v = next;
    }
    r->vars = nullptr;
}

int httpd_add_variable(httpd_request *r, const char *name, const char *value) {
    httpd_var *var = new_var(name, value ? value : "", false);
    if (!var) return -1;
    var->next = r->vars;
    r->vars = var;
    return 0;
}

const httpd_var *httpd_find_variable(const httpd_request *r, const char *name) {
    const httpd_var *from_query = nullptr;
    for (const httpd_var *v = r->vars; v; v = v->next) {
        if (std::strcmp(v->name, name) != 0) continue;
        if (!v->from_query) return v;
        if (!from_query) from_query = v;
    }
    return from_query;
}

const char *httpd_get_variable(const httpd_request *r, const char *name) {
    const httpd_var *var = httpd_find_variable(r, name);
    return var ? var->value : nullptr;
}

void httpd_sanitise_url(char *url) {
    if (!url) return;
    char *out = url;
    for (const char *in = url; *in; ++in) {
        if (in[0] == '/' && in[1] == '/') continue;
        *out++ = *in;
    }
    *out = 0;
    out = url;
    for (const char *in = url; *in;) {
        if (in[0] == '/' && in[1] == '.' && in[2] == '/') {
            in += 2;
            continue;
        }
        *out++ = *in++;
    }
    *out = 0;
    // Only the position of the last slash written is remembered, so each
    // "/../" goes back to that one place.
    out = url;
    char *last_slash = url;
    for (const char *in = url; *in;) {
        if (in[0] == '/' && in[1] == '.' && in[2] == '.' && in[3] == '/') {
            out = last_slash;
            in += 3;
            continue;
        }
        if (*in == '/') last_slash = out;
        *out++ = *in++;
    }
    *out = 0;
}

int httpd_base64_decode(const char *text, char *out) {
    if (!text || !out) return 0;
    while (*text == ' ' || *text == '\t') ++text;
    uint32_t bits = 0;
    int nbits = 0;
    size_t len = 0;
    for (; *text && len < HTTPD_BASE64_MAXN; ++text) {
        const char *pos = std::strchr(BASE64_ALPHABET, *text);
        if (!pos) break;
        bits = (bits << 6) | static_cast<uint32_t>(pos - BASE64_ALPHABET);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out[len++] = static_cast<char>((bits >> nbits) & 0xFF);
        }
    }
    out[len] = 0;
    return static_cast<int>(len);
}

const char *httpd_bad_escape(const char *text) {
    if (!text) return nullptr;
    for (const char *p = text; *p; ++p) {
        if (*p != '%') continue;
        if (!std::isxdigit(static_cast<unsigned char>(p[1])) || !std::isxdigit(static_cast<unsigned char>(p[2]))) return p;
        p += 2;
    }
    return nullptr;
}

void httpd_url_decode(char *text) {
    if (!text) return;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    char *out = text;
    for (const char *in = text; *in; ++in) {
        if (*in == '+') {
            *out++ = ' ';
        } else if (*in == '%' && hex(in[1]) >= 0 && hex(in[2]) >= 0) {
            // A malformed escape is kept as it is.
            *out++ = static_cast<char>(hex(in[1]) * 16 + hex(in[2]));
            in += 2;
        } else {
            *out++ = *in;
        }
    }
    *out = 0;
}

size_t httpd_html_escape(const char *text, char *out, size_t size) {
    if (!out || size == 0) return 0;
    size_t len = 0;
    for (const char *p = text ? text : ""; *p; ++p) {
        const char *rep = nullptr;
        switch (*p) {
            case '&': rep = "&amp;"; break;
            case '<': rep = "&lt;"; break;
            case '>': rep = "&gt;"; break;
            case '"': rep = "&quot;"; break;
            case '\'': rep = "&#39;"; break;
            default: break;
        }
        size_t n = rep ? std::strlen(rep) : 1;
        if (len + n >= size) break;
        if (rep)
            std::memcpy(out + len, rep, n);
        else
            out[len] = *p;
        len += n;
    }
    out[len] = 0;
    return len;
}
