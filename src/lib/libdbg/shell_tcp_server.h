// The debug shell server: a TCP server that gives every accepted connection
// its own shell session on its own "netsh_srv" thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_socket.h"

constexpr size_t NETSH_CTX_SIZE = 168;          // bytes per connection record
constexpr int32_t NETSH_BACKLOG = 5;
constexpr int NETSH_MAX_SESSIONS = 64;          // concurrent sessions unless configured
constexpr uint32_t NETSH_READ_TIMEOUT_MS = 1000;  // stream time-out; an idle session sleeps until data or the stop

// Starts the server on every address of the ';' or ',' separated list (null
// or empty: the IPv4 and IPv6 wildcards) at port (0: the system picks one).
// 0, or -1 when it runs already or an address that was asked for could not
// be listened on (errno then tells why; nothing is left listening).
int debug_shell_server_init(const char *addr_list, int port);
// Closes the listeners, then ends every session and waits for its thread.
// On a session thread (the exit command) that thread's own session is left to
// end when the call returns, and debug_shell_server_wait waits for it. Safe
// to call when nothing runs.
void debug_shell_server_exit();
// After a stop: waits for a session that ran the stop from inside to end and
// releases the server. Does nothing on a session thread or while it runs.
// false when a session thread is still running after a second.
bool debug_shell_server_wait();
// Sessions beyond this many are refused at accept with a one-line message;
// below 1 gives the default. Takes effect for the next connection.
void debug_shell_server_max_sessions_set(int max_sessions);
// Port the listeners share, 0 while the server is down.
int debug_shell_server_port();
// Sessions whose thread is running, 0 while the server is down.
size_t debug_shell_server_sessions();
// True on a session thread whose session the server has been asked to end.
bool debug_shell_server_session_stopping();

// The TCP server's accept procedure (on the event loop thread): a record and
// a thread for the new connection; 0, or -1 with the socket closed.
int accept_proc(os_socket sock, const os_ipaddr *peer, void *arg);
// Runs one connection's session; arg is its connection record.
uint32_t netsh_srv_thread(void *arg);
