// Handlers of the built-in commands and the shell's own registry items.
#pragma once

#include "libsh/libsh.h"

int sh_cmd_show(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_set(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_call(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_pwd(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_alias(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_unalias(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_unset(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_echo(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_env(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_source(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_exit(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_quit(shell_ctx *ctx, int argc, char **argv);
int sh_cmd_help(shell_ctx *ctx, int argc, char **argv);

// Adds the dvars log.level and log.dbgview, the rvars info, memory, llog,
// dvar and the fvars kill, null, tlog, in that order.
void libsh_items_add();
