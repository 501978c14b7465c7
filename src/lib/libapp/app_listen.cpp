#define LOG_TAG "main"
#include "libapp/app_listen.h"

#include <cstring>

#include "libpal/network/os_ipaddr.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {

constexpr size_t ADDR_FIELD_MAXN = 512;

bool is_loopback(const char *text) {
    if (std::strcmp(text, "localhost") == 0) return true;
    os_ipaddr addr{};
    if (!os_ipaddr_ip_cstr_set(&addr, text)) return false;
    if (os_ipaddr_family(&addr) == OS_IPADDR_FAMILY_IPV4) return addr.u.v4.addr[0] == 127;
    if (os_ipaddr_family(&addr) != OS_IPADDR_FAMILY_IPV6) return false;
    const uint8_t *v6 = addr.u.v6.addr;
    static constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    // An IPv4-mapped address counts as its IPv4 form.
    if (std::memcmp(v6, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0) return v6[12] == 127;
    static constexpr uint8_t V6_LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(v6, V6_LOOPBACK, sizeof V6_LOOPBACK) == 0;
}

}  // namespace

const char *app_listen_addrs(const char *configured) { return configured ? configured : APP_LOOPBACK_ADDRS; }

bool app_listen_beyond_loopback(const char *addrs) {
    if (!addrs) return false;
    bool any_field = false;
    const char *cursor = addrs;
    while (*cursor) {
        size_t len = std::strcspn(cursor, ";,");
        if (len > 0) {
            any_field = true;
            char field[ADDR_FIELD_MAXN];
            if (len >= sizeof field) return true;
            std::memcpy(field, cursor, len);
            field[len] = 0;
            if (!is_loopback(field)) return true;
        }
        cursor += len;
        if (*cursor) ++cursor;
    }
    // Nothing but separators binds the wildcards, as an empty text does.
    return !any_field;
}

void app_listen_warn_open(const char *name, const char *addrs, const char *key) {
    LOGW("%s listens on %s without authentication: set %s = 127.0.0.1 in %s, or reach it through SSH\n", name,
         addrs && *addrs ? addrs : "all addresses", key, g_app.conf_path ? g_app.conf_path : g_app.app_conf_file);
}
