// A small HTTP/1.x engine for status pages: one request per connection, the
// path cleaned, query arguments kept as request variables, a content tree of
// handler functions, and the response helpers a handler needs. The server
// always answers with "Connection: close". Listening and the connection
// threads belong to the instance that uses it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libnet/net_sock.h"
#include "libpal/network/os_ipaddr.h"

constexpr size_t HTTPD_INBUF_SIZE = 4096;
constexpr size_t HTTPD_LINE_MAXN = 65535;     // longer lines are split
constexpr size_t HTTPD_PATH_SIZE = 1024;      // path and host hold 1023 characters
constexpr size_t HTTPD_QUERY_SIZE = 16384;    // the query holds 16383
// A longer request target gets 414, a longer header line or header block 431.
constexpr size_t HTTPD_TARGET_MAXN = HTTPD_PATH_SIZE + HTTPD_QUERY_SIZE;
constexpr size_t HTTPD_HEADER_LINE_MAXN = 8192;
constexpr size_t HTTPD_HEADERS_MAXN = 32768;
// What a refused request may still send is read and dropped, up to this,
// so that the close does not reset the connection before the reply is read.
constexpr size_t HTTPD_DRAIN_MAXN = 4 * 1024 * 1024;
constexpr uint32_t HTTPD_DRAIN_MS = 2000;
constexpr size_t HTTPD_AUTH_SIZE = 128;       // Basic user and password hold 127
constexpr size_t HTTPD_ADDR_SIZE = 80;
constexpr size_t HTTPD_STATUS_SIZE = 1024;
constexpr size_t HTTPD_FETCH_SITE_SIZE = 32;
constexpr size_t HTTPD_HEADER_BLOCK_SIZE = 4096;
constexpr size_t HTTPD_OUTPUT_SIZE = 64 * 1024;
constexpr size_t HTTPD_SEND_BUF_SIZE = 16 * 1024;  // replies go out in as few sends as this allows
constexpr size_t HTTPD_VAR_NAME_MAXN = 80;
constexpr size_t HTTPD_BASE64_MAXN = 100;
constexpr uint32_t HTTPD_READ_TIMEOUT_MS = 2000;
constexpr uint32_t HTTPD_MORE_TIMEOUT_MS = 200;
// Request line and headers together: a client that trickles bytes cannot
// hold a connection thread longer than this.
constexpr uint32_t HTTPD_HEAD_DEADLINE_MS = 10000;

constexpr int HTTPD_METHOD_NONE = 0;
constexpr int HTTPD_METHOD_GET = 1;
constexpr int HTTPD_METHOD_POST = 2;
constexpr int HTTPD_METHOD_HEAD = 3;  // served as GET, without the body
constexpr int HTTPD_ENTRY_FUNCTION = 2;

constexpr const char *HTTPD_STATUS_OK = "200 OK\r\n";
constexpr const char *HTTPD_SERVER_HEADER = "Server: QELTO Http Server\r\n";
constexpr const char *HTTPD_CONTENT_HTML = "text/html; charset=utf-8";
constexpr const char *HTTPD_CONTENT_JSON = "application/json; charset=utf-8";
constexpr const char *HTTPD_CONTENT_TEXT = "text/plain; charset=utf-8";
constexpr const char *HTTPD_CONTENT_ICON = "image/x-icon";
constexpr const char *HTTPD_REALM = "qelto";

struct httpd_server;
struct httpd_request;

using httpd_func = void (*)(httpd_server *server, httpd_request *r);
// Runs before the function; a negative result stops the request there.
using httpd_precheck = int (*)(httpd_server *server, httpd_request *r);

struct httpd_entry {
    char *name;  // "" is the entry of the directory itself
    int kind;    // HTTPD_ENTRY_FUNCTION
    int index;
    httpd_precheck precheck;  // may be null
    httpd_func func;
    httpd_entry *next;
};

struct httpd_dir {
    char *name;
    httpd_dir *children;
    httpd_dir *next;
    httpd_entry *entries;
};

struct httpd_server {
    httpd_dir *root;  // named ""
    int64_t start_time;
    void *user;  // the instance's own data
};

// A request variable; further values of the same name hang on more.
struct httpd_var {
    char *name;
    char *value;
    httpd_var *more;
    httpd_var *next;
    uint8_t from_query;  // came from the client: escaped where it is substituted
};

struct httpd_request {
    net_sock stream;
    // The connection's addresses when the server knows them already (from
    // the accept, from the listener); empty: ask the socket.
    os_ipaddr peer_ip;
    os_ipaddr local_ip;
    char client_addr[HTTPD_ADDR_SIZE];
    uint8_t inbuf[HTTPD_INBUF_SIZE];
    size_t in_pos;
    size_t in_left;
    uint64_t head_deadline;  // monotonic ms; 0 while no request is being read
    // Set by a server whose listener holds connections back until their
    // first bytes, for this long at most: a connection accepted without any
    // has waited that long already, which its first wait gives back.
    uint32_t accept_delay_ms;
    int method;
    int version;  // 1 for HTTP/1.0, else 2
    char path[HTTPD_PATH_SIZE];
    char query[HTTPD_QUERY_SIZE];
    char host[HTTPD_PATH_SIZE];
    uint8_t host_from_target;  // an absolute-form target named the host
    char origin[HTTPD_PATH_SIZE];
    char fetch_site[HTTPD_FETCH_SITE_SIZE];
    uint8_t from_browser;  // sent Origin, Referer or a Sec-Fetch-* header
    char user[HTTPD_AUTH_SIZE];
    char pwd[HTTPD_AUTH_SIZE];
    uint8_t gzip;
    httpd_var *vars;
    char status[HTTPD_STATUS_SIZE];
    char headers[HTTPD_STATUS_SIZE];
    char content_type[HTTPD_STATUS_SIZE];
    uint8_t headers_sent;
    uint8_t drain;  // a refused request: its unread input is dropped before the close
    size_t bytes_sent;
    httpd_entry *entry;
    uint8_t send_buf[HTTPD_SEND_BUF_SIZE];
    size_t send_len;
    size_t head_len;        // the header block at the start of send_buf, while nothing has gone out
    uint8_t length_sent;    // the header block names the body's length
    uint8_t streamed;       // part of the reply has gone out already
};

// ---- Server and content tree --------------------------------------------
// New server with an empty tree; null when memory runs out.
httpd_server *httpd_server_new();
// Frees the content tree and the record; null is ignored.
void httpd_server_free(httpd_server *server);
// Adds a function entry under the directory (created when missing); 0 or -1.
int httpd_add_c_content(httpd_server *server, const char *dir, const char *name, int index,
                        httpd_precheck precheck, httpd_func func);
// Dispatches a read request to its entry, or answers 404.
void httpdProcessRequest(httpd_server *server, httpd_request *r);

// ---- Requests -------------------------------------------------------------
// A fresh request on the stream's socket (read time-out HTTPD_READ_TIMEOUT_MS);
// the client address text is cut at its last ':'. Null when memory runs out.
httpd_request *httpd_request_new(os_socket sock, const char *client_addr);
// Sends what the response functions have buffered.
void httpd_flush(httpd_request *r);
// Sends the rest of the reply. A reply that is still whole in the buffer
// gets its Content-Length, so that the client knows its end without waiting
// for the close.
void httpd_finish(httpd_request *r);
// Flushes, frees the variables, closes the stream and frees the record; null is ignored.
void httpd_request_free(httpd_request *r);
// Reads the request line and headers and parses the query; 0, or -1 when
// the request was refused (400, 405, 414, 431 or 501, already sent).
int httpdReadRequest(httpd_request *r);
// Frees the request variables.
void httpd_free_variables(httpd_request *r);
// Adds a handler variable; it wins over a query argument of the same name. 0 or -1.
int httpd_add_variable(httpd_request *r, const char *name, const char *value);
// The variable, preferring handler variables over query arguments; null when absent.
const httpd_var *httpd_find_variable(const httpd_request *r, const char *name);
// Its first value, or null.
const char *httpd_get_variable(const httpd_request *r, const char *name);
// Deadline for request line and headers in ms (0: HTTPD_HEAD_DEADLINE_MS).
void httpd_head_deadline_set(uint32_t ms);
// Cleans the path in place: no double slashes, no "/./", "/../" drops a segment.
void httpd_sanitise_url(char *url);

// ---- Responses ------------------------------------------------------------
void httpd_send_headers(httpd_request *r, int content_length, int64_t mod_time);
void httpd_add_header(httpd_request *r, const char *line);
void httpd_set_status(httpd_request *r, const char *status);
// The Content-Type value (without the line end); text/html until set.
void httpd_set_content_type(httpd_request *r, const char *type);
// Text with $name replaced by request variables, each HTML-escaped.
void httpd_output(httpd_request *r, const char *text);
void httpd_print(httpd_request *r, const char *text);
void httpd_write(httpd_request *r, const void *bytes, size_t len);
void httpd_force_auth(httpd_request *r);
void httpd_send_404(httpd_request *r);
// Refusal of a request the instance will not serve (cross-site, for one).
void httpd_send_403(httpd_request *r);
// A short HTML page with the status ("421 Misdirected Request") and the
// message, escaped.
void httpd_send_refusal(httpd_request *r, const char *status, const char *message);
// An error reply: the status line of code with its reason phrase and a short
// page with message (405 adds Allow, 503 Retry-After). The request's input
// is dropped before the close.
void httpd_send_error(httpd_request *r, int code, const char *message);
// The reason phrase of a status code ("OK", "Not Found"...); "Error" when unknown.
const char *httpd_reason(int code);
// The 503 reply for a connection that will not be served, written straight
// to the socket (which stays open); what has arrived of the request is read
// first, so that the close does not reset the reply away.
void httpd_refuse_busy(os_socket sock);

// ---- Decoding -------------------------------------------------------------
// Decodes base64 text into out (HTTPD_BASE64_MAXN + 1 bytes); the decoded length.
int httpd_base64_decode(const char *text, char *out);
// '+' to blank and %XX to its byte, in place.
void httpd_url_decode(char *text);
// The first malformed escape of text ('%' not followed by two hexadecimal
// digits), or null when every escape is sound.
const char *httpd_bad_escape(const char *text);
// Escapes & < > " ' for HTML into out (size bytes, always terminated); the length.
size_t httpd_html_escape(const char *text, char *out, size_t size);
