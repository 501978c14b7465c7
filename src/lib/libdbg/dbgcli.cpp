#define LOG_TAG "dbg"
#include "libdbg/dbgcli.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "libdbg/dbg_access.h"
#include "libdbg/dbgsh_edit.h"
#include "libdbg/dbgsh_line.h"
#include "libnet/net_sock.h"
#include "libnet/sock_tcp_client.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/string/str_tool.h"
#include "libsh/libsh.h"
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

// Lines typed or piped in are refused here when the shell server would
// refuse them, in its words, and never sent.
constexpr size_t INTERACTIVE_LINE_SIZE = LIBSH_LINE_SIZE;

dbgsh_line_reader g_stdin_lines{};

void refuse_line(dbgcli_output_func output, int result, size_t len, size_t size) {
    char text[128];
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
bool next_command(dbgcli_ctx *cli, unsigned index, char *buf) {
    buf[0] = '\0';
    if (!is_interactive(cli)) return command_piece(cli->cmd, index, buf);
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
    net_sock stream{};
    net_sock_init_socket(&stream, sock, DBGCLI_REPLY_TIMEOUT_MS);
    if (dbgcli_auth(&stream) != 0) {
        net_close(&stream);
        return -1;
    }
    char line[DBGCLI_LINE_SIZE];
    char reply[NET_GETS_NUL_MAXN];
    int result = 0;
    for (unsigned index = 0;; ++index) {
        cli->state = DBGCLI_STATE_COMMAND;
        if (!next_command(cli, index, line)) break;
        const char *text = str_trim(line);
        if (std::strcmp(text, "quit") == 0) break;
        size_t len = std::strlen(text) + 1;
        if (net_write(&stream, text, len) != static_cast<int>(len)) {
            LOGE("error: execution command failed\n");
            result = -1;
            break;
        }
        cli->state = DBGCLI_STATE_REPLY;
        stream.timeout = DBGCLI_REPLY_TIMEOUT_MS;
        int ret = net_gets_nul(&stream, reply);
        // A peer that closed is no time-out: nothing more will come.
        if (ret == 0 && stream.disconnected) ret = -1;
        LOGV("ret=%d\n", ret);
        if (ret == 0) {
            LOGE("error: read command returns timeout\n");
            continue;
        }
        if (ret < 0) {
            LOGD("error: read command returns error\n");
            result = -1;
            break;
        }
        size_t reply_len = std::strlen(reply);
        if (reply_len > 0 && reply[reply_len - 1] == '\n') reply[reply_len - 1] = '\0';
        cli->output(reply);
        std::fflush(stdout);
    }
    cli->state = DBGCLI_STATE_IDLE;
    net_close(&stream);
    return result;
}
