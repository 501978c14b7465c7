// The command interpreter shared by every shell channel (console, TCP
// sessions, the web console's command endpoint). It never writes to a channel
// itself: each session hands it a shell_ctx whose three output operations
// decide where the text goes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libsh/shell_getopt.h"

constexpr int32_t STDIO_MODE = 0;
constexpr int32_t NET_MODE = 1;
constexpr int32_t HTTP_MODE = 2;
constexpr int32_t PIPE_MODE = 3;

constexpr size_t LIBSH_LINE_SIZE = 4096;
constexpr size_t LIBSH_LINE_MAX = LIBSH_LINE_SIZE - 1;  // a longer line is refused whole
constexpr size_t LIBSH_PROMPT_SIZE = 32;
constexpr size_t LIBSH_SESSION_NAME_SIZE = 96;

// One shell session, owned by the channel that runs it.
struct shell_ctx {
    int32_t mode;        // STDIO_MODE, NET_MODE, HTTP_MODE or PIPE_MODE; not read by the interpreter
    int32_t exit_flag;   // set by exit and quit; the channel ends the session after that line
    void *out;           // handed back to the three operations
    int (*print)(void *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    int (*write)(void *out, const char *text, size_t len);
    // Ends the reply to one line: libsh_exec_line calls it exactly once per
    // line, after all of that line's output, whatever the line did (a network
    // session sends its end byte here).
    int (*flush)(void *out);
    // Sends what has been printed so far without ending the reply, for a
    // command that is about to stop the process or to run for long. May be null.
    int (*push)(void *out);
    // Non-zero once the session should end (its server stops, its client has
    // gone); commands that run for long ask it between steps. May be null.
    int (*stopped)(void *out);
    shell_getopt_state opt;
    // 0 while every command of the current line has run and returned 0, else
    // the first other result (a refused line counts -1). Reset when a line
    // starts, final when flush is called.
    int32_t status;
    // The line an empty input repeats; this session's own. Empty at start.
    char last_line[LIBSH_LINE_SIZE];
    // Who the session is, for the log ("console", "tcp 127.0.0.1:40000"); may be empty.
    char name[LIBSH_SESSION_NAME_SIZE];
};

using shell_cmd_func = int (*)(shell_ctx *ctx, int argc, char **argv);

struct shell_cmd {
    const char *name;
    shell_cmd_func func;
    const char *help;
};

// Builds the environment copy, the aliases, the three registries and the
// shell's own items. Returns 0. A second call without libsh_exit does nothing.
int libsh_init();
// Frees aliases, environment copy, extension commands and registries; tolerates running twice.
void libsh_exit();

// Runs one input line (';'-separated commands) and ends its reply with one
// flush. Returns the last command's result, -1 for unbalanced quotes or a line
// over LIBSH_LINE_MAX bytes (an error line, nothing runs), -12 for an unknown
// command.
int libsh_exec_line(shell_ctx *ctx, const char *line);
// Runs a NULL-terminated list of commands; stops at the first negative
// result. Does not flush: the reply belongs to the line.
int exec_commands(shell_ctx *ctx, char **commands);
// The usage text of a command (its help line inside), printed by "help NAME"
// and by "NAME -h"; 0, or -1 when no command has that name.
int libsh_cmd_usage(shell_ctx *ctx, const char *name);

// Handler of a command, or null. The built-in table wins over the extension table.
shell_cmd_func libsh_cmd_func(const char *name);
// Help text of the first match, extension table first; "get cmd help failed" when none.
const char *libsh_cmd_help(const char *name);
// Adds a host command to the extension table (listed by help before the
// built-ins); 0, or -1 when the name is taken, a field is missing or the table is full.
// Call during start-up, before sessions run.
int libsh_cmd_add(const shell_cmd *cmd);
// Visits the extension rows, then the built-in rows, in listing order.
void libsh_cmd_foreach(void (*visit)(const shell_cmd *cmd, void *user), void *user);

// The stop procedure that the exit command calls (null: none).
void libsh_exit_hook_set(int (*hook)());
int (*libsh_exit_hook())();

// The session prompt (at most 31 characters; ">" when text is null or empty).
void libsh_prompt_set(const char *text);
const char *libsh_prompt();

// Name shown as bsv_pipe_name by "show info": the binary log pipe server
// registers its getter when it starts; until then the line shows ''.
void libsh_pipe_name_getter_set(const char *(*getter)());

