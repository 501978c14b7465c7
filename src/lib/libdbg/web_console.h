// The web debug console: an instance of the HTTP engine that serves the
// console page, runs shell commands, shows the live log and lists and sets
// the dynamic variables, behind HTTP Basic authentication. Every connection
// is served by one of a bounded set of "http_cli" threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libhttpd/httpd.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_socket.h"

constexpr int32_t DBG_HTTP_BACKLOG = 100;
constexpr int DBG_HTTP_MAX_CLIENTS = 256;
constexpr size_t HTTP_CMD_REPLY_SIZE = 16384;
constexpr size_t HTTP_LOG_REPLY_SIZE = 16384;
constexpr size_t HTTP_LOG_TEXT_SIZE = 1472;
// Listened on when no address is configured at all.
constexpr const char *DBG_HTTP_LOOPBACK_ADDRS = OS_IPADDR_LOOPBACK_LIST;

struct web_settings {
    uint8_t use_libpwd;  // credentials go through libpwd's lockout check
    char *title;
    char *user;
    char *pwd;
    char *prompt;
    int max_clients;  // connections served at once; more are closed at once
};

// The settings the next start uses; null texts count as empty. use_libpwd
// and max_clients (0: DBG_HTTP_MAX_CLIENTS) come from section debug.
void dbg_http_settings_set(const char *title, const char *user, const char *pwd, const char *prompt);
void dbg_http_options_set(int use_libpwd, int max_clients);
// Host names the console answers to besides its addresses, localhost and
// the host name (debug:http_allowed_hosts, ',' separated).
void dbg_http_allowed_hosts_set(const char *list);

// Loads the page, opens the log reader and starts the server on the address
// list (null: loopback only; "": every address) and port (0: the system
// picks one). 0, or -1 after "debug_http_server_init failed\n", with errno
// set when an address that was asked for could not be listened on.
int debug_http_server_init(const char *addr_list, int port);
// The server alone, with the page already loaded; 0 or -1 (errno as above).
int dbg_http_server_start(const char *addr_list, int port);
// Closes the listeners, ends the connections and frees the server, the log
// reader and the page. On a connection thread that thread's own request is
// left to finish; dbg_http_server_wait waits for it. Safe when nothing runs.
void dbg_http_server_stop();
// After a stop: waits for connection threads still running and releases
// what the stop had to leave. Does nothing on a connection thread. false
// when a connection thread is still running after the wait.
bool dbg_http_server_wait();
// The port the listeners share, 0 while stopped.
int dbg_http_server_port();
// Connection threads alive, busy or idle.
int dbg_http_server_threads();
// Connections being served now (threads that are not idle).
size_t dbg_http_server_connections();

// The event loop's accept procedure, used while no connection thread waits
// for connections itself: starts an "http_cli" thread for the connection,
// or refuses it (503 at the cap); 0, or -1 with the socket closed.
int http_accept_proc(os_socket sock, const os_ipaddr *peer, void *arg);
// 0 to go on, 1 when the 401 response has been sent.
int is_need_auth(httpd_request *r);
// Runs a command line with its output collected into reply
// (HTTP_CMD_REPLY_SIZE bytes) as JSON; the shell's result.
int http_exec_cmd(const char *cmd, char *reply);
// Opens the log reader; 0 or -1.
int http_log_init();
void http_log_exit();
