// Text forms of addresses: dotted IPv4, eight-group IPv6 with scope, and the
// address-with-port form used in every log line about a connection.
#define LOG_TAG "pal"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "libpal/basic/pal_assert.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/string/str_safe.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses up to four hex digits at *p; -1 when there is none.
int parse_group(const char *&p) {
    int value = 0;
    int digits = 0;
    while (digits < 4 && hex_value(*p) >= 0) {
        value = value * 16 + hex_value(*p);
        p++;
        digits++;
    }
    if (digits == 0 || hex_value(*p) >= 0) return -1;  // none, or a fifth digit
    return value;
}

// Parses "%<decimal>" (the caller has seen the '%') up to the end of text.
bool parse_scope(const char *p, uint32_t *scope_id) {
    if (!is_digit(*p)) return false;
    uint64_t value = 0;
    for (; *p; p++) {
        if (!is_digit(*p)) return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    *scope_id = static_cast<uint32_t>(value);
    return true;
}

// The groups of an IPv6 text without a dotted tail.
bool parse_groups(const char *text, os_ipv6addr *out) {
    uint16_t head[8];
    uint16_t tail[8];
    int head_n = 0;
    int tail_n = 0;
    bool gap = false;
    const char *p = text;

    if (p[0] == ':') {
        if (p[1] != ':') return false;
        gap = true;
        p += 2;
    }
    while (*p && *p != '%') {
        const int group = parse_group(p);
        if (group < 0) return false;
        if (head_n + tail_n >= 8) return false;
        if (gap) {
            tail[tail_n++] = static_cast<uint16_t>(group);
        } else {
            head[head_n++] = static_cast<uint16_t>(group);
        }
        if (*p == ':') {
            if (p[1] == ':') {
                if (gap) return false;  // a second "::"
                gap = true;
                p += 2;
                continue;
            }
            p++;
            if (*p == '\0' || *p == '%') return false;  // a lone trailing ':'
        } else if (*p && *p != '%') {
            return false;
        }
    }
    uint32_t scope_id = 0;
    if (*p == '%' && !parse_scope(p + 1, &scope_id)) return false;

    const int given = head_n + tail_n;
    if (gap ? given >= 8 : given != 8) return false;

    std::memset(out, 0, sizeof(*out));
    for (int i = 0; i < head_n; i++) {
        out->addr[2 * i] = static_cast<uint8_t>(head[i] >> 8);
        out->addr[2 * i + 1] = static_cast<uint8_t>(head[i]);
    }
    for (int i = 0; i < tail_n; i++) {
        const int slot = 8 - tail_n + i;
        out->addr[2 * slot] = static_cast<uint8_t>(tail[i] >> 8);
        out->addr[2 * slot + 1] = static_cast<uint8_t>(tail[i]);
    }
    out->scope_id = scope_id;
    return true;
}

}  // namespace

bool os_ipv4_cstr_set(os_ipv4addr *out, const char *text) {
    PAL_ASSERT_RET(out && text, false);
    uint8_t bytes[4] = {};
    int part = 0;
    uint32_t value = 0;
    for (const char *p = text;; p++) {
        if (*p == '.' || *p == '\0') {
            if (part >= 4) return false;
            bytes[part++] = static_cast<uint8_t>(value);
            value = 0;
            if (*p == '\0') break;
            continue;
        }
        if (!is_digit(*p)) return false;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > 255) return false;
    }
    if (part != 4) return false;
    std::memcpy(out->addr, bytes, sizeof(bytes));
    return true;
}

bool os_ipv6_cstr_set(os_ipv6addr *out, const char *text) {
    PAL_ASSERT_RET(out && text, false);
    os_ipv4addr v4{};
    if (strncasecmp(text, "::ffff:", 7) == 0 && os_ipv4_cstr_set(&v4, text + 7)) {
        std::memset(out, 0, sizeof(*out));
        out->addr[10] = 0xFF;
        out->addr[11] = 0xFF;
        std::memcpy(out->addr + 12, v4.addr, sizeof(v4.addr));
        return true;
    }
    if (std::strncmp(text, "::", 2) == 0 && os_ipv4_cstr_set(&v4, text + 2)) {
        std::memset(out, 0, sizeof(*out));
        std::memcpy(out->addr + 12, v4.addr, sizeof(v4.addr));
        return true;
    }
    return parse_groups(text, out);
}

bool os_ipv6_has_scope(const os_ipv6addr *addr) {
    PAL_ASSERT_RET(addr, false);
    const bool link_local = addr->addr[0] == 0xFE && (addr->addr[1] & 0xC0) == 0x80;
    const bool link_multicast = addr->addr[0] == 0xFF && addr->addr[1] == 0x02;
    return link_local || link_multicast;
}

char *os_ipv4_cstr(const os_ipv4addr *addr, char *data, size_t maxn) {
    PAL_ASSERT_RET(addr && data && maxn >= 16, nullptr);
    std::snprintf(data, maxn, "%u.%u.%u.%u", addr->addr[0], addr->addr[1], addr->addr[2],
                  addr->addr[3]);
    return data;
}

char *os_ipv6_cstr(const os_ipv6addr *addr, char *data, size_t maxn) {
    PAL_ASSERT_RET(addr && data && maxn > 0, nullptr);
    char scope[16] = "";
    if (os_ipv6_has_scope(addr)) std::snprintf(scope, sizeof(scope), "%%%u", addr->scope_id);
    unsigned g[8];
    for (int i = 0; i < 8; i++) g[i] = (unsigned{addr->addr[2 * i]} << 8) | addr->addr[2 * i + 1];
    std::snprintf(data, maxn, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x%s", g[0], g[1], g[2], g[3],
                  g[4], g[5], g[6], g[7], scope);
    return data;
}

char *os_ipaddr_ip_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn) {
    PAL_ASSERT_RET(ipaddr && data && maxn > 0, nullptr);
    const int family = os_ipaddr_family(ipaddr);
    if (family == OS_IPADDR_FAMILY_UNIX) {
        str_copy_trunc(data, maxn, ipaddr->u.un.path);
        return data;
    }
    if (os_ipaddr_ip_is_empty(ipaddr)) {
        str_copy_trunc(data, maxn, family == OS_IPADDR_FAMILY_IPV6 ? "::" : "0.0.0.0");
        return data;
    }
    if (family == OS_IPADDR_FAMILY_IPV6) return os_ipv6_cstr(&ipaddr->u.v6, data, maxn);
    if (maxn < 16) {
        data[0] = '\0';
        return data;
    }
    return os_ipv4_cstr(&ipaddr->u.v4, data, maxn);
}

char *os_ipaddr_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn) {
    PAL_CHECK_RET(ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN,
                  "ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN", nullptr);
    if (os_ipaddr_ip_is_empty(ipaddr)) {
        str_copy_trunc(data, maxn, "0.0.0.0:0");
        return data;
    }
    const int family = os_ipaddr_family(ipaddr);
    if (family == OS_IPADDR_FAMILY_UNIX) {
        PAL_ASSERT_RET(maxn >= OS_UNIXADDR_CSTR_MAXN, nullptr);
        str_copy_trunc(data, maxn, ipaddr->u.un.path);
        return data;
    }
    char ip[OS_IPADDR_CSTR_MAXN];
    os_ipaddr_ip_cstr(ipaddr, ip, sizeof(ip));
    const bool v6 = family == OS_IPADDR_FAMILY_IPV6;
    std::snprintf(data, maxn, "%s%s%s:%u", v6 ? "[" : "", ip, v6 ? "]" : "", ipaddr->port);
    return data;
}

char *os_ipv6_cstr_short(const os_ipv6addr *addr, char *data, size_t maxn) {
    PAL_ASSERT_RET(addr && data && maxn > 0, nullptr);
    unsigned g[8];
    for (int i = 0; i < 8; i++) g[i] = (unsigned{addr->addr[2 * i]} << 8) | addr->addr[2 * i + 1];
    // The longest run of two or more zero groups becomes "::", the first of equals.
    int run_start = 8, run_len = 0;
    for (int i = 0; i < 8; ++i) {
        int j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j - i >= 2 && j - i > run_len) {
            run_start = i;
            run_len = j - i;
        }
    }
    std::string text;
    char group[8];
    for (int i = 0; i < 8; ++i) {
        if (i == run_start) {
            text += "::";
            i += run_len - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        std::snprintf(group, sizeof group, "%x", g[i]);
        text += group;
    }
    if (os_ipv6_has_scope(addr)) text += "%" + std::to_string(addr->scope_id);
    str_copy_trunc(data, maxn, text.c_str());
    return data;
}

char *os_ipaddr_cstr_short(const os_ipaddr *ipaddr, char *data, size_t maxn) {
    PAL_CHECK_RET(ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN,
                  "ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN", nullptr);
    if (os_ipaddr_family(ipaddr) != OS_IPADDR_FAMILY_IPV6 || os_ipaddr_ip_is_empty(ipaddr))
        return os_ipaddr_cstr(ipaddr, data, maxn);
    char ip[OS_IPADDR_CSTR_MAXN];
    os_ipv6_cstr_short(&ipaddr->u.v6, ip, sizeof ip);
    std::snprintf(data, maxn, "[%s]:%u", ip, ipaddr->port);
    return data;
}
