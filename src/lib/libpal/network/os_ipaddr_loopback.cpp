// Whether a bind list keeps a server on this machine.
#include <cstring>

#include "libpal/network/os_ipaddr.h"

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

bool os_ipaddr_list_beyond_loopback(const char *list) {
    if (!list) return true;
    bool any_field = false;
    const char *cursor = list;
    while (*cursor) {
        size_t len = std::strcspn(cursor, ";,");
        // Blanks around an entry do not change where it binds.
        const char *field_start = cursor;
        size_t field_len = len;
        while (field_len && (*field_start == ' ' || *field_start == '\t')) ++field_start, --field_len;
        while (field_len && (field_start[field_len - 1] == ' ' || field_start[field_len - 1] == '\t')) --field_len;
        if (field_len > 0) {
            any_field = true;
            char field[ADDR_FIELD_MAXN];
            if (field_len >= sizeof field) return true;
            std::memcpy(field, field_start, field_len);
            field[field_len] = 0;
            if (!is_loopback(field)) return true;
        }
        cursor += len;
        if (*cursor) ++cursor;
    }
    // Nothing but separators binds the wildcards, as an empty text does.
    return !any_field;
}
