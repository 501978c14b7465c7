// The response side: the header block, plain and substituted output, raw
// bytes, and the fixed 401, 403 and 404 answers.
#define LOG_TAG "httpd"
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "libhttpd/httpd.h"
#include "liblog/log2.h"

namespace {

void http_date(int64_t when, char *buf, size_t size) {
    time_t t = static_cast<time_t>(when);
    struct tm gmt {};
    gmtime_r(&t, &gmt);
    std::strftime(buf, size, "%a, %d %b %Y %T GMT", &gmt);
}

// The current time as http_date gives it, made once a second per thread:
// the conversion takes the C library's time zone lock, which every
// connection thread would queue on.
const char *date_now() {
    thread_local int64_t shown = -1;
    thread_local char text[64];
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (now != shown) {
        http_date(now, text, sizeof text);
        shown = now;
    }
    return text;
}

// Header block and body share one buffer, so a short reply leaves in one
// segment instead of waiting for the peer's acknowledgement of the first.
void buffer_bytes(httpd_request *r, const void *bytes, size_t len) {
    if (r->send_len + len > sizeof r->send_buf) httpd_flush(r);
    if (len >= sizeof r->send_buf) {
        r->streamed = 1;
        net_write(&r->stream, bytes, len);
        return;
    }
    std::memcpy(r->send_buf + r->send_len, bytes, len);
    r->send_len += len;
}

void send_bytes(httpd_request *r, const void *bytes, size_t len) {
    if (!r->headers_sent) httpd_send_headers(r, 0, 0);
    if (len == 0) return;
    // HEAD is answered as GET, without the body.
    if (r->method != HTTPD_METHOD_HEAD) buffer_bytes(r, bytes, len);
    r->bytes_sent += len;
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A short HTML page for a refused request; status is the whole status text.
// Both texts are escaped: a message may quote what the client sent.
void send_error_page(httpd_request *r, const char *status, const char *title, const char *message) {
    httpd_set_status(r, status);
    httpd_set_content_type(r, HTTPD_CONTENT_HTML);
    httpd_send_headers(r, 0, 0);
    char safe_title[256], safe_message[1024];
    httpd_html_escape(title, safe_title, sizeof safe_title);
    httpd_html_escape(message, safe_message, sizeof safe_message);
    std::string page = std::string("<HTML><HEAD><TITLE>") + safe_title + "</TITLE></HEAD>\n<BODY><H1>" + safe_message +
                       "</H1>\n</BODY></HTML>\n";
    httpd_print(r, page.c_str());
}

constexpr struct {
    int code;
    const char *reason;
} REASONS[] = {{200, "OK"},
               {400, "Bad Request"},
               {401, "Please Authenticate"},
               {403, "Forbidden"},
               {404, "Not Found"},
               {405, "Method Not Allowed"},
               {408, "Request Timeout"},
               {414, "URI Too Long"},
               {431, "Request Header Fields Too Large"},
               {500, "Internal Server Error"},
               {501, "Not Implemented"},
               {503, "Service Unavailable"}};

constexpr char BUSY_REPLY[] =
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nConnection: close\r\n"
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
    "Content-Length: 40\r\n\r\nToo many connections, try again later.\r\n";
constexpr int BUSY_WAIT_MS = 20;  // for the request to arrive, on the accepting thread
constexpr int BUSY_READ_MAXN = 16;  // reads of what arrived, each of a buffer's size

}  // namespace

const char *httpd_reason(int code) {
    for (const auto &row : REASONS)
        if (row.code == code) return row.reason;
    return "Error";
}

void httpd_send_error(httpd_request *r, int code, const char *message) {
    r->drain = 1;
    if (r->headers_sent) return;
    char title[64], status[sizeof title + 2];
    std::snprintf(title, sizeof title, "%d %s", code, httpd_reason(code));
    std::snprintf(status, sizeof status, "%s\r\n", title);
    if (code == 405) httpd_add_header(r, "Allow: GET, HEAD\r\n");
    if (code == 503) httpd_add_header(r, "Retry-After: 1\r\n");
    send_error_page(r, status, title, message);
}

void httpd_refuse_busy(os_socket sock) {
    char buf[HTTPD_INBUF_SIZE];
    if (os_socket_wait_impl(sock, OS_SOCKET_WAIT_READ, BUSY_WAIT_MS) > 0)
        for (int i = 0; i < BUSY_READ_MAXN && os_socket_recv(sock, buf, sizeof buf) > 0; ++i) {
        }
    os_socket_send(sock, BUSY_REPLY, sizeof BUSY_REPLY - 1);
}

void httpd_set_status(httpd_request *r, const char *status) {
    std::snprintf(r->status, sizeof r->status, "%s", status);
}

void httpd_set_content_type(httpd_request *r, const char *type) {
    std::snprintf(r->content_type, sizeof r->content_type, "%s", type ? type : HTTPD_CONTENT_HTML);
}

void httpd_send_headers(httpd_request *r, int content_length, int64_t mod_time) {
    if (r->headers_sent) return;
    r->headers_sent = 1;
    const char *now = date_now();
    char block[HTTPD_HEADER_BLOCK_SIZE];
    int len = std::snprintf(block, sizeof block,
                            "HTTP/1.1 %s%sDate: %s\r\nConnection: close\r\nContent-Type: %s\r\n"
                            "X-Content-Type-Options: nosniff\r\nCache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n",
                            r->status, r->headers, now, r->content_type);
    if (len < 0) return;
    size_t used = static_cast<size_t>(len) < sizeof block ? static_cast<size_t>(len) : sizeof block - 1;
    if (content_length > 0) {
        char modified[64];
        http_date(mod_time ? mod_time : std::time(nullptr), modified, sizeof modified);
        int n = std::snprintf(block + used, sizeof block - used, "Content-Length: %d\r\nLast-Modified: %s\r\n",
                              content_length, modified);
        if (n > 0) used += static_cast<size_t>(n) < sizeof block - used ? static_cast<size_t>(n) : sizeof block - used - 1;
    }
    int n = std::snprintf(block + used, sizeof block - used, "\r\n");
    if (n > 0) used += static_cast<size_t>(n) < sizeof block - used ? static_cast<size_t>(n) : sizeof block - used - 1;
    r->length_sent = content_length > 0 ? 1 : 0;
    bool first = r->send_len == 0 && !r->streamed;
    buffer_bytes(r, block, used);
    r->head_len = first && !r->streamed && used >= 2 ? used : 0;
}

void httpd_flush(httpd_request *r) {
    if (!r || r->send_len == 0) return;
    r->streamed = 1;
    net_write(&r->stream, r->send_buf, r->send_len);
    r->send_len = 0;
}

void httpd_finish(httpd_request *r) {
    if (!r) return;
    if (r->headers_sent && !r->streamed && !r->length_sent && r->head_len >= 2 && r->head_len <= r->send_len) {
        char line[48];
        int n = std::snprintf(line, sizeof line, "Content-Length: %zu\r\n", r->bytes_sent);
        size_t len = n > 0 ? static_cast<size_t>(n) : 0;
        if (len > 0 && r->send_len + len <= sizeof r->send_buf) {
            // Before the blank line that ends the header block.
            uint8_t *at = r->send_buf + r->head_len - 2;
            std::memmove(at + len, at, r->send_len - (r->head_len - 2));
            std::memcpy(at, line, len);
            r->send_len += len;
            r->head_len += len;
            r->length_sent = 1;
        }
    }
    httpd_flush(r);
}

void httpd_add_header(httpd_request *r, const char *line) {
    if (!line) return;
    size_t used = std::strlen(r->headers);
    size_t room = sizeof r->headers - 1 - used;
    size_t len = std::strlen(line);
    size_t take = len < room ? len : room;
    std::memcpy(r->headers + used, line, take);
    used += take;
    r->headers[used] = 0;
    if (used > 0 && r->headers[used - 1] != '\n' && used < sizeof r->headers - 2) {
        r->headers[used++] = '\r';
        r->headers[used++] = '\n';
        r->headers[used] = 0;
    }
}

void httpd_output(httpd_request *r, const char *text) {
    if (!text) return;
    std::string out;
    out.reserve(HTTPD_OUTPUT_SIZE);
    char escaped[HTTPD_OUTPUT_SIZE];
    for (const char *p = text; *p;) {
        // Longer texts go out in slices of the output buffer, none of them lost.
        if (out.size() >= HTTPD_OUTPUT_SIZE - 1) {
            send_bytes(r, out.data(), out.size());
            out.clear();
        }
        if (*p != '$') {
            out.push_back(*p++);
            continue;
        }
        size_t name_len = 0;
        while (name_len < HTTPD_VAR_NAME_MAXN && is_name_char(p[1 + name_len])) ++name_len;
        std::string name(p + 1, name_len);
        const httpd_var *var = name_len ? httpd_find_variable(r, name.c_str()) : nullptr;
        if (!var) {
            out.push_back(*p++);
            continue;
        }
        // No value is trusted as markup: the client's, and neither a setting
        // that a command may have changed.
        httpd_html_escape(var->value, escaped, sizeof escaped);
        const char *value = escaped;
        size_t value_len = std::strlen(value);
        if (out.size() + value_len >= HTTPD_OUTPUT_SIZE - 1) {
            out.push_back(*p++);
            continue;
        }
        out.append(value, value_len);
        p += 1 + name_len;
    }
    send_bytes(r, out.data(), out.size());
}

void httpd_print(httpd_request *r, const char *text) {
    if (!text) return;
    send_bytes(r, text, std::strlen(text));
}

void httpd_write(httpd_request *r, const void *bytes, size_t len) {
    if (!bytes) return;
    send_bytes(r, bytes, len);
}

void httpd_force_auth(httpd_request *r) {
    httpd_set_status(r, "401 Please Authenticate\r\n");
    char line[128];
    std::snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"%s\"\r\n", HTTPD_REALM);
    httpd_add_header(r, line);
    // The body is the login's message, never markup.
    httpd_set_content_type(r, HTTPD_CONTENT_TEXT);
    httpd_output(r, "\n");
}

void httpd_send_404(httpd_request *r) {
    send_error_page(r, "404 Not Found\r\n", "404 Not Found", "The request URL was not found!");
}

void httpd_send_403(httpd_request *r) {
    send_error_page(r, "403 Forbidden\r\n", "403 Forbidden", "Cross-site requests are refused.");
}

void httpd_send_refusal(httpd_request *r, const char *status, const char *message) {
    std::string line = std::string(status) + "\r\n";
    send_error_page(r, line.c_str(), status, message);
}
