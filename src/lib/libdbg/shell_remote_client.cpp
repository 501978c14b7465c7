#define LOG_TAG "dbg"
#include "libdbg/shell_remote_client.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libdbg/dbg_access.h"
#include "libdbg/shell_cmd_pieces.h"
#include "libdbg/shell_line_edit.h"
#include "libdbg/shell_line_reader.h"
#include "libdbg/shell_request.h"
#include "libnet/net_sock.h"
#include "libnet/sock_tcp_client.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_tool.h"
#include "libpal/string/str_vector.h"
#include "libsh/libsh.h"
#include "liblog/log2.h"

namespace {

bool is_interactive(const dbgcli_ctx *cli) { return !cli->cmd || std::strcmp(cli->cmd, "sh") == 0; }

// Lines typed or piped in are refused here when the shell server would
// refuse them, in its words, and never sent.
constexpr size_t INTERACTIVE_LINE_SIZE = LIBSH_LINE_SIZE;

dbgsh_line_reader g_stdin_lines{};
// A refused line is a failed command to the script that sent it.
bool g_line_refused = false;

void refuse_line(dbgcli_output_func output, int result, size_t len, size_t size) {
    char text[128];
    g_line_refused = true;
    dbgsh_line_refusal(result, len, size, text, sizeof text);
    text[std::strcspn(text, "\n")] = '\0';  // the output function ends the line
    output(text);
    std::fflush(stdout);
}

// One line of standard input that fits size; refused lines are reported
// through output and skipped. Its length, or -1 at the end of input.
int stdin_line(char *buf, size_t size, dbgcli_output_func output) {
    for (;;) {
        size_t len = 0;
        int result = dbgsh_line_read_fd(&g_stdin_lines, STDIN_FILENO, buf, size, &len, nullptr);
        if (result == DBGSH_LINE_READY) return static_cast<int>(len);
        if (result == DBGSH_LINE_END) return -1;
        refuse_line(output, result, len, size);
    }
}

// Next command into buf; false when the input is used up.
bool next_command(dbgcli_ctx *cli, char *buf) {
    buf[0] = '\0';
    if (cli->input != dbgcli_stdin_input) return cli->input(buf, DBGCLI_LINE_SIZE) >= 0;
    if (dbgsh_edit_usable()) {
        for (;;) {
            size_t len = 0;
            int result = dbgsh_edit_gets(cli->prompt, buf, INTERACTIVE_LINE_SIZE, nullptr, &len);
            if (result == DBGSH_LINE_READY) return true;
            if (result == DBGSH_LINE_END) return false;
            refuse_line(cli->output, result, len, INTERACTIVE_LINE_SIZE);
        }
    }
    // A prompt is for a person: what a script reads holds only the replies.
    if (isatty(STDIN_FILENO) == 1) {
        std::fputs(cli->prompt, stdout);
        std::fflush(stdout);
    }
    return stdin_line(buf, INTERACTIVE_LINE_SIZE, cli->output) >= 0;
}

}  // namespace

int dbgcli_stdin_input(char *buf, size_t size) { return stdin_line(buf, size, dbgcli_stdout_output); }

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
    // The password comes first: a session that needs it answers nothing else.
    if (dbgcli_auth(&conn.stream) != 0 || !start_session(&conn, addr, port)) {
        net_close(&conn.stream);
        return -1;
    }
    // A piece goes whole: the server refuses an over-long one in its words.
    str_vector pieces;
    str_vector_init(&pieces, STR_VECTOR_COPY);
    bool interactive = is_interactive(cli);
    if (!interactive && dbgsh_cmd_pieces(cli->cmd, &pieces) != 0) {
        LOGE("error: out of memory splitting the command text\n");
        net_close(&conn.stream);
        return -1;
    }
    char line[DBGCLI_LINE_SIZE];
    std::string reply;
    int result = 0;
    for (uint64_t index = 0;; ++index) {
        cli->state = DBGCLI_STATE_COMMAND;
        const char *text = nullptr;
        if (interactive) {
            if (!next_command(cli, line)) break;
            text = str_trim(line);
        } else {
            if (index >= pieces.count) break;
            text = pieces.items[index];
        }
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
    if (result == 0 && g_line_refused) result = 1;
    str_vector_clear(&pieces);
    cli->state = DBGCLI_STATE_IDLE;
    net_close(&conn.stream);
    return result;
}
