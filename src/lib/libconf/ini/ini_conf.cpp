#define LOG_TAG "conf"
#include "libconf/ini/ini_conf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "libconf/ini/dictionary.h"
#include "libconf/ini/iniparser.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_tool.h"
#include "libpal/string/str_vector.h"
#include "liblog/log2.h"

namespace {

// Copies, empty names skipped, repeated names skipped.
constexpr uint32_t CONF_NAME_LIST_FLAGS = STR_VECTOR_COPY | STR_VECTOR_SKIP_EMPTY | STR_VECTOR_UNIQUE;
constexpr size_t CONF_GET_KEY_MAX = 8192;
constexpr size_t CONF_DEL_KEY_MAX = 4096;

struct IniConf {
    char *path;   // kept for ini_conf_save
    IniDict *dict;
};

IniConf *ctx_of(void *ctx) { return static_cast<IniConf *>(ctx); }

bool is_section(const char *key) { return key && !std::strchr(key, '\t'); }

int ini_conf_probe(const char *path) {
    if (!path) return -1;
    return (str_iends_with(path, ".ini") || str_iends_with(path, ".qli")) ? 0 : -1;
}

int ini_conf_close(void *ctx) {
    IniConf *c = ctx_of(ctx);
    if (!c) return 0;
    dictionary_del(c->dict);
    mem_free(c->path);
    mem_free(c);
    return 0;
}

void *ini_conf_open(const char *path, int create) {
    PAL_ASSERT_RET(path != nullptr, nullptr);
    // Creating never truncates: an existing file that merely cannot be read
    // keeps its contents, and the load below then fails on it.
    if (create && ::access(path, F_OK) != 0) {
        int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            LOGD_OS("create [%s] err: ", path);
            return nullptr;
        }
        ::close(fd);
    }
    auto *c = static_cast<IniConf *>(mem_calloc(sizeof(IniConf)));
    if (!c) return nullptr;
    c->path = mem_strdup(path);
    c->dict = c->path ? iniparser_load(path) : nullptr;
    if (!c->dict) {
        ini_conf_close(c);
        return nullptr;
    }
    return c;
}

int ini_conf_origin(void *ctx, const char *section, const char *key, int32_t *line, uint32_t *marks) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    PAL_ASSERT_RET(section != nullptr, -1);
    char full[CONF_GET_KEY_MAX];
    if (key) std::snprintf(full, sizeof full, "%s\t%s", section, key);
    else std::snprintf(full, sizeof full, "%s", section);
    int32_t slot = dictionary_find(c->dict, full);
    if (slot < 0) return -1;
    if (line) *line = c->dict->lines[slot];
    if (marks) *marks = c->dict->marks[slot];
    return 0;
}

int ini_conf_walk(void *ctx, conf_walk_fn fn, void *arg) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    const IniDict *d = c->dict;
    for (int32_t i = 0; i < d->size; ++i) {
        const char *key = d->keys[i];
        if (!key) continue;
        const char *tab = std::strchr(key, '\t');
        if (tab)
            fn(key, static_cast<size_t>(tab - key), tab + 1, d->values[i] ? d->values[i] : "", d->lines[i], d->marks[i],
               arg);
        else
            fn(key, std::strlen(key), nullptr, nullptr, d->lines[i], d->marks[i], arg);
    }
    return 0;
}

const char *ini_conf_get(void *ctx, const char *section, const char *key, const char *def) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, def);
    PAL_ASSERT_RET(section != nullptr && key != nullptr, def);
    char full[CONF_GET_KEY_MAX];
    std::snprintf(full, sizeof full, "%s\t%s", section, key);
    const char *value = dictionary_get(c->dict, full, nullptr);
    // A section entry (no value) is no answer to a key query.
    return value ? value : def;
}

int ini_conf_set(void *ctx, const char *section, const char *key, const char *value) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    PAL_ASSERT_RET(section != nullptr && key != nullptr, -1);
    if (std::strchr(section, '\t')) return -1;  // would meet the section/key separator
    if (dictionary_find(c->dict, section) < 0 && dictionary_set(c->dict, section, nullptr, nullptr) != 0)
        return -1;
    char full[2 * DICT_KEY_MAX + 2];
    std::snprintf(full, sizeof full, "%s\t%s", section, key);
    // A key always has a value; a null value would make it look like a section.
    return dictionary_set(c->dict, full, value ? value : "", nullptr);
}

str_vector *ini_conf_sections(void *ctx) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, nullptr);
    str_vector *names = str_vector_new(CONF_NAME_LIST_FLAGS);
    if (!names) return nullptr;
    const IniDict *d = c->dict;
    for (int32_t i = 0; i < d->size; ++i) {
        if (is_section(d->keys[i]) && str_vector_add(names, d->keys[i]) != 0) {
            str_vector_destroy(names);
            return nullptr;
        }
    }
    return names;
}

str_vector *ini_conf_keys(void *ctx, const char *section) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, nullptr);
    PAL_ASSERT_RET(section != nullptr, nullptr);
    str_vector *names = str_vector_new(CONF_NAME_LIST_FLAGS);
    if (!names) return nullptr;
    const IniDict *d = c->dict;
    size_t section_len = std::strlen(section);
    for (int32_t i = 0; i < d->size; ++i) {
        const char *key = dictionary_key_in_section(d->keys[i], section, section_len);
        if (key && str_vector_add(names, key) != 0) {
            str_vector_destroy(names);
            return nullptr;
        }
    }
    return names;
}

int ini_conf_del_section(void *ctx, const char *section) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    return dictionary_del_section(c->dict, section);
}

int ini_conf_del_key(void *ctx, const char *section, const char *key) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    PAL_ASSERT_RET(section != nullptr && key != nullptr, -1);
    char full[CONF_DEL_KEY_MAX];
    std::snprintf(full, sizeof full, "%s\t%s", section, key);
    return dictionary_unset(c->dict, full);
}

int ini_conf_rename_section(void *ctx, const char *old_name, const char *new_name) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    if (new_name && std::strchr(new_name, '\t')) return -1;
    return dictionary_secrename(c->dict, old_name, new_name);
}

int ini_conf_rename_key(void *ctx, const char *section, const char *old_key, const char *new_key) {
    LOGW("noimpl\n");
    return 0;
}

int ini_conf_dump(void *ctx) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    iniparser_dump_ini(c->dict, stdout);
    std::fflush(stdout);
    return 0;
}

int ini_conf_save(void *ctx) {
    IniConf *c = ctx_of(ctx);
    PAL_ASSERT_RET(c != nullptr, -1);
    FILE *out = std::fopen(c->path, "wb");
    if (!out) {
        LOGD_OS("fopen [%s] err: ", c->path);
        return -1;
    }
    static constexpr unsigned char BOM[3] = {0xEF, 0xBB, 0xBF};
    std::fwrite(BOM, 1, sizeof BOM, out);
    int written = iniparser_dump_ini(c->dict, out);
    // A full disk shows up only at the last flush; that is a failed save too.
    if (std::fclose(out) != 0 || written != 0) {
        LOGE_OS("write [%s] err: ", c->path);
        return -1;
    }
    return 0;
}

constexpr ConfDriver INI_DRIVER = {
    ini_conf_probe,       ini_conf_open,           ini_conf_close,      ini_conf_get,
    ini_conf_set,         ini_conf_sections,       ini_conf_keys,       ini_conf_del_section,
    ini_conf_del_key,     ini_conf_rename_section, ini_conf_rename_key, ini_conf_dump,
    ini_conf_save,        ini_conf_origin,         ini_conf_walk,
};

}  // namespace

const ConfDriver *ini_conf_driver() { return &INI_DRIVER; }

void *ini_conf_open_text(const char *name, const char *text, size_t len, char *err, size_t err_size) {
    PAL_ASSERT_RET(name != nullptr, nullptr);
    auto *c = static_cast<IniConf *>(mem_calloc(sizeof(IniConf)));
    if (!c) return nullptr;
    c->path = mem_strdup(name);
    c->dict = c->path ? iniparser_load_text(name, text, len, err, err_size) : nullptr;
    if (!c->dict) {
        ini_conf_close(c);
        return nullptr;
    }
    return c;
}
