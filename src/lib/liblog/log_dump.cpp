#include <cstring>

#include "liblog/log_ctx.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_builder.h"

namespace {

const char *net_url(const log2_net_ops *ops) {
    const char *url = ops && ops->url ? ops->url() : nullptr;
    return url ? url : "";
}

}  // namespace

char *log2_dump() {
    log_ctx *ctx = log_ctx_process();
    if (!ctx) return nullptr;
    char file_name[LOG_FILE_NAME_MAXN + 2];
    char syslog_url[1024];
    char bsvlog_url[1024];
    int max_size;
    // A file that cannot be opened or written is not on, whatever was asked.
    int file_on = ctx->file_on.load(std::memory_order_relaxed);
    {
        mutex_guard guard(ctx->lock);
        str_quote_show(ctx->file.name, file_name, sizeof file_name);
        max_size = static_cast<int>(ctx->file.max_size);
        if (!ctx->file_held && (log_file_failing(&ctx->file) || !ctx->file.name[0])) file_on = 0;
    }
    str_quote_show(net_url(log_attach_syslog()), syslog_url, sizeof syslog_url);
    str_quote_show(net_url(log_attach_bsvlog()), bsvlog_url, sizeof bsvlog_url);
    str_buf *out = str_buf_new();
    str_buf_printf(out, "log_level=%s\n", log2_level_name(ctx->level.load(std::memory_order_relaxed)));
    str_buf_printf(out, "log_shell_enale_out=%d\n", ctx->console_on.load(std::memory_order_relaxed));
    str_buf_printf(out, "log_dbgview_enale_out=%d\n", ctx->dbgview_on.load(std::memory_order_relaxed));
    str_buf_printf(out, "log_file_enale_out=%d\n", file_on);
    str_buf_printf(out, "log_file_name=%s\n", file_name);
    str_buf_printf(out, "log_file_max_size=%d\n", max_size);
    str_buf_printf(out, "log_syslog_enale_out=%d\n", ctx->syslog_on.load(std::memory_order_relaxed));
    str_buf_printf(out, "log_syslog_url=%s\n", syslog_url);
    str_buf_printf(out, "log_bsvlog_url=%s\n", bsvlog_url);
    return str_buf_take(out);
}

char *log2_last_log() {
    log_ctx *ctx = log_ctx_process();
    if (!ctx) return mem_strdup("");
    mutex_guard guard(ctx->lock);
    return mem_strdup(log_ring_text(&ctx->last_log_ring));
}
