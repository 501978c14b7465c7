// Who may use the debug shell and the web console: the peer check at the
// start of a connection, the shell password, protected mode and the audit
// line of every command a remote session runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "libnet/net_sock.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_socket.h"
#include "libsh/libsh.h"

constexpr int DBG_AUTH_MAX_TRIES = 3;
constexpr size_t DBG_ACCESS_TEXT_SIZE = 256;

// Settings from section debug: shell_allowed_users (names or uids, ','
// separated), shell_server_pwd and protected_mode. Null texts count as empty.
void dbg_access_set(const char *allowed_users, const char *shell_pwd, int protected_mode);
// The shell password that hubd -e sends: HUBD_SHELL_PWD, else the setting.
const char *dbg_access_client_pwd();

enum dbg_access_verdict { DBG_ACCESS_SERVE, DBG_ACCESS_NEED_PWD, DBG_ACCESS_REFUSE };

struct dbg_peer {
    char addr[64];  // the address alone
    int port;
    bool loopback;
    bool uid_known;
    uint32_t uid;
};

// Who is at the other end of sock, and whether the connection is served as
// it is, only after a password (have_pwd: one is configured), or refused;
// why (DBG_ACCESS_TEXT_SIZE bytes) gets the line to send when refused, which
// names what ("shell", "console").
dbg_access_verdict dbg_access_check(os_socket sock, bool have_pwd, const char *what, dbg_peer *peer, char *why);
// The same with the connection's addresses known already (null or empty: asked
// of the socket), so that a server that has them from the accept asks nothing twice.
dbg_access_verdict dbg_access_check_addrs(os_socket sock, const os_ipaddr *local, const os_ipaddr *remote, bool have_pwd,
                                          const char *what, dbg_peer *peer, char *why);
// True when match holds for one item of a ',' separated list, each item
// without its surrounding blanks; empty items are skipped.
bool dbg_list_any(const std::string &list, bool (*match)(const std::string &item, const void *user), const void *user);

// hubd -e: sends "auth <password>" first when a password is known; 0, or -1
// after the refusal was printed on standard error.
int dbgcli_auth(net_sock *stream);

// A shell session's gate: the peer check when it starts, then every request.
struct dbgsh_gate {
    net_sock *stream;
    dbg_peer peer;
    bool need_pwd;
    bool authed;
    int wrong;
};
// 0 to serve the session; -1 after the refusal line went out on stream.
int dbgsh_gate_open(dbgsh_gate *gate, net_sock *stream);
// Before a request runs: 0 to run it (logged for the audit), 1 when the gate
// answered it itself (auth, or a refusal), -1 when the session must end.
int dbgsh_gate_request(dbgsh_gate *gate, shell_ctx *ctx, const char *line);
// The audit line of a command from a remote session (who: "tcp a:p uid=N",
// "web user"); set, call, exit and source at notice, others at info.
void dbg_audit_command(const char *who, const char *line);

// Refusals repeat as fast as a client sends: each kind is logged at once,
// then at most once a minute with the count of those not logged meanwhile.
struct dbg_log_rate {
    std::atomic<uint64_t> last_ms{0};
    std::atomic<unsigned> skipped{0};
};
// True when this one is to be logged; *skipped gets the count since the last.
bool dbg_log_rate_due(dbg_log_rate *rate, unsigned *skipped);
