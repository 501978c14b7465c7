#define LOG_TAG "main"
#include <cstring>
#include <string>

#include "libapp/app_lib.h"
#include "libapp/app_hooks.h"
#include "libconf/conf.h"
#include "libdbg/dbg_access.h"
#include "libdbg/shell_tcp_server.h"
#include "libdbg/web_console.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_panic.h"
#include "libpal/os/os_poller.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_builder.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

namespace {

// Written during start-up on the main thread, before any session reads it.
std::string g_conf_in_use;

void set_text(char **field, const char *value) {
    mem_free(*field);
    *field = mem_strdup(value);
}

}  // namespace

int32_t app_conf_file_init(const char *path) {
    // The file loaded and checked at start-up is read from memory, not again.
    ConfHandle *loaded = app_conf_loaded();
    ConfHandle *conf = loaded ? loaded : conf_open(path);
    if (!conf) {
        LOGD("load [%s] error\n", path);
        g_conf_in_use.clear();
        return -1;
    }
    g_conf_in_use = path;
    if (app_host_hooks_get().conf_hook) app_host_hooks_get().conf_hook(conf);
    g_app.shell_server_port = conf_get_int(conf, "debug:shell_server_port", 0);
    // An absent address key stays null: the server then keeps to loopback,
    // while an empty value (all addresses) is obeyed.
    set_text(&g_app.shell_server_addr, conf_get_str(conf, "debug:shell_server_addr", nullptr));
    g_app.http_server_port = conf_get_int(conf, "debug:http_server_port", 0);
    set_text(&g_app.http_server_addr, conf_get_str(conf, "debug:http_server_addr", nullptr));
    set_text(&g_app.http_server_user, conf_get_str(conf, "debug:http_server_user", ""));
    set_text(&g_app.http_server_pwd, conf_get_str(conf, "debug:http_server_pwd", ""));
    set_text(&g_app.panic_dump_dir, conf_get_str(conf, "debug:panic_dump_dir", ""));
    os_panic_dump_keep_set(conf_get_int(conf, "debug:panic_dump_keep", OS_PANIC_DUMP_KEEP_DEFAULT));
    // The event loop's poller back end, taken when the loop starts.
    const char *poller = conf_get_str(conf, "debug:poller", "");
    if (poller && *poller && !os_poller_backend_set(poller))
        LOGE("%s: [debug] poller = %s: the back end is one of %s; %s is used\n", path, poller,
             os_poller_backend_names(), os_poller_backend_name(nullptr));
    debug_shell_server_max_sessions_set(conf_get_int(conf, "debug:shell_server_max_sessions", NETSH_MAX_SESSIONS));
    dbg_http_allowed_hosts_set(conf_get_str(conf, "debug:http_allowed_hosts", ""));
    dbg_access_set(conf_get_str(conf, "debug:shell_allowed_users", ""), conf_get_str(conf, "debug:shell_server_pwd", ""),
                   conf_get_int(conf, "debug:protected_mode", 1));
    dbg_http_options_set(conf_get_int(conf, "debug:http_login_lockout", 0),
                         conf_get_int(conf, "debug:http_max_clients", DBG_HTTP_MAX_CLIENTS));
    if (conf != loaded) conf_close(conf);
    return 0;
}

const char *app_conf_file_in_use() { return g_conf_in_use.empty() ? nullptr : g_conf_in_use.c_str(); }

size_t app_web_sessions() { return dbg_http_server_connections(); }

char *app_conf_dump() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    if (app_host_hooks_get().conf_dump_hook) {
        char *host = app_host_hooks_get().conf_dump_hook();
        str_buf_add_str(b, host);
        mem_free(host);
    }
    char quoted[8192];
    str_buf_printf(b, "http_server_port=%d\n", g_app.http_server_port);
    str_buf_printf(b, "http_server_addr=%s\n", str_quote_show(g_app.http_server_addr, quoted, sizeof quoted));
    str_buf_printf(b, "debug_server_port=%d\n", g_app.shell_server_port);
    str_buf_printf(b, "debug_server_addr=%s\n", str_quote_show(g_app.shell_server_addr, quoted, sizeof quoted));
    str_buf_printf(b, "panic_dump_dir=%s\n", str_quote_show(g_app.panic_dump_dir, quoted, sizeof quoted));
    char *log = log2_dump();
    str_buf_add_str(b, log);
    mem_free(log);
    return str_buf_take(b);
}
