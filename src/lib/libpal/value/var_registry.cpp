#define LOG_TAG "pal"
#include "libpal/value/var_registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_builder.h"

namespace {

var_mgr *registry_new(var_mgr *existing) {
    if (existing) return existing;
    var_mgr *mgr = var_mgr_new();
    if (!mgr) LOG2_AT(LOG_CRIT | LOG_F_NO_EXIT, "malloc failed\n");
    return mgr;
}

// Appends text escaped for a JSON string.
void json_add(str_buf *b, const char *text) {
    size_t len = std::strlen(text);
    size_t need = static_cast<size_t>(str_escape_json(nullptr, text, len));
    if (need == len) {
        str_buf_add(b, text, len);
        return;
    }
    std::string escaped(need, '\0');
    str_escape_json(escaped.data(), text, len);
    str_buf_add(b, escaped.data(), need);
}

}  // namespace

int value2_init() {
    dvar_mgr = registry_new(dvar_mgr);
    rvar_mgr = registry_new(rvar_mgr);
    fvar_mgr = registry_new(fvar_mgr);
    return dvar_mgr && rvar_mgr && fvar_mgr ? 0 : -1;
}

void value2_exit() {
    var_mgr_free(dvar_mgr);
    var_mgr_free(rvar_mgr);
    var_mgr_free(fvar_mgr);
    dvar_mgr = rvar_mgr = fvar_mgr = nullptr;
}

int value2_set_str(const char *name, const char *value, char *err) {
    dvar *var = dvar_lookup(dvar_mgr, name);
    if (!var) {
        if (err) str_sprintf_s(err, DVAR_ERR_SIZE, "The set variable '%s' does not exist", name ? name : "");
        return -12;
    }
    if (var->set) return var->set(value ? value : "", err);
    if (var->value == 0) return -1;
    auto number = static_cast<int32_t>(std::atol(value ? value : ""));
    switch (var->type) {
    case VAR_TYPE_INT:
        var->value = static_cast<uint32_t>(number);
        return 0;
    case VAR_TYPE_PINT:
        *reinterpret_cast<int32_t *>(var->value) = number;
        return 0;
    default:
        LOGE("unsupport type=%d\n", var->type);
        return -1;
    }
}

int dvar_mgr_get(const dvar *var, char *buf) {
    if (var->value == 0) {
        str_safecopy(buf, DVAR_VALUE_SIZE, "error: not support");
        LOGE("error: var.name %s get=NULL error\n", var->name);
        return -1;
    }
    switch (var->type) {
    case VAR_TYPE_INT:
        std::snprintf(buf, DVAR_VALUE_SIZE, "%d", static_cast<int32_t>(var->value & 0xFFFFFFFFu));
        return 0;
    case VAR_TYPE_PINT:
        std::snprintf(buf, DVAR_VALUE_SIZE, "%d", *reinterpret_cast<const int32_t *>(var->value));
        return 0;
    default:
        LOGE("unsupport type=%d\n", var->type);
        return -1;
    }
}

int dvar_value_text(const dvar *var, char *buf) {
    buf[0] = 0;
    int ret = var->get ? var->get(buf, static_cast<int>(DVAR_VALUE_SIZE)) : dvar_mgr_get(var, buf);
    buf[DVAR_VALUE_SIZE - 1] = 0;  // a getter that filled the buffer still leaves a string
    return ret;
}

char *dvar_mgr_show() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    std::string value(DVAR_VALUE_SIZE, '\0');
    std::string quoted(DVAR_VALUE_SIZE + 2, '\0');
    for (uint64_t i = 0; i < var_mgr_count(dvar_mgr); ++i) {
        auto *var = static_cast<dvar *>(var_mgr_at(dvar_mgr, i));
        dvar_value_text(var, value.data());
        str_quote_show(value.c_str(), quoted.data(), quoted.size());
        str_buf_printf(b, "%s=%s\n", var->name, quoted.c_str());
    }
    return str_buf_take(b);
}

char *dvar_mgr_json() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    str_buf_add_str(b, "[");
    std::string value(DVAR_VALUE_SIZE, '\0');
    for (uint64_t i = 0; i < var_mgr_count(dvar_mgr); ++i) {
        auto *var = static_cast<dvar *>(var_mgr_at(dvar_mgr, i));
        dvar_value_text(var, value.data());
        // Values are escaped so that a quote or a control byte in one cannot
        // break the array; plain values come out as they are.
        str_buf_add_str(b, "{\"desc\":\"");
        json_add(b, var->desc && var->desc[0] ? var->desc : var->name);
        str_buf_add_str(b, "\",\"name\":\"");
        json_add(b, var->name);
        str_buf_add_str(b, "\",\"value\":\"");
        json_add(b, value.c_str());
        str_buf_printf(b, "\",\"type\":\"%s\"", var->kind == VAR_KIND_ENUM ? "enum" : "string");
        if (var->kind == VAR_KIND_ENUM) {
            std::string range = var->range ? var->range : "";
            for (char &c : range)
                if (c == '|') c = '/';
            str_buf_add_str(b, ",\"range\":\"");
            json_add(b, range.c_str());
            str_buf_add_str(b, "\"");
        }
        str_buf_add_str(b, "},");
    }
    // The trailing comma becomes a blank; with no item there is none to replace.
    if (b->len > 1 && b->text[b->len - 1] == ',') b->text[b->len - 1] = ' ';
    str_buf_add_str(b, "]");
    return str_buf_take(b);
}
