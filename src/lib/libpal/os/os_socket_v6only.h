// IPv6 listeners take IPv6 connections only, as on the platform of origin,
// so that an IPv4 listener may share the port.
#pragma once

#include "libpal/os/os_socket.h"

// true on success.
bool os_socket_set_v6only(os_socket sock, bool only);
