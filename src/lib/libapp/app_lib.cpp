#define LOG_TAG "main"
#include "libapp/app_hooks.h"
#include "libapp/app_lib.h"
#include "libdbg/bsv_pipe_srv.h"
#include "libnet/sock_event_loop.h"
#include "libpal/env/thread_name.h"
#include "libpal/tframe/app.h"
#include "libpal/value/rvar.h"
#include "libsh/alias.h"
#include "libsh/libsh.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

namespace {

char *status_text() {
    return app_host_hooks_get().status_hook ? app_host_hooks_get().status_hook() : nullptr;
}

rvar g_config_var{"config", "View configuration parameters", app_conf_dump};
rvar g_status_var{"status", "Show the status of the program", status_text};

}  // namespace

void app_lib_init() {
    LOGV("==>\n");
    pl_init();
    libsh_init();
    rvar_mgr_add(&g_config_var);
    rvar_mgr_add(&g_status_var);
    alias_set("st", "show status");
    alias_set("sr", "show rule");
    libsh_exit_hook_set(app_stop_server);
    libsh_prompt_set(g_app.shell_prompt);
    debug_bsv_pipe_srv_init(g_app.app_name);
    if (app_host_hooks_get().defaults_hook) app_host_hooks_get().defaults_hook();
}

void app_lib_exit() {
    if (app_host_hooks_get().release_hook) app_host_hooks_get().release_hook();
    debug_bsv_pipe_srv_exit();
    libsh_exit();
    sock_env_exit();
    LOGD("<==\n");
    os_thread_name_del();
    log2_exit();
    os_thread_name_exit();
    log2_exit();
}
