// The end of a crashed process: what the fault handlers call last.
#define LOG_TAG "main"
#include <unistd.h>

#include <cstdio>

#include "libpal/os/os_panic.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"
#include "liblog/log2_panic.h"

namespace {
constexpr size_t LAST_LOG_MAXN = 2048;
char g_last_log[LAST_LOG_MAXN];
char g_last_log_text[LAST_LOG_MAXN + 32];
}  // namespace

void app_panic_handle(const os_exception_info *info) {
    if (!os_panic_report_written()) os_exception_dump(info);
    os_painc_create_mini_dump(info);
    log2_last_log_copy(g_last_log, sizeof g_last_log);
    std::snprintf(g_last_log_text, sizeof g_last_log_text, "--LastLog-- \n%s\n", g_last_log);
    os_panic_log(LOG_CRIT | LOG_F_NO_EXIT | LOG_F_BSV_ONLY, "app_panic_handle", g_last_log_text);
    os_panic_log(LOG_CRIT | LOG_F_NO_EXIT | LOG_F_BSV_NET, "app_panic_handle", "process panic exit\n");
    // No clean-up: the process state cannot be trusted any more.
    _exit(254);
}
