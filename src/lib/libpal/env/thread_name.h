// Process-wide map from OS thread id to the registered thread name.
#pragma once

#include <cstddef>

constexpr size_t OS_THREAD_NAME_MAXN = 256;

int os_thread_name_init();
// Registers "<name>_<4 hex>" for the calling thread and makes name (15 bytes)
// its kernel name, except on the main thread, which keeps the executable's
// name; -1 when the map is unavailable.
int os_thread_name_set(const char *name);
// "<name>_<tid>" or "<tid>"; out must hold 256 bytes. Returns out.
char *os_thread_name_get(char *out);
// The same text without a copy: the calling thread's own, valid until its
// next call here; *len gets its length.
const char *os_thread_name_view(size_t *len);
void os_thread_name_del();
void os_thread_name_exit();
