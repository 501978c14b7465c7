// Network address record: IPv4, IPv6 or a local-socket path, with a port.
// A plain value type, copied by assignment or os_ipaddr_copy.
#pragma once

#include <cstddef>
#include <cstdint>

struct sockaddr;

// Family byte: low 7 bits the family, bit 7 set when the address part holds a
// real address (clear: the record stands for the family's wildcard address).
constexpr uint8_t OS_IPADDR_FAMILY_NONE = 0;
constexpr uint8_t OS_IPADDR_FAMILY_IPV4 = 1;
constexpr uint8_t OS_IPADDR_FAMILY_IPV6 = 2;
constexpr uint8_t OS_IPADDR_FAMILY_UNIX = 3;
constexpr uint8_t OS_IPADDR_FAMILY_MASK = 0x7F;
constexpr uint8_t OS_IPADDR_IP_SET = 0x80;

// Text buffer sizes, NUL included.
// What a server that is not told where to listen binds: loopback only.
constexpr const char *OS_IPADDR_LOOPBACK_LIST = "127.0.0.1,::1";
constexpr size_t OS_IPADDR_CSTR_MAXN = 80;     // "[v6%scope]:port"
constexpr size_t OS_IPV4_CSTR_MAXN = 80;
constexpr size_t OS_IPV6_CSTR_MAXN = 80;
constexpr size_t OS_UNIXADDR_CSTR_MAXN = 108;  // local path, NUL included

struct os_ipv4addr {
    uint8_t addr[4];  // network order, first octet first
};

struct os_ipv6addr {
    uint32_t scope_id;
    uint8_t addr[16];  // network order
};

struct os_unixaddr {
    uint8_t abstract;                     // name starts with NUL in the socket form
    char path[OS_UNIXADDR_CSTR_MAXN];     // NUL-terminated
};

struct os_ipaddr {
    uint8_t family;  // OS_IPADDR_FAMILY_* | OS_IPADDR_IP_SET
    uint16_t port;   // host order, 0 = none
    union {
        os_ipv4addr v4;
        os_ipv6addr v6;
        os_unixaddr un;
    } u;
};

// Every function checks its pointers; a null is an assertion report and the
// failure value (false / null / 0).

void os_ipaddr_clear(os_ipaddr *ipaddr);
void os_ipaddr_copy(os_ipaddr *dest, const os_ipaddr *src);
// Both true when the IP-set bit is clear.
bool os_ipaddr_is_empty(const os_ipaddr *ipaddr);
bool os_ipaddr_ip_is_empty(const os_ipaddr *ipaddr);
// True when no IP is set or every address byte is zero; false for a local socket.
bool os_ipaddr_ip_is_any(const os_ipaddr *ipaddr);

// Family without the IP-set bit.
int os_ipaddr_family(const os_ipaddr *ipaddr);
// IPv4 <-> IPv6 converts a set address (IPv4-mapped form); false when the
// conversion is impossible (local socket <-> IP, IPv6 not mapped). Family 0 clears.
bool os_ipaddr_family_set(os_ipaddr *ipaddr, int family);
// false when the record is not of the source family or not IPv4-mapped.
bool os_ipaddr_ipv6_to_ipv4(os_ipaddr *ipaddr);
bool os_ipaddr_ipv4_to_ipv6(os_ipaddr *ipaddr);

uint16_t os_ipaddr_port(const os_ipaddr *ipaddr);
void os_ipaddr_port_set(os_ipaddr *ipaddr, uint16_t port);

// Store an address and set family and IP-set bit; the port is kept.
bool os_ipaddr_ipv4_set(os_ipaddr *ipaddr, const uint8_t addr[4]);
bool os_ipaddr_ipv6_set(os_ipaddr *ipaddr, const uint8_t addr[16], uint32_t scope_id);
// false when the path does not fit (107 bytes at most).
bool os_ipaddr_unix_set(os_ipaddr *ipaddr, const char *path, bool abstract);

// Parses IPv4 first, then IPv6; keeps the port. Null text clears the family
// and returns true. false when neither form parses (record unchanged).
bool os_ipaddr_ip_cstr_set(os_ipaddr *ipaddr, const char *text);
// The address alone ("0.0.0.0" or "::" without an IP, the path for a local
// socket, cut to maxn). Returns data, or null on a bad call.
char *os_ipaddr_ip_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn = OS_IPADDR_CSTR_MAXN);
// Address and port: "a.b.c.d:port", "[v6]:port", "0.0.0.0:0" without an IP,
// the path for a local socket (maxn >= OS_UNIXADDR_CSTR_MAXN). maxn below
// OS_IPADDR_CSTR_MAXN is an assertion failure and gives null.
char *os_ipaddr_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn);

// For people (log lines): IPv6 in its shortest form ("::1", "fe80::1%2"),
// and the address with its port ("[::1]:80"; other families as os_ipaddr_cstr).
char *os_ipv6_cstr_short(const os_ipv6addr *addr, char *data, size_t maxn);
char *os_ipaddr_cstr_short(const os_ipaddr *ipaddr, char *data, size_t maxn);

// Dotted decimal, exactly four parts each below 256; false otherwise.
bool os_ipv4_cstr_set(os_ipv4addr *out, const char *text);
// Hex groups with one optional "::", "::ffff:a.b.c.d", "::a.b.c.d", and an
// optional "%scope" suffix; true only when eight groups result.
bool os_ipv6_cstr_set(os_ipv6addr *out, const char *text);
// "%u.%u.%u.%u"; returns data (maxn >= 16) or null.
char *os_ipv4_cstr(const os_ipv4addr *addr, char *data, size_t maxn);
// Eight "%04x" groups, "%scope" for link-local and ff02::/16; data or null.
char *os_ipv6_cstr(const os_ipv6addr *addr, char *data, size_t maxn);
// True for fe80::/10 and ff02::/16, whose scope id travels with the address.
bool os_ipv6_has_scope(const os_ipv6addr *addr);

// Record from a system socket address of len bytes; returns the structure
// length (16, 28 or 110) or 0 for an unknown family.
int os_sockaddr_save(os_ipaddr *ipaddr, const sockaddr *addr, size_t len);
// System socket address (a sockaddr_storage-sized buffer) from the record;
// returns the structure length (16, 28 or 110) or 0.
int os_sockaddr_load(sockaddr *addr, const os_ipaddr *ipaddr);

// Resolves name for stream sockets of the record's family (any without one)
// and the record's port; stores the first answer. true on success.
bool os_addrinfo_addr(const char *name, os_ipaddr *ipaddr);

// True when a ';' or ',' separated bind list reaches beyond loopback: an
// empty list (every address), or an entry that is not 127.0.0.0/8, ::1, an
// IPv4-mapped 127 address or "localhost".
bool os_ipaddr_list_beyond_loopback(const char *list);
