// Handlers of the built-in commands and the shell's own registry items.
#pragma once

#include "libpal/string/str_builder.h"
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

// libsh_exec_line without the flush: source runs the lines of a file as
// part of the line that called it, so that they share its one reply.
int sh_exec_line_inner(shell_ctx *ctx, const char *line);
// Sends the output so far (ctx->push), when the channel can.
void sh_push(shell_ctx *ctx);
// True when the options (GNU rules, optstring) ask for -h; the operands
// start at ctx->opt.optind afterwards.
bool sh_wants_help(shell_ctx *ctx, int argc, char **argv, const char *optstring);

// The listings of show, set and call ("show %s -- %s\n" a line, ...), into b.
void sh_rvar_list(str_buf *b);
void sh_dvar_list(str_buf *b);
void sh_fvar_list(str_buf *b);
