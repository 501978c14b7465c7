// The service-mode start and stop procedures handed to the service module,
// and the two moments of the start that the service manager must hear of:
// ready, or failed with its reason.
#define LOG_TAG "main"
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_service.h"
#include "libpal/tframe/app.h"

namespace {
std::mutex g_failure_lock;
char g_failure[512];  // under g_failure_lock; the first failure of the start
}  // namespace

int32_t WinServiceStart() {
    os_thread_name_set("srv");
    LOGD("enter\n");
    PAL_ASSERT(g_app.wsrv_start_proc!=NULL);
    int32_t result = g_app.wsrv_start_proc ? g_app.wsrv_start_proc() : -1;
    if (result != 0) {
        LOGE("start server error\n");
    } else {
        // A failed start leaves its reason as the last status the manager shows.
        ReportStatusToSCMgr(OS_SERVICE_STOPPED, 0);
    }
    LOGD("exit\n");
    os_thread_name_del();
    return result;
}

int32_t WinServiceStop() {
    LOGI("stopping on request of the service manager\n");
    PAL_ASSERT(g_app.wsrv_stop_proc!=NULL);
    int32_t result = g_app.wsrv_stop_proc ? g_app.wsrv_stop_proc() : 0;
    ReportStatusToSCMgr(OS_SERVICE_STOPPED, 0);
    return result;
}

void app_service_ready() {
    if (!g_app.daemon_mode || g_app.server_stopped.load(std::memory_order_relaxed)) return;
    ReportStatusToSCMgr(OS_SERVICE_RUNNING, 0);
}

void app_start_failed(const char *fmt, ...) {
    char text[sizeof g_failure];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    LOGE("%s\n", text);
    std::lock_guard<std::mutex> guard(g_failure_lock);
    if (g_failure[0]) return;
    std::snprintf(g_failure, sizeof g_failure, "%s", text);
    if (g_app.daemon_mode) os_service_status_text(g_failure);
}
