// source: runs the lines of files through the interpreter.
#define LOG_TAG "mish2"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "libsh/sh_cmds.h"

namespace {

// A file that sources itself, directly or through others, would recurse
// until the stack runs out; deeper nesting than this is refused.
constexpr int SOURCE_DEPTH_MAX = 16;
// One source reads at most this many lines, so that a file that keeps
// growing cannot hold a session for ever.
constexpr int SOURCE_LINES_MAX = 100000;
thread_local int t_source_depth = 0;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

bool is_blank(const char *line) {
    for (; *line; ++line)
        if (!std::strchr(" \t\r\n\v\f", *line)) return false;
    return true;
}

bool session_stopped(shell_ctx *ctx) { return ctx->stopped && ctx->stopped(ctx->out); }

// Only a regular file has an end to read up to: a device such as /dev/zero
// never ends, and a FIFO nobody writes to never answers. Opened without
// waiting, so that a FIFO cannot hold the session in the open itself.
file_ptr open_regular(const char *path, const char **why) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *file = fdopen(fd, "r");
    if (!file) {
        *why = std::strerror(errno);
        close(fd);
    }
    return file_ptr(file);
}

int run_file(shell_ctx *ctx, const char *path) {
    const char *why = "";
    file_ptr file = open_regular(path, &why);
    if (!file) {
        ctx->print(ctx->out, "open:[%s] error:%s\n", path, why);
        return -1;
    }
    char piece[LIBSH_LINE_SIZE + 1];
    int lines = 0;
    while (std::fgets(piece, sizeof piece, file.get())) {
        if (session_stopped(ctx)) return -1;
        if (++lines > SOURCE_LINES_MAX) {
            ctx->print(ctx->out, "source: [%s] stopped after %d lines\n", path, SOURCE_LINES_MAX);
            return -1;
        }
        size_t len = std::strlen(piece);
        if (len > 0 && piece[len - 1] != '\n' && !std::feof(file.get())) {
            // Running the pieces of a long line as lines of their own would run
            // cut commands: the whole line is refused and skipped.
            int c;
            while ((c = std::fgetc(file.get())) != EOF && c != '\n') ++len;
            ctx->print(ctx->out, "source: [%s] line %d: error: line too long (%zu bytes, at most %zu)\n", path,
                       lines, len, LIBSH_LINE_MAX);
            if (ctx->status == 0) ctx->status = -1;
            continue;
        }
        // A blank line would repeat the previous line (even this source command).
        if (is_blank(piece)) continue;
        sh_exec_line_inner(ctx, piece);
        // A long file's output streams out as it runs; the reply ends once, after the last line.
        sh_push(ctx);
    }
    return 0;
}

}  // namespace

int sh_cmd_source(shell_ctx *ctx, int argc, char **argv) {
    int opt;
    while ((opt = shell_getopt(&ctx->opt, argc, argv, "h")) != -1) {
        if (opt == 'h') return libsh_cmd_usage(ctx, "source");
    }
    int first = ctx->opt.optind;
    if (first >= argc) {
        libsh_cmd_usage(ctx, "source");
        return 1;
    }
    if (t_source_depth >= SOURCE_DEPTH_MAX) {
        ctx->print(ctx->out, "source: [%s] nested deeper than %d, refused\n", argv[first], SOURCE_DEPTH_MAX);
        return -1;
    }
    ++t_source_depth;
    int result = 0;
    for (int i = first; i < argc && result == 0; ++i) result = run_file(ctx, argv[i]);
    --t_source_depth;
    return result;
}
