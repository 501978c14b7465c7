// Settable variables: a named value that can be read as text and set from
// text (shell "set", web console settings).
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/value/var_mgr.h"

constexpr int32_t VAR_KIND_ENUM = 1;  // listings show the range of choices
constexpr int32_t VAR_TYPE_INT = 14;  // the int lives in the low 32 bits of value
constexpr int32_t VAR_TYPE_PINT = 15; // value points to a 32-bit int

constexpr size_t DVAR_ERR_SIZE = 4096;    // error buffer handed to set
constexpr size_t DVAR_VALUE_SIZE = 8192;  // value buffer handed to get

struct dvar {
    const char *name;   // unique, case-sensitive
    int32_t kind;       // VAR_KIND_ENUM or plain string
    const char *range;  // choices joined by '|', for display only
    const char *desc;
    // Applies a new value; on failure writes a message into err (DVAR_ERR_SIZE) and returns < 0.
    int (*set)(const char *value, char *err);
    // Writes the current value as text into buf.
    int (*get)(char *buf, int size);
    int32_t type;       // used only when set or get is null
    uint64_t value;
};

// 0, or -1 for a duplicate name ("error: var=%s already exists\n") or a
// record with neither set function nor value ("var=%s set error\n").
int dvar_mgr_add(var_mgr *mgr, dvar *var);
// First record named exactly name, or null.
dvar *dvar_lookup(const var_mgr *mgr, const char *name);
