// Command-line settings "-s key=val" against a table of settable keys. The
// values wait in the table until os_opt_apply, after the configuration file.
#pragma once

#include <cstdint>

// Type code of a 32-bit integer target; any other code means a text target (char *).
constexpr int32_t OS_OPT_TYPE_INT32 = 14;
// Longest name and longest value of one setting.
constexpr int OS_OPT_PART_MAX = 255;

struct OptKey {
    const char *name;   // null ends the table
    void *target;       // int32_t * for OS_OPT_TYPE_INT32, else char ** holding a heap text
    int32_t type;
    char *pending;      // heap copy of the last value given, or null
    const char *conf_key;  // "section:key" of the file whose checks the value gets; may be null
};

// A null table is one without keys.
// "list" prints the key names to standard error and exits the process with 0.
// Otherwise stores the value of "name=value" as the pending value of the row
// named name (letter case ignored); 0, or -1 (logged) on a syntax error or an
// unknown name.
int os_opt_set(OptKey *table, const char *arg);
// Moves every pending value into its target and frees it; returns the number applied.
int os_opt_apply(OptKey *table);
// Frees every pending value without applying it.
void os_opt_clear(OptKey *table);
