// The address record: family switching, setters and predicates.
#define LOG_TAG "pal"

#include "libpal/network/os_ipaddr.h"

#include <cstring>

#include "libpal/basic/pal_assert.h"

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

uint8_t family_of(const os_ipaddr *ipaddr) { return ipaddr->family & OS_IPADDR_FAMILY_MASK; }
bool ip_set(const os_ipaddr *ipaddr) { return (ipaddr->family & OS_IPADDR_IP_SET) != 0; }
bool is_ip_family(uint8_t family) {
    return family == OS_IPADDR_FAMILY_IPV4 || family == OS_IPADDR_FAMILY_IPV6;
}

}  // namespace

void os_ipaddr_clear(os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, );
    std::memset(ipaddr, 0, sizeof(*ipaddr));
}

void os_ipaddr_copy(os_ipaddr *dest, const os_ipaddr *src) {
    PAL_ASSERT_RET(dest && src, );
    if (dest == src) return;
    if (!ip_set(src)) {
        std::memset(dest, 0, sizeof(*dest));
        dest->family = src->family;
        dest->port = src->port;
        return;
    }
    if (family_of(src) == OS_IPADDR_FAMILY_IPV4) {
        std::memset(dest, 0, sizeof(*dest));
        dest->family = src->family;
        dest->port = src->port;
        std::memcpy(dest->u.v4.addr, src->u.v4.addr, sizeof(dest->u.v4.addr));
        return;
    }
    *dest = *src;
}

bool os_ipaddr_is_empty(const os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, true);
    return !ip_set(ipaddr);
}

bool os_ipaddr_ip_is_empty(const os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, true);
    return !ip_set(ipaddr);
}

bool os_ipaddr_ip_is_any(const os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, false);
    const uint8_t family = family_of(ipaddr);
    if (family == OS_IPADDR_FAMILY_UNIX) return false;
    if (!ip_set(ipaddr)) return true;
    const uint8_t *bytes = nullptr;
    size_t n = 0;
    if (family == OS_IPADDR_FAMILY_IPV4) {
        bytes = ipaddr->u.v4.addr;
        n = sizeof(ipaddr->u.v4.addr);
    } else if (family == OS_IPADDR_FAMILY_IPV6) {
        bytes = ipaddr->u.v6.addr;
        n = sizeof(ipaddr->u.v6.addr);
    }
    for (size_t i = 0; i < n; i++) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

int os_ipaddr_family(const os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, OS_IPADDR_FAMILY_NONE);
    return family_of(ipaddr);
}

bool os_ipaddr_ipv4_to_ipv6(os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, false);
    PAL_ASSERT_RET(family_of(ipaddr) == OS_IPADDR_FAMILY_IPV4, false);
    const uint8_t set_bit = ipaddr->family & OS_IPADDR_IP_SET;
    uint8_t v4[4];
    std::memcpy(v4, ipaddr->u.v4.addr, sizeof(v4));
    std::memset(&ipaddr->u, 0, sizeof(ipaddr->u));
    if (set_bit) {
        std::memcpy(ipaddr->u.v6.addr, kMappedPrefix, sizeof(kMappedPrefix));
        std::memcpy(ipaddr->u.v6.addr + 12, v4, sizeof(v4));
    }
    ipaddr->family = OS_IPADDR_FAMILY_IPV6 | set_bit;
    return true;
}

bool os_ipaddr_ipv6_to_ipv4(os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, false);
    PAL_ASSERT_RET(family_of(ipaddr) == OS_IPADDR_FAMILY_IPV6, false);
    const uint8_t set_bit = ipaddr->family & OS_IPADDR_IP_SET;
    if (set_bit) {
        PAL_ASSERT_RET(std::memcmp(ipaddr->u.v6.addr, kMappedPrefix, sizeof(kMappedPrefix)) == 0,
                       false);
    }
    uint8_t v4[4];
    std::memcpy(v4, ipaddr->u.v6.addr + 12, sizeof(v4));
    std::memset(&ipaddr->u, 0, sizeof(ipaddr->u));
    if (set_bit) std::memcpy(ipaddr->u.v4.addr, v4, sizeof(v4));
    ipaddr->family = OS_IPADDR_FAMILY_IPV4 | set_bit;
    return true;
}

bool os_ipaddr_family_set(os_ipaddr *ipaddr, int family) {
    PAL_ASSERT_RET(ipaddr, false);
    PAL_ASSERT_RET(family >= OS_IPADDR_FAMILY_NONE && family <= OS_IPADDR_FAMILY_UNIX, false);
    const uint8_t current = family_of(ipaddr);
    if (family == OS_IPADDR_FAMILY_NONE) {
        os_ipaddr_clear(ipaddr);
        return true;
    }
    if (current == family) return true;
    if (current == OS_IPADDR_FAMILY_NONE) {
        // Nothing to convert: the record names the new family's wildcard.
        const uint16_t port = ipaddr->port;
        os_ipaddr_clear(ipaddr);
        ipaddr->family = static_cast<uint8_t>(family);
        ipaddr->port = port;
        return true;
    }
    PAL_ASSERT_RET(is_ip_family(current) && is_ip_family(static_cast<uint8_t>(family)), false);
    if (family == OS_IPADDR_FAMILY_IPV6) return os_ipaddr_ipv4_to_ipv6(ipaddr);
    return os_ipaddr_ipv6_to_ipv4(ipaddr);
}

uint16_t os_ipaddr_port(const os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(ipaddr, 0);
    return ipaddr->port;
}

void os_ipaddr_port_set(os_ipaddr *ipaddr, uint16_t port) {
    PAL_ASSERT_RET(ipaddr, );
    ipaddr->port = port;
}

bool os_ipaddr_ipv4_set(os_ipaddr *ipaddr, const uint8_t addr[4]) {
    PAL_ASSERT_RET(ipaddr && addr, false);
    std::memset(&ipaddr->u, 0, sizeof(ipaddr->u));
    std::memcpy(ipaddr->u.v4.addr, addr, sizeof(ipaddr->u.v4.addr));
    ipaddr->family = OS_IPADDR_FAMILY_IPV4 | OS_IPADDR_IP_SET;
    return true;
}

bool os_ipaddr_ipv6_set(os_ipaddr *ipaddr, const uint8_t addr[16], uint32_t scope_id) {
    PAL_ASSERT_RET(ipaddr && addr, false);
    std::memset(&ipaddr->u, 0, sizeof(ipaddr->u));
    std::memcpy(ipaddr->u.v6.addr, addr, sizeof(ipaddr->u.v6.addr));
    ipaddr->u.v6.scope_id = scope_id;
    ipaddr->family = OS_IPADDR_FAMILY_IPV6 | OS_IPADDR_IP_SET;
    return true;
}

bool os_ipaddr_unix_set(os_ipaddr *ipaddr, const char *path, bool abstract) {
    PAL_ASSERT_RET(ipaddr && path, false);
    const size_t n = std::strlen(path);
    PAL_ASSERT_RET(n < sizeof(ipaddr->u.un.path), false);
    std::memset(&ipaddr->u, 0, sizeof(ipaddr->u));
    ipaddr->u.un.abstract = abstract ? 1 : 0;
    std::memcpy(ipaddr->u.un.path, path, n + 1);
    ipaddr->family = OS_IPADDR_FAMILY_UNIX | OS_IPADDR_IP_SET;
    ipaddr->port = 0;
    return true;
}

bool os_ipaddr_ip_cstr_set(os_ipaddr *ipaddr, const char *text) {
    PAL_ASSERT_RET(ipaddr, false);
    if (!text) {
        const uint16_t port = ipaddr->port;
        os_ipaddr_clear(ipaddr);
        ipaddr->port = port;
        return true;
    }
    os_ipv4addr v4{};
    if (os_ipv4_cstr_set(&v4, text)) return os_ipaddr_ipv4_set(ipaddr, v4.addr);
    os_ipv6addr v6{};
    if (os_ipv6_cstr_set(&v6, text)) return os_ipaddr_ipv6_set(ipaddr, v6.addr, v6.scope_id);
    return false;
}
