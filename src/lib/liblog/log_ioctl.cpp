#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "liblog/log_ctx.h"
#include "libpal/os/os_file.h"

namespace {

int open_net_sink(const log2_net_ops *ops, const char *what, const char *url) {
    if (!ops || !ops->open) {
        log2_trace("%s sink not attached, %s ignored\n", what, url ? url : "");
        return -1;
    }
    return ops->open(url);
}

int set_file_dir(log_ctx *ctx, const char *dir) {
    if (!dir) return 0;
    if (os_mkdirs(dir) != 0) log2_trace("os_mkdirs %s failed\n", dir);
    mutex_guard guard(ctx->lock);
    std::snprintf(ctx->file.dir, sizeof ctx->file.dir, "%s", dir);
    return 0;
}

}  // namespace

int log2_ioctl(log_ctx *ctx, int code, ...) {
    log_ctx *c = log_ctx_or_process(ctx);
    if (!c) return -1;
    va_list args;
    va_start(args, code);
    int result = 0;
    switch (code) {
        case LOG2_IOCTL_LEVEL:
            c->level.store(va_arg(args, int), std::memory_order_relaxed);
            break;
        case LOG2_IOCTL_FLAGS:
            c->flags.store(va_arg(args, unsigned), std::memory_order_relaxed);
            break;
        case LOG2_IOCTL_LEVEL_NAME: {
            const char *name = va_arg(args, const char *);
            int level = log2_level_from_name(name);
            // An unknown name silences every sink until a valid level is set.
            if (level < 0) std::fprintf(stderr, "error: invalid level [%s]\n", name ? name : "");
            c->level.store(level, std::memory_order_relaxed);
            break;
        }
        case LOG2_IOCTL_FLAG_LIST:
            c->flags.store(log_flags_2_int(va_arg(args, const char *)), std::memory_order_relaxed);
            break;
        case LOG2_IOCTL_HOOK_INFO: {
            log2_hook_fn hook = va_arg(args, log2_hook_fn);
            mutex_guard guard(c->lock);
            c->hook_info = hook;
            break;
        }
        case LOG2_IOCTL_HOOK_WARN: {
            log2_hook_fn hook = va_arg(args, log2_hook_fn);
            mutex_guard guard(c->lock);
            c->hook_warn = hook;
            break;
        }
        case LOG2_IOCTL_FILE: {
            const char *name = va_arg(args, const char *);
            mutex_guard guard(c->lock);
            if (c->file_held)
                log_file_hold_name(c, name);
            else
                result = log_file_open(&c->file, name);
            log_file_say_notice(c);
            break;
        }
        case LOG2_IOCTL_FILE_DIR:
            result = set_file_dir(c, va_arg(args, const char *));
            break;
        case LOG2_IOCTL_FILE_SIZE: {
            int size = va_arg(args, int);
            mutex_guard guard(c->lock);
            c->file.max_size = size < static_cast<int>(LOG_FILE_MIN_MAX) ? LOG_FILE_MIN_MAX : static_cast<uint32_t>(size);
            const log2_pcap_ops *pcap = log_attach_pcap();
            if (c->file.pcap_open && pcap && pcap->set_max) pcap->set_max(c->file.max_size);
            break;
        }
        case LOG2_IOCTL_BSVLOG:
            result = open_net_sink(log_attach_bsvlog(), "bsvlog", va_arg(args, const char *));
            break;
        case LOG2_IOCTL_SYSLOG:
            result = open_net_sink(log_attach_syslog(), "syslog", va_arg(args, const char *));
            break;
        case LOG2_IOCTL_DBGVIEW_ON:
            c->dbgview_on.store(va_arg(args, int) ? 1 : 0, std::memory_order_relaxed);
            break;
        case LOG2_IOCTL_FILE_ON:
            c->file_on.store(va_arg(args, int) ? 1 : 0, std::memory_order_relaxed);
            break;
        case LOG2_IOCTL_SYSLOG_ON:
            c->syslog_on.store(va_arg(args, int) ? 1 : 0, std::memory_order_relaxed);
            break;
        case LOG2_IOCTL_FILE_HOLD: {
            int hold = va_arg(args, int);
            mutex_guard guard(c->lock);
            result = log_file_hold_set(c, hold);
            log_file_say_notice(c);
            break;
        }
        default:
            std::fprintf(stderr, "Invalid command code\n");
            result = -1;
            break;
    }
    va_end(args);
    return result;
}

int log2_dbgview_get() {
    log_ctx *ctx = log_ctx_process();
    return ctx ? ctx->dbgview_on.load(std::memory_order_relaxed) : 0;
}
