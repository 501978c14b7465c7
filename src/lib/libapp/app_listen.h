// Where the debug servers listen: loopback unless an address is configured.
#pragma once

#include "libpal/network/os_ipaddr.h"

// The addresses a debug server listens on when none is configured.
constexpr const char *APP_LOOPBACK_ADDRS = OS_IPADDR_LOOPBACK_LIST;

// The bind list for a server whose configured address is configured: that
// text when one was configured (an empty one means every address), else
// APP_LOOPBACK_ADDRS. Null stands for "no file loaded" or "key absent".
const char *app_listen_addrs(const char *configured);
// True when the bind list reaches beyond the loopback addresses: an empty
// list (every address), or an entry that is not 127.0.0.0/8, ::1 or localhost.
bool app_listen_beyond_loopback(const char *addrs);
// Logs the one warning line for a server listening beyond loopback without
// credentials: what it is (name), where (addrs) and the key that restricts it.
void app_listen_warn_open(const char *name, const char *addrs, const char *key);
