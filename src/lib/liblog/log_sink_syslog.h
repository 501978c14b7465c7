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
// A whole message (header and text, without the frame end): what rsyslog
// takes by default (its "8k" is 8096 bytes of frame; a longer frame it
// splits into two messages, the second without a header). A longer line is
// cut at a character boundary and ends with LOG_SYSLOG_CUT_MARK.
constexpr size_t LOG_SYSLOG_MSG_MAXN = 8096;
constexpr const char LOG_SYSLOG_CUT_MARK[] = "...";
constexpr int LOG_SYSLOG_UDP = 2;
constexpr int LOG_SYSLOG_TCP = 4;
enum : int { LOG_SYSLOG_CLOSED = 0, LOG_SYSLOG_CONFIGURED = 1, LOG_SYSLOG_CONNECTED = 2 };

// A send never waits longer than this; the line is then counted as lost.
constexpr int LOG_SYSLOG_SEND_MS = 100;
// Bound of a TCP connect to one address, which runs under the log lock; also
// how long the first line waits for the name to be resolved.
constexpr int LOG_SYSLOG_CONNECT_MS = 200;
// After a connect failed or a send timed out, lines are dropped (and counted)
// for a hold-off that doubles from the first to the last value; a
// connection that lasted the longest hold-off starts again from the first.
constexpr int LOG_SYSLOG_RETRY_MS = 1000;
constexpr int LOG_SYSLOG_RETRY_MAX_MS = 30000;
// Addresses of the name tried in turn.
constexpr size_t LOG_SYSLOG_ADDR_MAXN = 8;

// Checks a network sink's URL: scheme "tcp" or "udp" (udp_only: "udp" or
// "udps"), a host, and a port of 1 to 65535 when one is given. 0 with the
// host, port (0 when none) and LOG_SYSLOG_UDP/_TCP; -1 with what is wrong
// and what is allowed in err.
int log_net_url_check(const char *url, bool udp_only, char *host, size_t host_size, int *port, int *protocol,
                      char *err, size_t err_size);
// Checks the URL; 0, or -1 (state closed, the reason on standard error).
// The name is resolved by a thread of its own ("syslog_dns"), never under
// the log lock; the connect waits for the first line.
int log_net_open(const char *url);
void log_net_close();
// True when the URL's authority has no port or a decimal one: a service
// name or stray text there would otherwise read as "no port".
bool log_net_url_port_ok(const char *url);
// The configured URL ("" before the first open).
const char *log_net_url();
// Sends one line (with the log line's time prefix of fmt_flags), whole or
// not at all; 0 sent, -1 lost (counted). Called under the log lock.
int log_syslog_write(uint32_t fmt_flags, int level, const char *tag, const char *line);
// Lines lost since start (send failed or timed out, or no server).
uint64_t log_syslog_lost();
int log_syslog_state();

// Up to max addresses of host and port (service "syslog" / "syslog-conn"
// when null) for protocol LOG_SYSLOG_UDP or _TCP; their number, 0 on failure
// (reported on standard error).
size_t syslog_resolve(const char *host, const char *port_text, int protocol, os_ipaddr *out, size_t max);
// Connected socket to the first of the addresses that takes a connection;
// OS_SOCKET_NONE when none does.
os_socket syslog_connect(const os_ipaddr *addrs, size_t count, int protocol);
// PRI of a selector "facility.priority" or "priority"; -1 when a name is unknown.
int syslog_selector_pri(const char *selector);
// The message "<PRI>Mmm dd hh:mm:ss host tag[pid]: text" into out; its
// length. A text that does not fit is cut before a whole UTF-8 character and
// ends with LOG_SYSLOG_CUT_MARK.
size_t syslog_format(char *out, size_t size, int pri, time_t when, const char *host,
                     const char *tag, int pid, const char *text);

// The operations registered at the syslog attach point.
extern const log2_net_ops g_log_syslog_ops;
