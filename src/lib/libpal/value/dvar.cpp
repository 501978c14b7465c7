#define LOG_TAG "pal"
#include "libpal/value/dvar.h"

#include <cstring>

#include "liblog/log2.h"

dvar *dvar_lookup(const var_mgr *mgr, const char *name) {
    if (!name) return nullptr;
    for (uint64_t i = 0; i < var_mgr_count(mgr); ++i) {
        auto *var = static_cast<dvar *>(var_mgr_at(mgr, i));
        if (std::strcmp(var->name, name) == 0) return var;
    }
    return nullptr;
}

int dvar_mgr_add(var_mgr *mgr, dvar *var) {
    if (!mgr || !var || !var->name) return -1;
    if (dvar_lookup(mgr, var->name)) {
        LOGE("error: var=%s already exists\n", var->name);
        return -1;
    }
    if (!var->set && var->value == 0) {
        LOGE("var=%s set error\n", var->name);
        return -1;
    }
    return var_mgr_append(mgr, var);
}
