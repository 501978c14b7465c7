// The remote shell client: connects to the debug shell server of a running
// instance, sends commands and prints the replies.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t DBGCLI_PROMPT_SIZE = 128;
constexpr uint32_t DBGCLI_CONNECT_TIMEOUT_MS = 2000;
constexpr uint32_t DBGCLI_BUF_SIZE = 10240;
constexpr uint32_t DBGCLI_REPLY_TIMEOUT_MS = 60000;
constexpr size_t DBGCLI_LINE_SIZE = 16384;  // lines from an input function

// Client states.
constexpr int32_t DBGCLI_STATE_IDLE = 0;
constexpr int32_t DBGCLI_STATE_COMMAND = 1;  // reading or sending a command
constexpr int32_t DBGCLI_STATE_REPLY = 2;    // waiting for the reply

// Reads one command line into buf (at most size - 1 bytes, line end removed):
// its length, or -1 when there is no more input. A longer line is never cut.
using dbgcli_input_func = int (*)(char *buf, size_t size);
// Shows one reply.
using dbgcli_output_func = void (*)(const char *text);

struct dbgcli_ctx {
    int32_t state;
    char prompt[DBGCLI_PROMPT_SIZE];  // "%s>" of the application name
    const char *cmd;                  // null or "sh": interactive; else commands (dbgsh_cmd_pieces)
    dbgcli_input_func input;          // null: one line of standard input
    dbgcli_output_func output;        // null: the text and a newline on standard output
};

// Runs the commands of cli on the shell server at addr:port over one
// connection, with the session's status option on. 0 when every command ran
// and returned 0; 1 when one failed (its text is printed as any reply); -1
// when the connection failed ("sock_connect %s:%u error: %s\n"), the server
// refused the session (its reason goes to standard error), or the connection
// broke or went silent before a reply ended.
int debug_shell_connet_exec_cmd(const char *addr, int port, dbgcli_ctx *cli);

// The default input and output functions. dbgcli_stdin_input refuses a line
// longer than size - 1 bytes or with a byte 0 in it: its error goes out
// through dbgcli_stdout_output, and the next line is read.
int dbgcli_stdin_input(char *buf, size_t size);
void dbgcli_stdout_output(const char *text);
