// The syslog client: each text line as one BSD-style message over UDP or TCP,
// facility "user", severity from the log level. Failures go to standard
// error, never to the log, so that the sink cannot feed itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "liblog/log2_ctl.h"
#include "libpal/os/os_socket.h"

constexpr size_t LOG_SYSLOG_URL_MAXN = 8192;
constexpr size_t LOG_SYSLOG_MSG_MAXN = 1536;
constexpr int LOG_SYSLOG_UDP = 2;
constexpr int LOG_SYSLOG_TCP = 4;
enum : int { LOG_SYSLOG_CLOSED = 0, LOG_SYSLOG_CONFIGURED = 1, LOG_SYSLOG_CONNECTED = 2 };

// A send never waits longer than this; the line is then counted as lost.
constexpr int LOG_SYSLOG_SEND_MS = 100;
// Bound of a TCP connect, which runs under the log lock.
constexpr int LOG_SYSLOG_CONNECT_MS = 200;
// After a reconnect failed, lines are dropped for this long instead of each
// paying for another connect.
constexpr int LOG_SYSLOG_RETRY_MS = 1000;

// Parses the URL; 0, or -1 (state closed) when it does not parse. Scheme
// "tcp" selects TCP, any other UDP; the connect waits for the first line.
int log_net_open(const char *url);
void log_net_close();
// True when the URL's authority has no port or a decimal one: a service
// name or stray text there would otherwise read as "no port".
bool log_net_url_port_ok(const char *url);
// The configured URL ("" before the first open).
const char *log_net_url();
// Sends one line (with the log line's time prefix of fmt_flags); 0 sent,
// -1 lost. Called under the log lock.
int log_syslog_write(uint32_t fmt_flags, int level, const char *tag, const char *line);
// Lines lost since start (send failed or timed out, or no server).
uint64_t log_syslog_lost();
int log_syslog_state();

// Connected socket to host and port (service "syslog" / "syslog-conn" when
// null) for protocol LOG_SYSLOG_UDP or _TCP; -1 (as os_socket: NONE) on failure.
os_socket syslog_open(const char *host, const char *port_text, int protocol);
// PRI of a selector "facility.priority" or "priority"; -1 when a name is unknown.
int syslog_selector_pri(const char *selector);
// The message "<PRI>Mmm dd hh:mm:ss host tag[pid]: text" into out; its length.
size_t syslog_format(char *out, size_t size, int pri, time_t when, const char *host,
                     const char *tag, int pid, const char *text);

// The operations registered at the syslog attach point.
extern const log2_net_ops g_log_syslog_ops;
