// A held log file: the process that may still turn out to be a one-shot run
// (-p, -e, a refused second instance) must not truncate or write the file of
// the instance that runs, so the file is opened only once start-up knows
// this process goes on; the lines made until then wait in memory.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "liblog/log_ctx.h"

namespace {

// Start-up writes a few dozen lines; past this, later ones reach only the other sinks.
constexpr size_t HELD_BYTES_MAX = 256 * 1024;

bool write_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void log_file_hold_name(log_ctx *ctx, const char *name) {
    log_file_close(&ctx->file);
    ctx->file.name[0] = 0;
    if (!name || !*name) return;
    char path[LOG_FILE_NAME_MAXN];
    if (!log_file_resolve(ctx->file.dir, name, path, sizeof path)) {
        log2_trace("fopen %s err\n", name);
        return;
    }
    std::memcpy(ctx->file.name, path, std::strlen(path) + 1);
}

void log_file_hold_line(log_ctx *ctx, const char *text, size_t len) {
    if (ctx->held_lines.size() + len > HELD_BYTES_MAX) return;
    ctx->held_lines.append(text, len);
}

int log_file_hold_set(log_ctx *ctx, int hold) {
    if (hold) {
        if (ctx->file_held) return 0;
        // A file opened before the hold is closed and reopened by the release.
        char name[LOG_FILE_NAME_MAXN];
        std::memcpy(name, ctx->file.name, sizeof name);
        ctx->file_held = true;
        log_file_hold_name(ctx, name);
        return 0;
    }
    if (!ctx->file_held) return 0;
    ctx->file_held = false;
    std::string lines;
    lines.swap(ctx->held_lines);
    if (!ctx->file.name[0]) return 0;
    char name[LOG_FILE_NAME_MAXN];
    std::memcpy(name, ctx->file.name, sizeof name);
    if (log_file_open(&ctx->file, name) != 0) {
        // The lines kept for a file that cannot be opened are lost with it.
        for (char c : lines) {
            if (c != '\n') continue;
            log2_sink_count(LOG2_SINK_FILE, true);
            ++ctx->file.lost_while_failing;
        }
        return -1;
    }
    if (ctx->file.type == LOG_FILE_TEXT && !lines.empty() && !write_all(ctx->file.fd, lines.data(), lines.size())) {
        log2_trace("log_file_write: fwrite error\n");
        return -1;
    }
    return 0;
}
