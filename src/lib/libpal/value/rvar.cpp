#define LOG_TAG "pal"
#include "libpal/value/rvar.h"

#include <cstring>

#include "liblog/log2.h"

rvar *rvar_lookup(const char *name) {
    if (!name) return nullptr;
    for (uint64_t i = 0; i < var_mgr_count(rvar_mgr); ++i) {
        auto *var = static_cast<rvar *>(var_mgr_at(rvar_mgr, i));
        if (std::strcmp(var->name, name) == 0) return var;
    }
    return nullptr;
}

int rvar_mgr_add(rvar *var) {
    if (!rvar_mgr || !var || !var->name) return -1;
    if (rvar_lookup(var->name)) {
        LOGE("error: var=%s already exists\n", var->name);
        return -1;
    }
    if (!var->func) {
        LOGE("var=%s init error\n", var->name);
        return -1;
    }
    return var_mgr_append(rvar_mgr, var);
}
