// Who is at the other end of a local connection, and the user records the
// answer is checked against.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_socket.h"

// Fills buf with len bytes from the kernel's random source; false when it fails.
bool os_random_bytes(void *buf, size_t len);

// The uid that owns the socket at the other end of a TCP connection on this
// machine, found through the kernel's socket diagnostics (IPv4 and IPv6);
// of a local socket, from its peer credentials.
// false when no such socket is found (the peer is elsewhere, or gone).
bool os_socket_peer_uid(os_socket sock, uint32_t *uid);
// The same for a TCP connection whose addresses are known already (from its
// accept, from its listener): no system call asks the socket for them again.
// A null or empty address is asked for.
bool os_socket_peer_uid_of(os_socket sock, const os_ipaddr *local, const os_ipaddr *peer, uint32_t *uid);
// The real uid of this process.
uint32_t os_process_uid();
// A user name or a decimal uid to the uid; false when neither is known.
bool os_user_uid(const char *name, uint32_t *uid);
