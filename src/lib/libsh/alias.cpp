#define LOG_TAG "mish2"
#include "libsh/alias.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "liblog/log2.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_builder.h"

namespace {

std::mutex g_alias_lock;
alias_entry **g_alias_table = nullptr;

alias_entry *find_locked(const char *name) {
    if (!g_alias_table || !name) return nullptr;
    for (alias_entry *e = g_alias_table[alias_hash(name)]; e; e = e->next)
        if (std::strcmp(e->name, name) == 0) return e;
    return nullptr;
}

void entry_free(alias_entry *e) {
    mem_free(e->name);
    mem_free(e->value);
    mem_free(e);
}

void remove_all_locked() {
    if (!g_alias_table) return;
    for (unsigned i = 0; i < ALIAS_BUCKETS; ++i) {
        alias_entry *e = g_alias_table[i];
        while (e) {
            alias_entry *next = e->next;
            entry_free(e);
            e = next;
        }
        g_alias_table[i] = nullptr;
    }
}

}  // namespace

unsigned alias_hash(const char *name) {
    auto *p = reinterpret_cast<const unsigned char *>(name);
    uint32_t h = 16u * p[0];
    for (; *p; ++p) h += *p;
    return h % ALIAS_BUCKETS;
}

int alias_init() {
    std::lock_guard<std::mutex> lock(g_alias_lock);
    if (g_alias_table) return 0;
    g_alias_table = static_cast<alias_entry **>(mem_calloc(ALIAS_BUCKETS * sizeof(alias_entry *)));
    if (!g_alias_table) {
        LOG2_AT(LOG_CRIT | LOG_F_NO_EXIT, "malloc failed\n");
        return -1;
    }
    return 0;
}

void alias_exit() {
    std::lock_guard<std::mutex> lock(g_alias_lock);
    remove_all_locked();
    mem_free(g_alias_table);
    g_alias_table = nullptr;
}

int alias_set(const char *name, const char *value) {
    if (!name || !value) return -1;
    char *copy = mem_strdup(value);
    if (!copy) return -1;
    std::lock_guard<std::mutex> lock(g_alias_lock);
    if (!g_alias_table) {
        mem_free(copy);
        return -1;
    }
    if (alias_entry *e = find_locked(name)) {
        mem_free(e->value);
        e->value = copy;
        return 0;
    }
    auto *e = static_cast<alias_entry *>(mem_calloc(sizeof(alias_entry)));
    if (!e || !(e->name = mem_strdup(name))) {
        mem_free(e);
        mem_free(copy);
        return -1;
    }
    e->value = copy;
    alias_entry **tail = &g_alias_table[alias_hash(name)];
    while (*tail) tail = &(*tail)->next;
    *tail = e;
    return 0;
}

alias_entry *alias_lookup(const char *name) {
    std::lock_guard<std::mutex> lock(g_alias_lock);
    return find_locked(name);
}

int alias_value_copy(const char *name, char *buf, size_t size) {
    std::lock_guard<std::mutex> lock(g_alias_lock);
    alias_entry *e = find_locked(name);
    if (!e) return -1;
    if (buf && size) str_copy_trunc(buf, size, e->value);
    return static_cast<int>(std::strlen(e->value));
}

int alias_remove(const char *name) {
    std::lock_guard<std::mutex> lock(g_alias_lock);
    if (!g_alias_table || !name) return -1;
    for (alias_entry **link = &g_alias_table[alias_hash(name)]; *link; link = &(*link)->next) {
        alias_entry *e = *link;
        if (std::strcmp(e->name, name) != 0) continue;
        *link = e->next;
        entry_free(e);
        return 0;
    }
    return -1;
}

void alias_remove_all() {
    std::lock_guard<std::mutex> lock(g_alias_lock);
    remove_all_locked();
}

char *alias_list_text() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    {
        std::lock_guard<std::mutex> lock(g_alias_lock);
        for (unsigned i = 0; g_alias_table && i < ALIAS_BUCKETS; ++i)
            for (alias_entry *e = g_alias_table[i]; e; e = e->next) {
                str_buf_add_str(b, e->name);
                str_buf_add(b, "=", 1);
                str_buf_add_str(b, e->value);
                str_buf_add(b, "\n", 1);
            }
    }
    return str_buf_take(b);
}
