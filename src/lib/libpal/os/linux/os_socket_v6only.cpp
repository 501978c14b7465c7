#define LOG_TAG "pal"
#include "libpal/os/os_socket_v6only.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "libpal/basic/pal_assert.h"

bool os_socket_set_v6only(os_socket sock, bool only) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, false);
    int value = only ? 1 : 0;
    return setsockopt(os_socket_fd(sock), IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == 0;
}
