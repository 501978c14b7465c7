#define LOG_TAG "main"
#include "hubd_host.h"

#include "libapp/app_lib.h"
#include "liblog/log2.h"

void hubd_host_hooks_install() {
    static const app_host_hooks hooks{};
    app_host_hooks_set(&hooks);
}

// Needs the TCP client; until then no second instance can be told apart.
int32_t hubd_instance_check() { return 0; }

int32_t hubd_shell_connet_cmd(const char *, int, const char *) { return -1; }
