// Registries of named items (dvar, rvar, fvar). A registry keeps the adding
// module's record pointers in insertion order, which is also the listing
// order. The records belong to their modules; the registry never copies or
// frees them.
#pragma once

#include <cstdint>

struct var_mgr {
    void **items;
    uint64_t count;
    uint64_t cap;
};

// Empty registry, or null when memory runs out.
var_mgr *var_mgr_new();
// Frees the array and the registry, never the records. Null is ignored.
void var_mgr_free(var_mgr *mgr);
// Appends a record pointer; 0, or -1 when memory runs out or mgr is null.
int var_mgr_append(var_mgr *mgr, void *item);
uint64_t var_mgr_count(const var_mgr *mgr);
// Record at index i, or null past the end.
void *var_mgr_at(const var_mgr *mgr, uint64_t i);

// The three process-wide registries, created by the shell at start-up
// (value2_init) and destroyed at shutdown (value2_exit). Filled before the
// first session starts, only read afterwards.
extern var_mgr *dvar_mgr;
extern var_mgr *rvar_mgr;
extern var_mgr *fvar_mgr;
