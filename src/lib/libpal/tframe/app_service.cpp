// The service-mode start and stop procedures handed to the service module.
#define LOG_TAG "main"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_service.h"
#include "libpal/tframe/app.h"

int32_t WinServiceStart() {
    os_thread_name_set("srv");
    LOGD("enter\n");
    ReportStatusToSCMgr(OS_SERVICE_RUNNING, 0);
    PAL_ASSERT(g_app.wsrv_start_proc!=NULL);
    if (g_app.wsrv_start_proc && g_app.wsrv_start_proc() != 0) LOGE("start server error\n");
    ReportStatusToSCMgr(OS_SERVICE_STOPPED, 0);
    LOGD("exit\n");
    os_thread_name_del();
    return 0;
}

int32_t WinServiceStop() {
    LOGI("stopping on request of the service manager\n");
    PAL_ASSERT(g_app.wsrv_stop_proc!=NULL);
    int32_t result = g_app.wsrv_stop_proc ? g_app.wsrv_stop_proc() : 0;
    ReportStatusToSCMgr(OS_SERVICE_STOPPED, 0);
    return result;
}
