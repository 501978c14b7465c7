// Start-up of the process context from section "log" of the configuration,
// and its shutdown.
#define LOG_TAG "tag"
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog/log_ctx.h"
#include "liblog/str_to_size.h"
#include "libconf/conf.h"
#include "libpal/env/thread_name.h"

namespace {

constexpr uint64_t FILE_SIZE_MIN = 2048;
constexpr uint64_t FILE_SIZE_MAX = 0x7FFFFFFF;

const char *log_value(ConfHandle *conf, const char *key) {
    char name[64];
    std::snprintf(name, sizeof name, "log:%s", key);
    const char *value = conf_get_str(conf, name, "");
    return value ? value : "";
}

// The key's value ("" when absent), echoed to the trace.
const char *log_key(ConfHandle *conf, const char *key) {
    const char *value = log_value(conf, key);
    log2_trace("log.%s=%s\n", key, value);
    return value;
}

void apply_file_size(log_ctx *ctx, const char *text) {
    uint64_t size = str_to_size(text);
    if (size < FILE_SIZE_MIN) {
        log2_printf(ctx, LOG_WARN, LOG_TAG, __FILE__, __LINE__, __func__,
                    "log2_ioctl log.file_size=%d (must>=%d error)\n", static_cast<int>(size),
                    static_cast<int>(FILE_SIZE_MIN));
        return;
    }
    // The cap is a 32-bit setting; a larger text means "as large as it gets".
    if (size > FILE_SIZE_MAX) size = FILE_SIZE_MAX;
    log2_trace("log2_ioctl log.file_size=%d\n", static_cast<int>(size));
    log2_ioctl(ctx, LOG2_IOCTL_FILE_SIZE, static_cast<int>(size));
}

void apply_section(log_ctx *ctx, ConfHandle *conf) {
    // Switched on first, so that its own echo shows.
    const char *debug = log_value(conf, "debug");
    if (std::strcmp(debug, "1") == 0) log2_trace_enable();
    log2_trace("log.debug=%s\n", debug);
    if (const char *v = log_key(conf, "level"); *v) log2_ioctl(ctx, LOG2_IOCTL_LEVEL_NAME, v);
    if (const char *v = log_key(conf, "flags"); *v) log2_ioctl(ctx, LOG2_IOCTL_FLAG_LIST, v);
    if (const char *v = log_key(conf, "syslog"); *v) {
        log2_ioctl(ctx, LOG2_IOCTL_SYSLOG, v);
        log2_ioctl(ctx, LOG2_IOCTL_SYSLOG_ON, 1);
    }
    if (const char *v = log_key(conf, "bsvlog"); *v) log2_ioctl(ctx, LOG2_IOCTL_BSVLOG, v);
    if (const char *v = log_key(conf, "file_dir"); *v) log2_ioctl(ctx, LOG2_IOCTL_FILE_DIR, v);
    if (const char *v = log_value(conf, "file_mode"); *v) {
        if (std::strcmp(v, "a") == 0 || std::strcmp(v, "w") == 0) {
            mutex_guard guard(ctx->lock);
            ctx->file.mode[0] = v[0];
        } else {
            log2_trace("mode %s err\n", v);
        }
    }
    if (const char *v = log_key(conf, "file"); *v) {
        // On even when the open failed: the next record retries the path.
        log2_ioctl(ctx, LOG2_IOCTL_FILE, v);
        log2_ioctl(ctx, LOG2_IOCTL_FILE_ON, 1);
    }
    if (const char *v = log_key(conf, "file_size"); *v) apply_file_size(ctx, v);
    if (std::strcmp(log_key(conf, "dbgview"), "1") == 0) log2_ioctl(ctx, LOG2_IOCTL_DBGVIEW_ON, 1);
}

}  // namespace

namespace {

log_ctx *init_context() {
    if (std::getenv("QLDBGLOG")) log2_trace_enable();
    // Sockets need no start-up on this platform; the network sinks bring
    // their own. A context made earlier by a log call keeps its settings.
    log_ctx_process_revive();
    return log_ctx_process();
}

}  // namespace

log_ctx *log2_init(const char *conf_path) {
    log_ctx *ctx = init_context();
    if (!ctx) return nullptr;
    log2_trace("conf_file=%s\n", conf_path ? conf_path : "(null)");
    if (!conf_path) return ctx;
    ConfHandle *conf = conf_open(conf_path);
    if (!conf) {
        log2_trace("conf_load %s failed\n", conf_path);
        return ctx;
    }
    apply_section(ctx, conf);
    conf_close(conf);
    return ctx;
}

log_ctx *log2_init_conf(ConfHandle *conf) {
    log_ctx *ctx = init_context();
    if (!ctx) return nullptr;
    if (conf) apply_section(ctx, conf);
    return ctx;
}

void log2_net_close() {
    if (const log2_net_ops *bsv = log_attach_bsvlog(); bsv && bsv->close) bsv->close();
    if (const log2_net_ops *syslog = log_attach_syslog(); syslog && syslog->close) syslog->close();
}

void log2_exit() {
    log_ctx *ctx = log_ctx_process_detach();
    if (!ctx) return;
    log2_net_close();
    log_ctx_free(ctx);
    if (const log2_bin_ops *bin = log_attach_bin(); bin && bin->exit) bin->exit();
    os_thread_name_exit();
}
