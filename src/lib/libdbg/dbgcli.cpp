#define LOG_TAG "dbg"
#include "libdbg/dbgcli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libdbg/dbgsh_edit.h"
#include "libdbg/dbgsh_request.h"
#include "libnet/net_sock.h"
#include "libnet/sock_tcp_client.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_tool.h"
#include "liblog/log2.h"

namespace {

bool is_interactive(const dbgcli_ctx *cli) { return !cli->cmd || std::strcmp(cli->cmd, "sh") == 0; }

// Piece index of the ';'-separated command string into buf (at most
// DBGCLI_LINE_SIZE - 2 bytes); false when there is no such piece.
bool command_piece(const char *commands, unsigned index, char *buf) {
    const char *piece = commands;
    for (unsigned i = 0; piece && i < index; ++i) {
        piece = std::strchr(piece, ';');
        if (piece) ++piece;
    }
    if (!piece) return false;
    size_t len = std::strcspn(piece, ";");
    if (len > DBGCLI_LINE_SIZE - 2) len = DBGCLI_LINE_SIZE - 2;
    std::memcpy(buf, piece, len);
    buf[len] = '\0';
    return true;
}

// Next command into buf; false when the input is used up.
bool next_command(dbgcli_ctx *cli, unsigned index, char *buf) {
    buf[0] = '\0';
    if (!is_interactive(cli)) return command_piece(cli->cmd, index, buf);
    if (cli->input == dbgcli_stdin_input && dbgsh_edit_usable())
        return dbgsh_edit_gets(cli->prompt, buf, DBGCLI_LINE_SIZE, nullptr) >= 0;
    if (cli->input == dbgcli_stdin_input) {
        std::fputs(cli->prompt, stdout);
        std::fflush(stdout);
    }
    return cli->input(buf, DBGCLI_LINE_SIZE) >= 0;
}

}  // namespace

int dbgcli_stdin_input(char *buf, size_t size) {
    if (!std::fgets(buf, static_cast<int>(size), stdin)) return -1;
    size_t len = std::strcspn(buf, "\r\n");
    bool whole_line = buf[len] != '\0' || std::feof(stdin);
    buf[len] = '\0';
    // The rest of an over-long line would otherwise arrive as the next command.
    if (!whole_line) {
        int c;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        }
    }
    return static_cast<int>(len);
}

void dbgcli_stdout_output(const char *text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
}

namespace {

// Replies are text; one longer than this is no reply of this shell.
constexpr size_t REPLY_MAX_BYTES = 64u << 20;

enum class reply_end { whole, timed_out, broken, too_long };

// The client's side of the connection: bytes received after one reply's end
// byte wait for the next reply.
struct cli_conn {
    net_sock stream{};
    std::string pending;
};

// One reply up to its end byte into text (CRs removed, end byte not kept).
reply_end read_reply(cli_conn *c, std::string *text) {
    text->clear();
    uint64_t start = os_clock_ms();
    for (;;) {
        size_t end = c->pending.find('\0');
        size_t take = end == std::string::npos ? c->pending.size() : end;
        for (size_t i = 0; i < take; ++i)
            if (c->pending[i] != '\r') text->push_back(c->pending[i]);
        c->pending.erase(0, end == std::string::npos ? take : end + 1);
        if (end != std::string::npos) return reply_end::whole;
        if (text->size() > REPLY_MAX_BYTES) return reply_end::too_long;
        uint64_t waited = os_clock_ms() - start;
        if (waited >= DBGCLI_REPLY_TIMEOUT_MS) return reply_end::timed_out;
        char buf[4096];
        int n = net_sock_read_some(&c->stream, buf, sizeof buf, static_cast<int>(DBGCLI_REPLY_TIMEOUT_MS - waited));
        if (n < 0) return reply_end::broken;
        c->pending.append(buf, static_cast<size_t>(n));
    }
}

bool send_request(cli_conn *c, const char *text) {
    size_t len = std::strlen(text) + 1;
    return net_write(&c->stream, text, len) == static_cast<int>(len);
}

// Splits the status the session adds to every reply off text; false when
// the reply carries none.
bool take_status(std::string *text, int *status) {
    size_t lead = text->rfind(DBGSH_OPTION_LEAD);
    if (lead == std::string::npos) return false;
    const char *digits = text->c_str() + lead + 1;
    char *end = nullptr;
    long value = std::strtol(digits, &end, 10);
    if (end == digits || *end != '\0') return false;
    *status = static_cast<int>(value);
    text->erase(lead);
    return true;
}

void print_refusal(const std::string &text, const char *addr, int port) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) line = "error: the shell server closed the connection before the session started";
    std::fprintf(stderr, "%s:%d: %s\n", addr, port, line.c_str());
    std::fflush(stderr);
}

// Asks the session for the status of every line: a refused connection
// answers with its reason instead. True when the session is ready.
bool start_session(cli_conn *c, const char *addr, int port) {
    // A server that refuses may already have closed: its reason is read even
    // when the request cannot be sent.
    send_request(c, DBGSH_OPTION_STATUS);
    std::string reply;
    reply_end end = read_reply(c, &reply);
    int status = -1;
    if (end == reply_end::whole && take_status(&reply, &status) && status == 0 && reply.empty()) return true;
    print_refusal(reply, addr, port);
    return false;
}

}  // namespace

int debug_shell_connet_exec_cmd(const char *addr, int port, dbgcli_ctx *cli) {
    PAL_ASSERT_RET(addr && cli, -1);
    LOGV("ip=%s port=%d cmd=[%s]\n", addr, port, cli->cmd ? cli->cmd : "");
    sock_cli_conf conf{};
    conf.connect_timeout = DBGCLI_CONNECT_TIMEOUT_MS;
    conf.buf_size = DBGCLI_BUF_SIZE;
    verr err{};
    os_socket sock = sock_tcp_connect(addr, port, &conf, &err);
    if (sock == OS_SOCKET_NONE) {
        LOGE("sock_connect %s:%u error: %s\n", addr, static_cast<unsigned>(port), err.msg);
        return -1;
    }
    if (!cli->input) cli->input = dbgcli_stdin_input;
    if (!cli->output) cli->output = dbgcli_stdout_output;
    cli_conn conn;
    net_sock_init_socket(&conn.stream, sock, DBGCLI_REPLY_TIMEOUT_MS);
    if (!start_session(&conn, addr, port)) {
        net_close(&conn.stream);
        return -1;
    }
    char line[DBGCLI_LINE_SIZE];
    std::string reply;
    int result = 0;
    for (unsigned index = 0;; ++index) {
        cli->state = DBGCLI_STATE_COMMAND;
        if (!next_command(cli, index, line)) break;
        const char *text = str_trim(line);
        if (std::strcmp(text, "quit") == 0) break;
        if (!send_request(&conn, text)) {
            LOGE("error: execution command failed\n");
            result = -1;
            break;
        }
        cli->state = DBGCLI_STATE_REPLY;
        reply_end end = read_reply(&conn, &reply);
        LOGV("ret=%zu\n", reply.size());
        // A reply that did not come would arrive as the next one: the replies
        // would fall out of step with the commands, so the run ends here.
        if (end == reply_end::timed_out) {
            LOGE("error: read command returns timeout\n");
            result = -1;
            break;
        }
        int status = 0;
        if (end == reply_end::too_long || (end == reply_end::whole && !take_status(&reply, &status))) {
            LOGE("error: the reply to [%s] is no shell reply (longer than %zu bytes or without its status)\n", text,
                 REPLY_MAX_BYTES);
            result = -1;
            break;
        }
        if (end == reply_end::broken) {
            LOGD("error: read command returns error\n");
            LOGE("error: the connection broke before the reply to [%s] ended\n", text);
            result = -1;
            break;
        }
        if (!reply.empty() && reply.back() == '\n') reply.pop_back();
        cli->output(reply.c_str());
        std::fflush(stdout);
        if (status != 0) result = 1;
    }
    cli->state = DBGCLI_STATE_IDLE;
    net_close(&conn.stream);
    return result;
}
