// The registry items that the shell itself contributes: the log settings,
// the info/memory/llog/dvar views and the kill/null/tlog actions.
#define LOG_TAG "mish2"
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "libnet/sock_event_loop.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_host.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_builder.h"
#include "libpal/string/str_tool.h"
#include "libpal/tframe/app.h"
#include "libpal/value/fvar.h"
#include "libpal/value/rvar.h"
#include "libpal/value/var_registry.h"
#include "libsh/sh_cmds.h"

namespace {

std::atomic<const char *(*)()> g_pipe_name_getter{nullptr};

int log_level_set(const char *value, char *err) {
    int level = log2_level_from_name(value);
    if (level < 0) {
        str_sprintf_s(err, DVAR_ERR_SIZE, "invalid param [%s]\n", value);
        return -1;
    }
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, level);
    return 0;
}

int log_level_get(char *buf, int size) {
    const char *name = log2_level_name(log2_level_get());
    str_copy_trunc(buf, static_cast<size_t>(size), name ? name : "");
    return 0;
}

int dbgview_set(const char *value, char *err) {
    if (std::strcmp(value, "1") != 0 && std::strcmp(value, "0") != 0) {
        str_sprintf_s(err, DVAR_ERR_SIZE, "error: invalid param [%s]\n", value);
        return -1;
    }
    log2_ioctl(nullptr, LOG2_IOCTL_DBGVIEW_ON, value[0] == '1' ? 1 : 0);
    return 0;
}

int dbgview_get(char *buf, int size) {
    std::snprintf(buf, static_cast<size_t>(size), "%d", log2_dbgview_get());
    return 0;
}

// Appends "key=value\n" with the value quoted for display.
void add_quoted(str_buf *b, const char *key, const char *value) {
    char quoted[1024];
    str_quote_show(value ? value : "", quoted, sizeof quoted);
    str_buf_printf(b, "%s=%s\n", key, quoted);
}

void add_duration(str_buf *b, const char *key, double seconds) {
    char text[64];
    add_quoted(b, key, str_duration(seconds, text, sizeof text));
}

char *info_text() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    str_buf_printf(b, "ver=%s\n", g_app.app_ver ? g_app.app_ver : "");
    add_quoted(b, "ver_date", g_app.app_ver_date);
    add_duration(b, "start_time", static_cast<double>(os_clock_ms() - g_app.start_tick) / 1000.0);
    str_buf_printf(b, "is_root=%d\n", os_is_root());
    const char *level = log2_level_name(log2_level_get());
    str_buf_printf(b, "log_level=%s\n", level ? level : "");
    str_buf_printf(b, "poller=%s\n", os_poller_backend_name(sock_env_poller()));
    const char *(*pipe_name)() = g_pipe_name_getter.load(std::memory_order_relaxed);
    add_quoted(b, "bsv_pipe_name", pipe_name ? pipe_name() : "");
    str_buf_printf(b, "cpu_endian=%s\n", std::endian::native == std::endian::little ? "little" : "big");
    str_buf_printf(b, "os_is_nt=%d\n", g_app.os_id == 1 ? 1 : 0);
    char text[512];
    add_quoted(b, "os_info", str_trim(os_info_desc(text, sizeof text)));
    str_buf_printf(b, "hw_info=%s\n", os_hw_info(text, sizeof text));
    os_timespec now{};
    os_clock_realtime(&now);
    int64_t boot = g_app.boot_time ? g_app.boot_time : os_boot_time();
    add_duration(b, "os_start_time", static_cast<double>(now.sec - boot) + now.nsec / 1e9);
    return str_buf_take(b);
}

char *memory_text() { return mem_stats_text(); }

char *llog_text() { return log2_last_log(); }
char *dvar_text() { return dvar_mgr_show(); }

int fvar_kill_func(shell_ctx *ctx, int argc, char **argv) {
    LOGW("user req exit!!\n");
    sh_push(ctx);
    std::fflush(nullptr);
    _exit(0);
}

int fvar_null_func(shell_ctx *ctx, int argc, char **argv) {
    LOGW("user req null=0 !!\n");
    sh_push(ctx);
    // Pointer and target both volatile: an optimising build would otherwise
    // drop the store, and the fault must reach the crash handling.
    volatile int *volatile target = nullptr;
    *target = 0;
    return 0;
}

int fvar_tlog_func(shell_ctx *ctx, int argc, char **argv) {
    LOGV("log_verb\n");
    LOGD("log_debug\n");
    LOGI("log_info\n");
    LOGN("log_notice\n");
    LOGW("log_warn\n");
    LOGE("log_error\n");
    LOG2_AT(LOG_CRIT | LOG_F_NO_EXIT, "log_crit2\n");
    return 0;
}

dvar g_log_level = {"log.level", VAR_KIND_ENUM, LOG2_LEVEL_HINT, "Set log output level",
                    log_level_set, log_level_get, 0, 0};
dvar g_log_dbgview = {"log.dbgview", VAR_KIND_ENUM, "0|1", "Turn outputDebugString output on or off",
                      dbgview_set, dbgview_get, 0, 0};

rvar g_rvars[] = {
    {"info", "View program running global info", info_text},
    {"memory", "View program memory stats", memory_text},
    {"llog", "show last log", llog_text},
    {"dvar", "View program Dynamic variable", dvar_text},
};

fvar g_fvars[] = {
    {"kill", "Execute exit() to exit the process", fvar_kill_func},
    {"null", "null memory access exception", fvar_null_func},
    {"tlog", "Test All log level output", fvar_tlog_func},
};

}  // namespace

void libsh_items_add() {
    dvar_mgr_add(dvar_mgr, &g_log_level);
    dvar_mgr_add(dvar_mgr, &g_log_dbgview);
    for (rvar &var : g_rvars) rvar_mgr_add(&var);
    for (fvar &var : g_fvars) fvar_mgr_add(&var);
}

void libsh_pipe_name_getter_set(const char *(*getter)()) {
    g_pipe_name_getter.store(getter, std::memory_order_relaxed);
}
