#include "log_test_util.h"

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

scoped_log_ctx::scoped_log_ctx() : ctx(log_ctx_new()) {
    ctx->console_on.store(0);
}
scoped_log_ctx::~scoped_log_ctx() { log_ctx_free(ctx); }

temp_dir::temp_dir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/log_test_XXXXXX";
    char buf[4096];
    std::snprintf(buf, sizeof buf, "%s", pattern.c_str());
    if (mkdtemp(buf)) path = buf;
}

temp_dir::~temp_dir() {
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

process_ctx_guard::process_ctx_guard() {
    log_ctx *ctx = log_ctx_process();
    flags = ctx->flags.load();
    level = ctx->level.load();
    console_on = ctx->console_on.load();
    dbgview_on = ctx->dbgview_on.load();
    file_on = ctx->file_on.load();
    syslog_on = ctx->syslog_on.load();
    mutex_guard guard(ctx->lock);
    hook_info = ctx->hook_info;
    hook_warn = ctx->hook_warn;
    file = ctx->file;
    // The guard owns the saved state; the context gets no open file of its own.
    ctx->file.fd = -1;
    ctx->file.pcap_open = false;
}

process_ctx_guard::~process_ctx_guard() {
    log_ctx *ctx = log_ctx_process();
    ctx->flags.store(flags);
    ctx->level.store(level);
    ctx->console_on.store(console_on);
    ctx->dbgview_on.store(dbgview_on);
    ctx->file_on.store(file_on);
    ctx->syslog_on.store(syslog_on);
    mutex_guard guard(ctx->lock);
    ctx->hook_info = hook_info;
    ctx->hook_warn = hook_warn;
    log_file_close(&ctx->file);
    ctx->file = file;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}
