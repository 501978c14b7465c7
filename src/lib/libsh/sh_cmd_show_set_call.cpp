// show, set and call: the shell's doors to the three registries.
#define LOG_TAG "mish2"
#include <cstring>
#include <string>

#include "libpal/env/malloc.h"
#include "libpal/string/str_builder.h"
#include "libpal/value/fvar.h"
#include "libpal/value/rvar.h"
#include "libpal/value/var_registry.h"
#include "libsh/sh_cmds.h"

namespace {

// Prints the command's help line, a newline and its listing.
void print_help_and_list(shell_ctx *ctx, const char *command, void (*list)(str_buf *b)) {
    str_buf *b = str_buf_new();
    if (b) list(b);
    ctx->print(ctx->out, "%s\n", libsh_cmd_help(command));
    if (b && b->text) ctx->write(ctx->out, b->text, std::strlen(b->text));
    str_buf_free(b);
}

}  // namespace

void sh_rvar_list(str_buf *b) {
    for (uint64_t i = 0; i < var_mgr_count(rvar_mgr); ++i) {
        auto *var = static_cast<rvar *>(var_mgr_at(rvar_mgr, i));
        str_buf_printf(b, "show %s -- %s\n", var->name, var->desc ? var->desc : "");
    }
}

void sh_dvar_list(str_buf *b) {
    for (uint64_t i = 0; i < var_mgr_count(dvar_mgr); ++i) {
        auto *var = static_cast<dvar *>(var_mgr_at(dvar_mgr, i));
        str_buf_printf(b, "set %s [%s] -- %s\n", var->name, var->range ? var->range : "", var->desc ? var->desc : "");
    }
}

void sh_fvar_list(str_buf *b) {
    for (uint64_t i = 0; i < var_mgr_count(fvar_mgr); ++i) {
        auto *var = static_cast<fvar *>(var_mgr_at(fvar_mgr, i));
        str_buf_printf(b, "%s %s -- %s\n", "call", var->name, var->desc ? var->desc : "");
    }
}

int sh_cmd_show(shell_ctx *ctx, int argc, char **argv) {
    if (sh_wants_help(ctx, argc, argv, "h")) return libsh_cmd_usage(ctx, "show");
    int first = ctx->opt.optind;
    if (argc - first != 1) {
        print_help_and_list(ctx, "show", sh_rvar_list);
        return 0;
    }
    rvar *var = rvar_lookup(argv[first]);
    if (!var) {
        ctx->print(ctx->out, "error: The show variable '%s' does not exist\n", argv[first]);
        return -12;
    }
    char *text = var->func ? var->func() : nullptr;
    if (text) {
        ctx->write(ctx->out, text, std::strlen(text));
        mem_free(text);
    }
    return 0;
}

int sh_cmd_set(shell_ctx *ctx, int argc, char **argv) {
    if (argc == 3) {
        std::string err(DVAR_ERR_SIZE, '\0');
        int ret = value2_set_str(argv[1], argv[2], err.data());
        if (ret < 0) ctx->print(ctx->out, "error: %s\n", err.c_str());
        return ret;
    }
    print_help_and_list(ctx, "set", sh_dvar_list);
    return argc == 2 && std::strcmp(argv[1], "-h") == 0 ? 0 : -1;
}

int sh_cmd_call(shell_ctx *ctx, int argc, char **argv) {
    // Options after the function's name are the function's own.
    if (sh_wants_help(ctx, argc, argv, "+h")) return libsh_cmd_usage(ctx, "call");
    int first = ctx->opt.optind;
    if (first >= argc) {
        print_help_and_list(ctx, "call", sh_fvar_list);
        return -1;
    }
    fvar *var = fvar_lookup(argv[first]);
    if (!var) {
        ctx->print(ctx->out, "error: The call func '%s' does not exist\n", argv[first]);
        return -12;
    }
    return var->func(ctx, argc - first, argv + first);
}
