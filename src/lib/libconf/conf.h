// Configuration store: keys addressed as "section:key" (or section, tab, key),
// answered by the driver that accepts the file (the INI driver).
#pragma once

#include <cstddef>
#include <cstdint>

struct str_vector;

// One entry of a walk: section (not NUL-terminated, section_len bytes), key
// (null for the section line itself), value, its line and CONF_MARK_* bits.
using conf_walk_fn = void (*)(const char *section, size_t section_len, const char *key, const char *value,
                              int32_t line, uint32_t marks, void *arg);

// Operations of one file format. Each works on the context its open returned.
struct ConfDriver {
    // 0 when this driver handles the path, non-zero otherwise.
    int (*conf_probe)(const char *path);
    // Driver context, or null on failure.
    void *(*open)(const char *path, int create);
    // Frees the context; returns 0.
    int (*conf_close)(void *ctx);
    // The stored value text (owned by the context), or def.
    const char *(*get)(void *ctx, const char *section, const char *key, const char *def);
    // 0, or -1 when memory runs out.
    int (*conf_set)(void *ctx, const char *section, const char *key, const char *value);
    // New vector of copies (empty and repeated names skipped); null when memory runs out.
    str_vector *(*conf_sections)(void *ctx);
    str_vector *(*conf_keys)(void *ctx, const char *section);
    // 0 when something was removed, -2 when nothing matched.
    int (*conf_del_section)(void *ctx, const char *section);
    // 0, or -1 when the key does not exist.
    int (*conf_del_key)(void *ctx, const char *section, const char *key);
    // 0; -1 when the new name exists; -2 when the old name has no entries.
    int (*conf_rename_section)(void *ctx, const char *old_name, const char *new_name);
    int (*conf_rename_key)(void *ctx, const char *section, const char *old_key, const char *new_key);
    // Writes the configuration to standard output; 0.
    int (*conf_dump)(void *ctx);
    // Writes the configuration back to its file; 0, or -1 when that fails.
    int (*conf_save)(void *ctx);
    // Where an entry came from: its line in the file (0: set by a call) and
    // CONF_MARK_* bits; key null asks for the section line. 0, or -1 when absent.
    int (*conf_origin)(void *ctx, const char *section, const char *key, int32_t *line, uint32_t *marks);
    // Calls fn for every entry in stored order, in one pass: a section entry
    // has key null. 0, or -1 when the driver cannot.
    int (*conf_walk)(void *ctx, conf_walk_fn fn, void *arg);
};

// The value stood directly before an inline comment (";x" with no blank).
constexpr uint32_t CONF_MARK_GLUED_COMMENT = 0x01;

struct ConfHandle {
    void *ctx;
    const ConfDriver *driver;
};

constexpr int CONF_DRIVER_SLOTS = 4;

// Puts the driver into the first empty slot; 0, or -1 when every slot is taken.
int conf_driver_register(const ConfDriver *driver);

// Null when no driver accepts the path or the file fails to load.
ConfHandle *conf_open(const char *path);
// Reads text already in memory (a file read once, a pipe, standard input) as
// an INI file called name. Null when it does not parse, with every failure as
// one line "name:line: what: text" in err (as much as fits).
ConfHandle *conf_open_text(const char *name, const char *text, size_t len, char *err, size_t err_size);
// Closes the driver context and frees the handle; null is ignored.
int conf_close(ConfHandle *h);
// The stored text, or def. The returned text belongs to the store.
const char *conf_get_str(ConfHandle *h, const char *name, const char *def);
// The value read as a decimal number (strtol rules, held to 32 bits), or def when absent.
int32_t conf_get_int(ConfHandle *h, const char *name, int32_t def);

// The handle's driver operations; -1 (null for vectors) on a null handle.
int conf_set(ConfHandle *h, const char *section, const char *key, const char *value);
str_vector *conf_sections(ConfHandle *h);
str_vector *conf_keys(ConfHandle *h, const char *section);
int conf_del_section(ConfHandle *h, const char *section);
int conf_del_key(ConfHandle *h, const char *section, const char *key);
int conf_rename_section(ConfHandle *h, const char *old_name, const char *new_name);
int conf_rename_key(ConfHandle *h, const char *section, const char *old_key, const char *new_key);
int conf_dump(ConfHandle *h);
int conf_save(ConfHandle *h);
int conf_origin(ConfHandle *h, const char *section, const char *key, int32_t *line, uint32_t *marks);
int conf_walk(ConfHandle *h, conf_walk_fn fn, void *arg);
