// help, pwd, exit and quit.
#define LOG_TAG "mish2"
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "liblog/log2.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_error.h"
#include "libsh/sh_cmds.h"
#include "libsh/sh_words.h"

namespace {

void print_row(const shell_cmd *cmd, void *user) {
    auto *ctx = static_cast<shell_ctx *>(user);
    ctx->print(ctx->out, "%-10s\t%s\n", cmd->name, cmd->help);
}

}  // namespace

int sh_cmd_help(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) {
        libsh_cmd_usage(ctx, argv[0]);
        return 0;
    }
    // The usage comes from the table: the command itself never runs, so
    // that "help exit" cannot stop the program.
    int first = ctx->opt.optind;
    if (first < argc && libsh_cmd_usage(ctx, argv[first]) == 0) return 0;
    libsh_cmd_foreach(print_row, ctx);
    ctx->print(ctx->out, "\nFor more information, type 'help command' for each command.\n");
    ctx->print(ctx->out, "e.g. help pwd\n");
    return 0;
}

int sh_cmd_pwd(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) return libsh_cmd_usage(ctx, "pwd");
    char dir[4096];
    if (!getcwd(dir, sizeof dir)) {
        ctx->print(ctx->out, "os_getcwd err: [%s]\n", os_strerror(errno));
        return -1;
    }
    ctx->print(ctx->out, "%s\n", dir);
    return 0;
}

int sh_cmd_exit(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) return libsh_cmd_usage(ctx, "exit");
    // The stop below may end the session's connection: what was printed goes first.
    sh_push(ctx);
    // The operator reading the log must learn why the program stopped.
    LOGI("exit from the %s session\n", ctx->name[0] ? ctx->name : "unnamed");
    if (int (*hook)() = libsh_exit_hook()) hook();
    ctx->exit_flag = 1;
    return 0;
}

int sh_cmd_quit(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) return libsh_cmd_usage(ctx, "quit");
    ctx->exit_flag = 1;
    return 0;
}
