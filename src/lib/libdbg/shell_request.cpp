#define LOG_TAG "dbg"
#include "libdbg/shell_request.h"

#include <cstring>

#include "liblog/log2.h"
#include "libpal/string/str_tool.h"

void dbgsh_request_reset(dbgsh_request *r) {
    r->len = 0;
    r->total = 0;
    r->ended = false;
    r->line[0] = '\0';
}

size_t dbgsh_request_take(dbgsh_request *r, const char *data, size_t size) {
    size_t used = 0;
    while (used < size && !r->ended) {
        char c = data[used++];
        if (c == '\0' || c == '\n') {
            r->line[r->len] = '\0';
            r->ended = true;
        } else if (c != '\r') {
            if (r->len < LIBSH_LINE_MAX) r->line[r->len++] = c;
            ++r->total;
        }
    }
    return used;
}

int dbgsh_request_answer(shell_ctx *ctx, dbgsh_request *r, bool *status_on) {
    LOGV("ret=%zu cmd=[%s]\n", r->total, r->line);
    if (r->total > LIBSH_LINE_MAX) {
        // Nothing of it runs, and the session goes on with the next request.
        LOGW("%s: request of %zu bytes refused (at most %zu)\n", ctx->name[0] ? ctx->name : "session", r->total,
             LIBSH_LINE_MAX);
        ctx->status = -1;
        ctx->print(ctx->out, "error: line too long (%zu bytes, at most %zu)\n", r->total, LIBSH_LINE_MAX);
        ctx->flush(ctx->out);
        return -1;
    }
    if (r->line[0] == DBGSH_OPTION_LEAD) {
        if (std::strcmp(r->line, DBGSH_OPTION_STATUS) == 0) {
            *status_on = true;
            ctx->status = 0;
        } else {
            ctx->status = -1;
            ctx->print(ctx->out, "error: unknown session option [%s]\n", r->line + 1);
        }
        ctx->flush(ctx->out);
        return ctx->status;
    }
    return libsh_exec_line(ctx, str_trim(r->line));
}
