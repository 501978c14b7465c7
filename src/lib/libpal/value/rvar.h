// Read-only views: a named function that returns a block of text (shell "show").
#pragma once

#include "libpal/value/var_mgr.h"

struct rvar {
    const char *name;
    const char *desc;
    char *(*func)();  // heap text owned by the caller, or null for nothing to show
};

// Adds to rvar_mgr; 0, or -1 for a duplicate name or a missing func.
int rvar_mgr_add(rvar *var);
rvar *rvar_lookup(const char *name);
