// Callable actions: a named function that receives shell arguments (shell "call").
#pragma once

#include "libpal/value/var_mgr.h"

struct shell_ctx;

struct fvar {
    const char *name;
    const char *desc;
    // argv[0] is the item's name.
    int (*func)(shell_ctx *ctx, int argc, char **argv);
};

// Adds to fvar_mgr; 0, or -1 for a duplicate name or a missing func.
int fvar_mgr_add(fvar *var);
fvar *fvar_lookup(const char *name);
