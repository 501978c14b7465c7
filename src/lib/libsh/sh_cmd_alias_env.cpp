// alias, unalias, env and unset: the shared alias table and environment copy.
#define LOG_TAG "mish2"
#include <cstring>
#include <string>

#include "libpal/env/malloc.h"
#include "libsh/alias.h"
#include "libsh/sh_cmds.h"
#include "libsh/sh_env.h"

namespace {

// Prints a heap text taken from a snapshot, outside the table's lock.
void print_owned(shell_ctx *ctx, char *text) {
    if (!text) return;
    ctx->write(ctx->out, text, std::strlen(text));
    mem_free(text);
}

// Prints "name=value\n"; false when there is no such alias.
bool print_alias(shell_ctx *ctx, const char *name) {
    int len = alias_value_copy(name, nullptr, 0);
    if (len < 0) return false;
    std::string value(static_cast<size_t>(len) + 1, '\0');
    if (alias_value_copy(name, value.data(), value.size()) < 0) return false;
    ctx->print(ctx->out, "%s=%s\n", name, value.c_str());
    return true;
}

}  // namespace

int sh_cmd_alias(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) return libsh_cmd_usage(ctx, "alias");
    int first = ctx->opt.optind;
    if (first >= argc) {
        print_owned(ctx, alias_list_text());
        return 0;
    }
    int result = 0;
    for (int i = first; i < argc; ++i) {
        char *word = argv[i];
        char *eq = word[0] ? std::strchr(word + 1, '=') : nullptr;
        if (eq) {
            std::string name(word, static_cast<size_t>(eq - word));
            alias_set(name.c_str(), eq + 1);
        } else if (!print_alias(ctx, word)) {
            ctx->print(ctx->out, "%s not found\n", word);
            result = 1;
        }
    }
    return result;
}

int sh_cmd_unalias(shell_ctx *ctx, int argc, char **argv) {
    int opt;
    bool all = false;
    while ((opt = shell_getopt(&ctx->opt, argc, argv, "ah")) != -1) {
        if (opt == 'h') return libsh_cmd_usage(ctx, "unalias");
        if (opt == 'a') all = true;
    }
    if (all) {
        alias_remove_all();
        return 0;
    }
    int result = 0;
    for (int i = ctx->opt.optind; i < argc; ++i) {
        if (alias_remove(argv[i]) != 0) {
            ctx->print(ctx->out, "%s not found\n", argv[i]);
            result = 1;
        }
    }
    return result;
}

int sh_cmd_env(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) return libsh_cmd_usage(ctx, "env");
    print_owned(ctx, libsh_env_text());
    return 0;
}

int sh_cmd_unset(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) return libsh_cmd_usage(ctx, "unset");
    if (ctx->opt.optind >= argc) {
        ctx->print(ctx->out, "unsetenv: Too few arguments\n");
        return -1;
    }
    for (int i = ctx->opt.optind; i < argc; ++i) libsh_unsetenv(argv[i]);
    return 0;
}
