#include "liblog/name_table.h"

#include <cstdio>
#include <cstring>

const char *name_table_to_str(int value, const name_table *table, size_t count) {
    for (size_t i = 0; table && i < count; ++i) {
        if (table[i].value == value) return table[i].name;
    }
    // Per thread, so that two threads naming unknown values do not race on one buffer.
    thread_local char unknown[16];
    std::snprintf(unknown, sizeof unknown, "unkown(%d)", value);
    return unknown;
}

int name_table_to_val(const char *name, const name_table *table, size_t count) {
    if (!name) return -1;
    for (size_t i = 0; table && i < count; ++i) {
        if (std::strcmp(table[i].name, name) == 0) return table[i].value;
    }
    return -1;
}
