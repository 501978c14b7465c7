// Usage texts of the built-in commands: "help NAME" prints them without
// running NAME, and "NAME -h" prints the same.
#define LOG_TAG "mish2"
#include <cstring>

#include "libsh/sh_cmds.h"

namespace {

struct usage_row {
    const char *name;
    const char *synopsis;  // null: the help line and the listing only
    const char *options;
    void (*list)(str_buf *b);  // may be null
};

constexpr char OPT_H[] = "\t-h Display this help\n";

constexpr usage_row USAGE[] = {
    {"show", "show [item]", OPT_H, sh_rvar_list},
    {"set", nullptr, nullptr, sh_dvar_list},
    {"call", "call [func [arg]...]", OPT_H, sh_fvar_list},
    {"pwd", "pwd", OPT_H, nullptr},
    {"alias", "alias [name[=value]]...", OPT_H, nullptr},
    {"unalias", "unalias [-a] [name]...", "\t-a Delete every alias\n\t-h Display this help\n", nullptr},
    {"unset", "unset [var ...]", OPT_H, nullptr},
    {"echo", "echo [opt] [string|var]...", OPT_H, nullptr},
    {"env", "env", OPT_H, nullptr},
    {"source", "source [opt] [file]...", "-h: Display this help\n", nullptr},
    {"exit", "exit", OPT_H, nullptr},
    {"quit", "quit", OPT_H, nullptr},
    {"help", "help [command]", OPT_H, nullptr},
    {"?", "? [command]", OPT_H, nullptr},
};

const usage_row *find_usage(const char *name) {
    for (const usage_row &row : USAGE)
        if (std::strcmp(row.name, name) == 0) return &row;
    return nullptr;
}

}  // namespace

int libsh_cmd_usage(shell_ctx *ctx, const char *name) {
    if (!ctx || !name || !libsh_cmd_func(name)) return -1;
    const char *help = libsh_cmd_help(name);
    const usage_row *row = find_usage(name);
    // A host command has no usage text here: its name and help line.
    if (!row || !row->synopsis) {
        ctx->print(ctx->out, "%s\n", row ? help : name);
        if (!row) ctx->print(ctx->out, "%s\n", help);
    } else {
        ctx->print(ctx->out, "%s\n%s\n%s", row->synopsis, help, row->options);
    }
    if (row && row->list) {
        str_buf *list = str_buf_new();
        if (list) {
            row->list(list);
            if (list->text) ctx->write(ctx->out, list->text, std::strlen(list->text));
            str_buf_free(list);
        }
    }
    return 0;
}

bool sh_wants_help(shell_ctx *ctx, int argc, char **argv, const char *optstring) {
    bool help = false;
    int opt;
    while ((opt = shell_getopt(&ctx->opt, argc, argv, optstring)) != -1)
        if (opt == 'h') help = true;
    return help;
}

void sh_push(shell_ctx *ctx) {
    if (ctx->push) ctx->push(ctx->out);
}
