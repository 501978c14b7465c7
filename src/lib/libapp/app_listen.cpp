#define LOG_TAG "main"
#include "libapp/app_listen.h"

#include "libpal/network/os_ipaddr.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

const char *app_listen_addrs(const char *configured) { return configured ? configured : APP_LOOPBACK_ADDRS; }

bool app_listen_beyond_loopback(const char *addrs) { return addrs && os_ipaddr_list_beyond_loopback(addrs); }

void app_listen_warn_open(const char *name, const char *addrs, const char *key) {
    LOGW("%s listens on %s without authentication: set %s = 127.0.0.1 in %s, or reach it through SSH\n", name,
         addrs && *addrs ? addrs : "all addresses", key, g_app.conf_path ? g_app.conf_path : g_app.app_conf_file);
}
