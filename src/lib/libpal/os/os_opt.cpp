#define LOG_TAG "pal"
#include "libpal/os/os_opt.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "liblog/log2.h"

namespace {

constexpr char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// ASCII letters only, so the result never depends on the locale.
bool same_name(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (fold(*a) != fold(*b)) return false;
    return *a == *b;
}

// Splits "name=value" (the value ends at a second '=') and stores the value
// as the pending value of the named row.
int os_opt_kv_get(OptKey *table, const char *arg) {
    const char *eq = std::strchr(arg, '=');
    size_t name_len = eq ? static_cast<size_t>(eq - arg) : 0;
    size_t value_len = eq ? std::strcspn(eq + 1, "=") : 0;
    if (!eq || name_len > OS_OPT_PART_MAX || value_len > OS_OPT_PART_MAX) {
        LOGE("%s syntax error Example: k=v\n", arg);
        return -1;
    }
    char name[OS_OPT_PART_MAX + 1];
    char value[OS_OPT_PART_MAX + 1];
    std::memcpy(name, arg, name_len);
    name[name_len] = 0;
    std::memcpy(value, eq + 1, value_len);
    value[value_len] = 0;
    for (OptKey *row = table; row->name; ++row) {
        if (!same_name(row->name, name)) continue;
        char *copy = mem_strdup(value);
        if (!copy) return -1;
        mem_free(row->pending);
        row->pending = copy;
        return 0;
    }
    LOGE("unsupported key [%s]\n", name);
    return -1;
}

// atol where long has 32 bits: out-of-range values stop at the limits.
int32_t to_int32(const char *text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace

int os_opt_set(OptKey *table, const char *arg) {
    PAL_ASSERT_RET(arg != nullptr, -1);
    // A host without settable keys passes no table: -s then accepts no key.
    static OptKey no_keys[] = {{nullptr, nullptr, 0, nullptr, nullptr}};
    if (!table) table = no_keys;
    if (std::strcmp(arg, "list") == 0) {
        std::fputs("support the following key settings\n", stderr);
        for (const OptKey *row = table; row->name; ++row) std::fprintf(stderr, "%s\n", row->name);
        std::exit(0);
    }
    return os_opt_kv_get(table, arg);
}

int os_opt_apply(OptKey *table) {
    if (!table) return 0;
    int applied = 0;
    for (OptKey *row = table; row->name; ++row) {
        if (!row->pending) continue;
        if (!row->target) {
            PAL_ASSERT_REPORT("key->target!=NULL");
        } else if (row->type == OS_OPT_TYPE_INT32) {
            *static_cast<int32_t *>(row->target) = to_int32(row->pending);
            ++applied;
        } else {
            // The pending block is already a heap copy: it becomes the field's text.
            auto *field = static_cast<char **>(row->target);
            mem_free(*field);
            *field = row->pending;
            row->pending = nullptr;
            ++applied;
        }
        mem_free(row->pending);
        row->pending = nullptr;
    }
    return applied;
}

void os_opt_clear(OptKey *table) {
    if (!table) return;
    for (OptKey *row = table; row->name; ++row) {
        mem_free(row->pending);
        row->pending = nullptr;
    }
}
