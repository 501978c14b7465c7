// Value/name pairs looked up both ways (log levels, facilities, ...).
#pragma once

#include <cstddef>

struct name_table {
    int value;
    const char *name;
};

// The name of value, or "unkown(%d)" in a per-thread 16-byte buffer when absent.
const char *name_table_to_str(int value, const name_table *table, size_t count);
// Exact, case-sensitive match; the value, or -1 when absent.
int name_table_to_val(const char *name, const name_table *table, size_t count);
