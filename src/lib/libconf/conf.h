// Configuration store: keys addressed as "section:key" (or section, tab, key),
// answered by the driver that accepts the file (the INI driver).
#pragma once

#include <cstdint>

struct str_vector;
struct ConfDriver;

struct ConfHandle {
    void *ctx;
    const ConfDriver *driver;
};

// Null when no driver accepts the path or the file fails to load.
ConfHandle *conf_open(const char *path);
// Closes the driver context and frees the handle; null is ignored.
int conf_close(ConfHandle *h);
// The stored text, or def. The returned text belongs to the store.
const char *conf_get_str(ConfHandle *h, const char *name, const char *def);
int32_t conf_get_int(ConfHandle *h, const char *name, int32_t def);
