// Conversions between the address record and the system's socket addresses,
// and name resolution into a record.
#define LOG_TAG "pal"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/network/os_ipaddr.h"

int os_sockaddr_save(os_ipaddr *ipaddr, const sockaddr *addr, size_t len) {
    PAL_ASSERT_RET(ipaddr && addr, 0);
    os_ipaddr_clear(ipaddr);
    switch (addr->sa_family) {
    case AF_INET: {
        PAL_ASSERT_RET(len >= sizeof(sockaddr_in), 0);
        sockaddr_in in{};
        std::memcpy(&in, addr, sizeof(in));
        os_ipaddr_ipv4_set(ipaddr, reinterpret_cast<const uint8_t *>(&in.sin_addr));
        ipaddr->port = ntohs(in.sin_port);
        return sizeof(sockaddr_in);
    }
    case AF_INET6: {
        PAL_ASSERT_RET(len >= sizeof(sockaddr_in6), 0);
        sockaddr_in6 in6{};
        std::memcpy(&in6, addr, sizeof(in6));
        os_ipaddr_ipv6_set(ipaddr, in6.sin6_addr.s6_addr, 0);
        if (os_ipv6_has_scope(&ipaddr->u.v6)) ipaddr->u.v6.scope_id = in6.sin6_scope_id;
        ipaddr->port = ntohs(in6.sin6_port);
        return sizeof(sockaddr_in6);
    }
    case AF_UNIX: {
        sockaddr_un un{};
        std::memcpy(&un, addr, len < sizeof(un) ? len : sizeof(un));
        const size_t path_len = len > offsetof(sockaddr_un, sun_path)
                                    ? len - offsetof(sockaddr_un, sun_path)
                                    : 0;
        if (path_len == 0) {
            // An unnamed socket (the client end of a connection) has no path.
            ipaddr->family = OS_IPADDR_FAMILY_UNIX;
            return sizeof(sockaddr_un);
        }
        char path[sizeof(un.sun_path) + 1] = {};
        const bool abstract = un.sun_path[0] == '\0';
        const size_t skip = abstract ? 1 : 0;
        size_t n = path_len - skip;
        if (n > sizeof(un.sun_path) - skip) n = sizeof(un.sun_path) - skip;
        std::memcpy(path, un.sun_path + skip, n);
        path[n] = '\0';
        // A name of 108 bytes has no room for the record's NUL; keep the first 107.
        path[OS_UNIXADDR_CSTR_MAXN - 1] = '\0';
        os_ipaddr_unix_set(ipaddr, path, abstract);
        return sizeof(sockaddr_un);
    }
    default:
        return 0;
    }
}

int os_sockaddr_load(sockaddr *addr, const os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(addr && ipaddr, 0);
    const bool ip_set = !os_ipaddr_ip_is_empty(ipaddr);
    switch (os_ipaddr_family(ipaddr)) {
    case OS_IPADDR_FAMILY_IPV4: {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(ipaddr->port);
        if (ip_set) {
            std::memcpy(&in.sin_addr, ipaddr->u.v4.addr, sizeof(in.sin_addr));
        } else {
            in.sin_addr.s_addr = htonl(INADDR_ANY);
        }
        std::memcpy(addr, &in, sizeof(in));
        return sizeof(sockaddr_in);
    }
    case OS_IPADDR_FAMILY_IPV6: {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(ipaddr->port);
        if (ip_set) {
            std::memcpy(in6.sin6_addr.s6_addr, ipaddr->u.v6.addr, sizeof(in6.sin6_addr.s6_addr));
            if (os_ipv6_has_scope(&ipaddr->u.v6)) in6.sin6_scope_id = ipaddr->u.v6.scope_id;
        } else {
            in6.sin6_addr = in6addr_any;
        }
        std::memcpy(addr, &in6, sizeof(in6));
        return sizeof(sockaddr_in6);
    }
    case OS_IPADDR_FAMILY_UNIX: {
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        const bool abstract = ipaddr->u.un.abstract != 0;
        const size_t n = strnlen(ipaddr->u.un.path, sizeof(ipaddr->u.un.path)) + (abstract ? 1 : 0);
        sockaddr_un *addru = &un;
        PAL_CHECK_RET(n < sizeof(addru->sun_path) || (abstract && n == sizeof(addru->sun_path)),
                      "n < sizeof(addru->sun_path)", 0);
        std::memcpy(un.sun_path + (abstract ? 1 : 0), ipaddr->u.un.path, n - (abstract ? 1 : 0));
        std::memcpy(addr, &un, sizeof(un));
        // An abstract name is exactly its bytes: padding would become part of it.
        if (abstract) return static_cast<int>(offsetof(sockaddr_un, sun_path) + n);
        return sizeof(sockaddr_un);
    }
    default:
        return 0;
    }
}

bool os_addrinfo_addr(const char *name, os_ipaddr *ipaddr) {
    PAL_ASSERT_RET(name && ipaddr, false);
    addrinfo hints{};
    switch (os_ipaddr_family(ipaddr)) {
    case OS_IPADDR_FAMILY_IPV4: hints.ai_family = AF_INET; break;
    case OS_IPADDR_FAMILY_IPV6: hints.ai_family = AF_INET6; break;
    case OS_IPADDR_FAMILY_NONE: hints.ai_family = AF_UNSPEC; break;
    default: PAL_ASSERT_RET(os_ipaddr_family(ipaddr) != OS_IPADDR_FAMILY_UNIX, false);
    }
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    const char *service_text = nullptr;
    if (ipaddr->port != 0) {
        std::snprintf(service, sizeof(service), "%u", ipaddr->port);
        service_text = service;
        hints.ai_flags |= AI_NUMERICSERV;
    }
    addrinfo *answers = nullptr;
    if (getaddrinfo(name, service_text, &hints, &answers) != 0 || !answers) return false;
    os_ipaddr found;
    const bool ok = os_sockaddr_save(&found, answers->ai_addr, answers->ai_addrlen) != 0;
    freeaddrinfo(answers);
    if (!ok) return false;
    if (ipaddr->port == 0) found.port = 0;
    *ipaddr = found;
    return true;
}
