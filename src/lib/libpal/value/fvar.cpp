#define LOG_TAG "pal"
#include "libpal/value/fvar.h"

#include <cstring>

#include "liblog/log2.h"

fvar *fvar_lookup(const char *name) {
    if (!name) return nullptr;
    for (uint64_t i = 0; i < var_mgr_count(fvar_mgr); ++i) {
        auto *var = static_cast<fvar *>(var_mgr_at(fvar_mgr, i));
        if (std::strcmp(var->name, name) == 0) return var;
    }
    return nullptr;
}

int fvar_mgr_add(fvar *var) {
    if (!fvar_mgr || !var || !var->name) return -1;
    if (fvar_lookup(var->name)) {
        LOGE("error: var=%s already exists\n", var->name);
        return -1;
    }
    if (!var->func) {
        LOGE("var=%s init error\n", var->name);
        return -1;
    }
    return var_mgr_append(fvar_mgr, var);
}
