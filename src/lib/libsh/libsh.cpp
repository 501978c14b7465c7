#define LOG_TAG "mish2"
#include "libsh/libsh.h"

#include <atomic>
#include <cctype>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tool.h"
#include "libpal/string/str_vector.h"
#include "libpal/value/var_registry.h"
#include "libsh/alias.h"
#include "libsh/sh_cmds.h"
#include "libsh/sh_env.h"
#include "libsh/sh_words.h"

namespace {

constexpr size_t NAME_MAX_BYTES = 255;  // alias words, assignment names and values
constexpr size_t EXT_CMDS_MAX = 32;

constexpr shell_cmd BUILTIN_CMDS[] = {
    {"show", sh_cmd_show, "Show the status of the program"},
    {"set", sh_cmd_set, "Set public options"},
    {"call", sh_cmd_call, "call application commands"},
    {"pwd", sh_cmd_pwd, "Print working directory"},
    {"alias", sh_cmd_alias, "Define or display alias"},
    {"unalias", sh_cmd_unalias, "Delete the alias set by alias"},
    {"unset", sh_cmd_unset, "Cancel environment variable"},
    {"echo", sh_cmd_echo, "Echo the STRING(s) to output"},
    {"env", sh_cmd_env, "Display all variables"},
    {"source", sh_cmd_source, "Exec commands from file"},
    {"exit", sh_cmd_exit, "Exit the service program"},
    {"quit", sh_cmd_quit, "Quit the current session"},
    {"help", sh_cmd_help, "Display this text"},
    {"?", sh_cmd_help, "Synonym for `help'"},
    {nullptr, nullptr, nullptr},
};

constexpr struct {
    const char *name;
    const char *value;
} DEFAULT_ALIASES[] = {
    {"a", "alias"}, {"c", "call"}, {"e", "exit"}, {"s", "show"}, {"q", "quit"},
    {"sc", "show config"}, {"sd", "show dvar"}, {"si", "show info"}, {"sl", "show llog"},
    {"sm", "show memory"},
};

// Host commands; filled during start-up, read by sessions afterwards.
shell_cmd g_ext_cmds[EXT_CMDS_MAX + 1];
size_t g_ext_count = 0;

std::atomic<int (*)()> g_exit_hook{nullptr};
std::atomic<bool> g_initialised{false};
char g_prompt[LIBSH_PROMPT_SIZE] = ">";

const shell_cmd *find_in(const shell_cmd *table, const char *name) {
    for (; table && table->name; ++table)
        if (std::strcmp(table->name, name) == 0) return table;
    return nullptr;
}

// Replaces an alias in the first word (text before the first blank) by its
// value followed by the rest of the command, once. Returns the text to run,
// or null when the expansion would not fit in LIBSH_LINE_MAX bytes (*needed
// then holds its length).
const char *expand_alias(const char *command, char *expanded, size_t *needed) {
    const char *space = std::strchr(command, ' ');
    size_t word_len = space ? static_cast<size_t>(space - command) : std::strlen(command);
    // A longer word cannot name an alias; cutting it could match a wrong one.
    if (word_len == 0 || word_len > NAME_MAX_BYTES) return command;
    char word[NAME_MAX_BYTES + 1];
    std::memcpy(word, command, word_len);
    word[word_len] = 0;
    int value_len = alias_value_copy(word, expanded, LIBSH_LINE_SIZE);
    if (value_len <= 0) return command;
    size_t rest_len = space ? std::strlen(space) : 0;
    *needed = static_cast<size_t>(value_len) + rest_len;
    // Half a command must never run: a cut expansion is refused.
    if (*needed > LIBSH_LINE_MAX) return nullptr;
    if (space) std::memcpy(expanded + value_len, space, rest_len + 1);
    return expanded;
}

// NAME=value with no blank or tab in NAME, no second '=', both 1..255 bytes.
bool try_assignment(const char *command) {
    const char *eq = std::strchr(command, '=');
    if (!eq) return false;
    size_t name_len = static_cast<size_t>(eq - command);
    if (name_len == 0 || name_len > NAME_MAX_BYTES) return false;
    if (std::memchr(command, ' ', name_len) || std::memchr(command, '\t', name_len)) return false;
    const char *value = eq + 1;
    size_t value_len = std::strlen(value);
    if (value_len == 0 || value_len > NAME_MAX_BYTES || std::strchr(value, '=')) return false;
    char name[NAME_MAX_BYTES + 1];
    std::memcpy(name, command, name_len);
    name[name_len] = 0;
    libsh_setenv(name, value);
    return true;
}

}  // namespace

int libsh_init() {
    if (g_initialised.exchange(true)) return 0;
    LOGV("==>\n");
    init_envv();
    alias_init();
    for (const auto &a : DEFAULT_ALIASES) alias_set(a.name, a.value);
    value2_init();
    libsh_items_add();
    return 0;
}

void libsh_exit() {
    if (!g_initialised.exchange(false)) return;
    LOGD("==>\n");
    alias_exit();
    libsh_env_free();
    value2_exit();
    g_ext_count = 0;
    g_ext_cmds[0] = shell_cmd{};
}

shell_cmd_func libsh_cmd_func(const char *name) {
    if (!name) return nullptr;
    const shell_cmd *ext = find_in(g_ext_cmds, name);
    const shell_cmd *builtin = find_in(BUILTIN_CMDS, name);
    if (builtin) return builtin->func;
    return ext ? ext->func : nullptr;
}

const char *libsh_cmd_help(const char *name) {
    if (!name) return "get cmd help failed";
    if (const shell_cmd *cmd = find_in(g_ext_cmds, name)) return cmd->help;
    if (const shell_cmd *cmd = find_in(BUILTIN_CMDS, name)) return cmd->help;
    return "get cmd help failed";
}

int libsh_cmd_add(const shell_cmd *cmd) {
    if (!cmd || !cmd->name || !cmd->func || !cmd->help) return -1;
    if (g_ext_count >= EXT_CMDS_MAX || find_in(g_ext_cmds, cmd->name)) return -1;
    g_ext_cmds[g_ext_count++] = *cmd;
    g_ext_cmds[g_ext_count] = shell_cmd{};
    return 0;
}

void libsh_cmd_foreach(void (*visit)(const shell_cmd *cmd, void *user), void *user) {
    for (const shell_cmd *cmd = g_ext_cmds; cmd->name; ++cmd) visit(cmd, user);
    for (const shell_cmd *cmd = BUILTIN_CMDS; cmd->name; ++cmd) visit(cmd, user);
}

void libsh_exit_hook_set(int (*hook)()) { g_exit_hook.store(hook, std::memory_order_relaxed); }

int (*libsh_exit_hook())() { return g_exit_hook.load(std::memory_order_relaxed); }

void libsh_prompt_set(const char *text) {
    str_copy_trunc(g_prompt, sizeof g_prompt, text && *text ? text : ">");
}

const char *libsh_prompt() { return g_prompt; }


namespace {

void note_result(shell_ctx *ctx, int result) {
    if (result != 0 && ctx->status == 0) ctx->status = result;
}

}  // namespace

int exec_commands(shell_ctx *ctx, char **commands) {
    int result = 0;
    char expanded[LIBSH_LINE_SIZE];
    char command[LIBSH_LINE_SIZE];
    for (char **next = commands; next && *next; ++next) {
        str_copy_trunc(command, sizeof command, *next);
        str_trim(command);
        if (command[0] == '#') continue;
        size_t needed = 0;
        const char *text = expand_alias(command, expanded, &needed);
        if (!text) {
            ctx->print(ctx->out, "error: line too long after alias expansion (%zu bytes, at most %zu)\n", needed,
                       LIBSH_LINE_MAX);
            result = -1;
            note_result(ctx, result);
            break;
        }
        if (try_assignment(text)) {
            result = 0;
            continue;
        }
        int argc = 0;
        char **argv = libsh_split_words(text, &argc);
        if (!argv) {
            note_result(ctx, -1);
            return -1;
        }
        if (log2_level_get() >= LOG_VERB) LOGV("cmd=[%s] func=[%s]\n", text, argv[0]);
        shell_cmd_func func = libsh_cmd_func(argv[0]);
        if (func) {
            shell_getopt_reset(&ctx->opt);
            result = func(ctx, argc, argv);
        } else {
            ctx->print(ctx->out, "command not found: [%s]\n", argv[0]);
            ctx->print(ctx->out, "Type `help` to learn how to use prompt\n");
            ctx->last_line[0] = 0;
            result = -12;
        }
        note_result(ctx, result);
        mem_free(argv);
        if (result < 0) break;
    }
    return result;
}

int sh_exec_line_inner(shell_ctx *ctx, const char *line) {
    size_t line_len = line ? std::strlen(line) : 0;
    if (line_len > LIBSH_LINE_MAX) {
        // Trailing blanks would be trimmed anyway; only what would run counts.
        while (line_len > LIBSH_LINE_MAX && std::isspace(static_cast<unsigned char>(line[line_len - 1]))) --line_len;
        if (line_len > LIBSH_LINE_MAX) {
            ctx->print(ctx->out, "error: line too long (%zu bytes, at most %zu)\n", line_len, LIBSH_LINE_MAX);
            note_result(ctx, -1);
            return -1;
        }
    }
    char buf[LIBSH_LINE_SIZE];
    std::memcpy(buf, line ? line : "", line_len);
    buf[line_len] = 0;
    str_trim(buf);
    // Each session repeats its own line: another operator's command must
    // never run from an empty line.
    if (!buf[0]) {
        if (!ctx->last_line[0]) return 0;
        str_copy_trunc(buf, sizeof buf, ctx->last_line);
    }
    str_vector commands;
    str_vector_init(&commands, STR_VECTOR_REF | STR_VECTOR_SKIP_EMPTY);
    if (str_split_esape(buf, &commands) != 0) {
        str_vector_clear(&commands);
        ctx->last_line[0] = 0;
        ctx->print(ctx->out, "error: unbalanced quotes, nothing ran\n");
        note_result(ctx, -1);
        return -1;
    }
    str_copy_trunc(ctx->last_line, sizeof ctx->last_line, buf);
    int result = commands.count ? exec_commands(ctx, commands.items) : 0;
    str_vector_clear(&commands);
    return result;
}

int libsh_exec_line(shell_ctx *ctx, const char *line) {
    if (!ctx) return -1;
    ctx->status = 0;
    int result = sh_exec_line_inner(ctx, line);
    // One reply per line, whatever ran: the client waits for exactly one end.
    ctx->flush(ctx->out);
    return result;
}
