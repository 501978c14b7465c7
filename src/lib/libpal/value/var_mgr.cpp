#define LOG_TAG "pal"
#include "libpal/value/var_mgr.h"

#include "libpal/env/malloc.h"

var_mgr *dvar_mgr = nullptr;
var_mgr *rvar_mgr = nullptr;
var_mgr *fvar_mgr = nullptr;

var_mgr *var_mgr_new() {
    return static_cast<var_mgr *>(mem_calloc(sizeof(var_mgr)));
}

void var_mgr_free(var_mgr *mgr) {
    if (!mgr) return;
    mem_free(mgr->items);
    mem_free(mgr);
}

int var_mgr_append(var_mgr *mgr, void *item) {
    if (!mgr) return -1;
    if (mgr->count == mgr->cap) {
        uint64_t cap = mgr->cap ? mgr->cap * 2 : 16;
        auto *grown = static_cast<void **>(mem_realloc(mgr->items, cap * sizeof(void *)));
        if (!grown) return -1;
        mgr->items = grown;
        mgr->cap = cap;
    }
    mgr->items[mgr->count++] = item;
    return 0;
}

uint64_t var_mgr_count(const var_mgr *mgr) { return mgr ? mgr->count : 0; }

void *var_mgr_at(const var_mgr *mgr, uint64_t i) {
    if (!mgr || i >= mgr->count) return nullptr;
    return mgr->items[i];
}
