// Text access to the settable variables of dvar_mgr, and the lifetime of the
// three registries.
#pragma once

#include "libpal/value/dvar.h"

// Creates the three registries (a failure logs "malloc failed\n" at crit);
// 0, or -1 when one could not be allocated. A second call keeps the existing ones.
int value2_init();
// Destroys the three registries (arrays only; the records are their modules').
void value2_exit();

// Sets the dvar called name from text. -12 with "The set variable '%s' does
// not exist" in err (DVAR_ERR_SIZE bytes) for an unknown name, else the set
// function's result, else 0 for a stored int, -1 when it cannot be stored.
int value2_set_str(const char *name, const char *value, char *err);
// Value of a dvar without get function into buf (DVAR_VALUE_SIZE bytes); 0 or -1.
int dvar_mgr_get(const dvar *var, char *buf);
// Current value through get (or dvar_mgr_get) into buf (DVAR_VALUE_SIZE bytes).
int dvar_value_text(const dvar *var, char *buf);
// "name=value\n" per dvar, values quoted for display; heap text (null when there are none).
char *dvar_mgr_show();
// All dvars as a JSON array; heap text, null when memory runs out.
char *dvar_mgr_json();
