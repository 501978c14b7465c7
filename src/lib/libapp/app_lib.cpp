#define LOG_TAG "main"
#include "libapp/app_hooks.h"
#include "libapp/app_lib.h"
#include "libpal/env/thread_name.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

void app_lib_init() {
    LOGV("==>\n");
    pl_init();
    if (app_host_hooks_get().defaults_hook) app_host_hooks_get().defaults_hook();
}

void app_lib_exit() {
    if (app_host_hooks_get().release_hook) app_host_hooks_get().release_hook();
    LOGD("<==\n");
    os_thread_name_del();
    log2_exit();
    os_thread_name_exit();
    log2_exit();
}
