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
    shell_cmd_func func = argc > 1 ? libsh_cmd_func(argv[1]) : nullptr;
    if (func) {
        char *command = nullptr;
        if (os_asprintf(&command, "%s -h", argv[1]) < 0) return 0;
        int words = 0;
        char **words_argv = libsh_split_words(command, &words);
        mem_free(command);
        if (!words_argv) return 0;
        shell_getopt_reset(&ctx->opt);
        func(ctx, words, words_argv);  // its result is not the help's
        mem_free(words_argv);
        return 0;
    }
    libsh_cmd_foreach(print_row, ctx);
    ctx->print(ctx->out, "\nFor more information, type 'help command' for each command.\n");
    ctx->print(ctx->out, "e.g. help pwd\n");
    return 0;
}

int sh_cmd_pwd(shell_ctx *ctx, int argc, char **argv) {
    int opt;
    while ((opt = shell_getopt(&ctx->opt, argc, argv, "h")) != -1) {
        if (opt == 'h') {
            ctx->print(ctx->out, "pwd\n%s\n\t-h Display this help\n", libsh_cmd_help("pwd"));
            return 0;
        }
    }
    char dir[4096];
    if (!getcwd(dir, sizeof dir)) {
        ctx->print(ctx->out, "os_getcwd err: [%s]\n", os_strerror(errno));
        return -1;
    }
    ctx->print(ctx->out, "%s\n", dir);
    return 0;
}

int sh_cmd_exit(shell_ctx *ctx, int argc, char **argv) {
    ctx->flush(ctx->out);
    // The operator reading the log must learn why the program stopped.
    LOGI("exit from the %s session\n", ctx->name[0] ? ctx->name : "unnamed");
    if (int (*hook)() = libsh_exit_hook()) hook();
    ctx->exit_flag = 1;
    return 0;
}

int sh_cmd_quit(shell_ctx *ctx, int argc, char **argv) {
    ctx->flush(ctx->out);
    ctx->exit_flag = 1;
    return 0;
}
