#define LOG_TAG "conf"
#include "libconf/conf.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libconf/ini/ini_conf.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "liblog/log2.h"

namespace {

constexpr size_t CONF_SECTION_MAX = 8192;
constexpr const char *CONF_NOT_FOUND = "NOT_FOUND";

// Filled once and never emptied, so readers need no lock.
std::array<std::atomic<const ConfDriver *>, CONF_DRIVER_SLOTS> g_drivers{};
std::once_flag g_ini_registered;

void register_builtin_drivers() {
    std::call_once(g_ini_registered, [] { conf_driver_register(ini_conf_driver()); });
}

bool handle_ok(const ConfHandle *h) { return h && h->driver && h->ctx; }

}  // namespace

int conf_driver_register(const ConfDriver *driver) {
    PAL_ASSERT_RET(driver != nullptr, -1);
    for (auto &slot : g_drivers) {
        const ConfDriver *empty = nullptr;
        if (slot.compare_exchange_strong(empty, driver)) return 0;
    }
    return -1;
}

ConfHandle *conf_open(const char *path) {
    PAL_ASSERT_RET(path != nullptr, nullptr);
    register_builtin_drivers();
    for (auto &slot : g_drivers) {
        const ConfDriver *driver = slot.load();
        if (!driver || !driver->conf_probe || driver->conf_probe(path) != 0) continue;
        void *ctx = driver->open ? driver->open(path, 0) : nullptr;
        if (!ctx) return nullptr;
        auto *h = static_cast<ConfHandle *>(mem_malloc(sizeof(ConfHandle)));
        if (!h) {
            driver->conf_close(ctx);
            return nullptr;
        }
        h->ctx = ctx;
        h->driver = driver;
        return h;
    }
    return nullptr;
}

ConfHandle *conf_open_text(const char *name, const char *text, size_t len, char *err, size_t err_size) {
    PAL_ASSERT_RET(name != nullptr, nullptr);
    register_builtin_drivers();
    void *ctx = ini_conf_open_text(name, text, len, err, err_size);
    if (!ctx) return nullptr;
    auto *h = static_cast<ConfHandle *>(mem_malloc(sizeof(ConfHandle)));
    if (!h) {
        ini_conf_driver()->conf_close(ctx);
        return nullptr;
    }
    h->ctx = ctx;
    h->driver = ini_conf_driver();
    return h;
}

int conf_close(ConfHandle *h) {
    if (!h) return 0;
    if (h->driver && h->driver->conf_close) h->driver->conf_close(h->ctx);
    mem_free(h);
    return 0;
}

const char *conf_get_str(ConfHandle *h, const char *name, const char *def) {
    PAL_ASSERT_RET(handle_ok(h), def);
    PAL_ASSERT_RET(name != nullptr, def);
    const char *sep = std::strchr(name, '\t');
    if (!sep) sep = std::strchr(name, ':');
    if (!sep) return def;
    char section[CONF_SECTION_MAX];
    size_t len = static_cast<size_t>(sep - name);
    if (len > sizeof section - 1) len = sizeof section - 1;
    std::memcpy(section, name, len);
    section[len] = 0;
    return h->driver->get(h->ctx, section, sep + 1, def);
}

int32_t conf_get_int(ConfHandle *h, const char *name, int32_t def) {
    const char *text = conf_get_str(h, name, CONF_NOT_FOUND);
    if (!text || std::strcmp(text, CONF_NOT_FOUND) == 0) return def;
    // long is 32 bits where this format was born; hold the result to that range.
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int conf_set(ConfHandle *h, const char *section, const char *key, const char *value) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    return h->driver->conf_set(h->ctx, section, key, value);
}

str_vector *conf_sections(ConfHandle *h) {
    PAL_ASSERT_RET(handle_ok(h), nullptr);
    return h->driver->conf_sections(h->ctx);
}

str_vector *conf_keys(ConfHandle *h, const char *section) {
    PAL_ASSERT_RET(handle_ok(h), nullptr);
    return h->driver->conf_keys(h->ctx, section);
}

int conf_del_section(ConfHandle *h, const char *section) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    return h->driver->conf_del_section(h->ctx, section);
}

int conf_del_key(ConfHandle *h, const char *section, const char *key) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    return h->driver->conf_del_key(h->ctx, section, key);
}

int conf_rename_section(ConfHandle *h, const char *old_name, const char *new_name) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    return h->driver->conf_rename_section(h->ctx, old_name, new_name);
}

int conf_rename_key(ConfHandle *h, const char *section, const char *old_key, const char *new_key) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    return h->driver->conf_rename_key(h->ctx, section, old_key, new_key);
}

int conf_dump(ConfHandle *h) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    return h->driver->conf_dump(h->ctx);
}

int conf_save(ConfHandle *h) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    return h->driver->conf_save(h->ctx);
}

int conf_origin(ConfHandle *h, const char *section, const char *key, int32_t *line, uint32_t *marks) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    if (!h->driver->conf_origin) return -1;
    return h->driver->conf_origin(h->ctx, section, key, line, marks);
}

int conf_walk(ConfHandle *h, conf_walk_fn fn, void *arg) {
    PAL_ASSERT_RET(handle_ok(h), -1);
    PAL_ASSERT_RET(fn != nullptr, -1);
    if (!h->driver->conf_walk) return -1;
    return h->driver->conf_walk(h->ctx, fn, arg);
}
