// Pieces the web console's units share; not for use outside libdbg.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "libdbg/web_console.h"

// The value of a query argument, read from the raw query text: not decoded,
// cut to size; empty when absent.
void http_query_arg(const char *query, const char *name, char *out, size_t size);
// The three page variables.
void http_add_page_vars(httpd_request *r);

// The page's token: 128 random bits as hex, made once per process; empty
// when the kernel's random source failed.
const char *http_page_token();
// A fresh nonce for the page's Content-Security-Policy; false on failure.
bool http_csp_nonce(char *out, size_t size);
// True when the Host header names this console: an address it was reached
// on, localhost, the host name, or one of debug:http_allowed_hosts.
bool http_host_allowed(const httpd_request *r);
// Prechecks: 0 to go on, -1 after the refusal was sent (421 or 403).
int http_check_host(httpd_request *r);
// A browser's request must carry the token and come from the page's own origin.
int http_check_browser(httpd_request *r);

// Without a login configured, only a peer the shell would serve may use the
// console: 0, or 1 after the 403 page.
int http_check_peer(httpd_request *r);
// The 401 of a refused login; without the challenge when the request asks
// for none (challenge=0), as the page's own requests do.
void http_force_auth(httpd_request *r);
// The audit line of a command or setting change from the console.
void http_audit(const httpd_request *r, const char *line);

// Endpoint handlers.
void http_callback_cmd(httpd_server *server, httpd_request *r);
void http_callback_log(httpd_server *server, httpd_request *r);
void http_callback_prometheus(httpd_server *server, httpd_request *r);

// Wraps text as [{"resp":"..."}] into out (size bytes). Too long, the
// escaped text is cut at a character boundary, so the reply stays valid JSON.
// The reply's length; 0 (out empty) for an empty text.
size_t http_json_resp(const char *text, size_t len, char *out, size_t size);
// Escapes up to len bytes of text as JSON into out, never past room bytes
// and never inside an escape or a UTF-8 sequence; the bytes written.
size_t http_json_escape_cut(const char *text, size_t len, char *out, size_t room);

// The level's name in /log replies and filters.
const char *http_log_level_name(int level);

// The log view's readers (a reader is the id a page or client sends).
constexpr size_t HTTP_LOG_KEEP_PER_LEVEL = 1000;  // recent records kept of each level
constexpr uint64_t HTTP_LOG_READER_IDLE_MS = 60000;  // a reader not polling this long is forgotten
// A record for every reader, as text or encoded (bsv_log_encode).
void http_log_readers_add(int level, const char *text);
void http_log_readers_add_record(const uint8_t *rec, size_t len);
// Makes the context that reads encoded records; 0, or -1 when out of memory.
int http_log_readers_start();
// Forgets the records and the readers; encoded records are refused until
// the next start.
void http_log_readers_clear();
// The JSON array for the reader: "N lines missed" first when it missed any,
// then its next records of max_level or more severe, oldest first, within
// HTTP_LOG_REPLY_SIZE bytes.
std::string http_log_readers_reply(const char *reader, int max_level, uint64_t now_ms);
// The most verbose level a filter name shows ("" all), or -1 when unknown.
int http_log_level_parse(const char *name);

// Built-in page and icon.
extern const char HTTP_BUILTIN_PAGE[];
extern const unsigned char HTTP_ICON_PNG[];
extern const size_t HTTP_ICON_PNG_SIZE;

// Requests served per endpoint, for the Prometheus view.
enum http_endpoint_id {
    HTTP_EP_ROOT,
    HTTP_EP_CMD,
    HTTP_EP_LOG,
    HTTP_EP_CONFIG,
    HTTP_EP_UPDATE,
    HTTP_EP_METRICS,
    HTTP_EP_PROMETHEUS,
    HTTP_EP_FAVICON,
    HTTP_EP_NOT_FOUND,
    HTTP_EP_COUNT,
};
void http_count_request(int endpoint);
uint64_t http_requests_served(int endpoint);
const char *http_endpoint_name(int endpoint);
