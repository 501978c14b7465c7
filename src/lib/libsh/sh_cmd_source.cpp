// source: runs the lines of files through the interpreter.
#define LOG_TAG "mish2"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "libpal/os/os_file.h"
#include "libsh/sh_cmds.h"

namespace {

// A file that sources itself, directly or through others, would recurse
// until the stack runs out; deeper nesting than this is refused.
constexpr int SOURCE_DEPTH_MAX = 16;
thread_local int t_source_depth = 0;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};

void print_usage(shell_ctx *ctx) {
    ctx->print(ctx->out, "source [opt] [file]...\n%s\n-h: Display this help\n", libsh_cmd_help("source"));
}

bool is_blank(const char *line) {
    for (; *line; ++line)
        if (!std::strchr(" \t\r\n\v\f", *line)) return false;
    return true;
}

int run_file(shell_ctx *ctx, const char *path) {
    FILE *raw = nullptr;
    if (os_is_file(path) == 2)
        errno = EISDIR;  // a directory opens for reading but yields no lines
    else
        raw = std::fopen(path, "r");
    if (!raw) {
        ctx->print(ctx->out, "open:[%s] error:%s\n", path, std::strerror(errno));
        return -1;
    }
    std::unique_ptr<FILE, file_closer> file(raw);
    char piece[LIBSH_LINE_SIZE];
    while (std::fgets(piece, sizeof piece, file.get())) {
        // A blank line would repeat the previous line (even this source command).
        if (is_blank(piece)) continue;
        libsh_exec_line(ctx, piece);
    }
    return 0;
}

}  // namespace

int sh_cmd_source(shell_ctx *ctx, int argc, char **argv) {
    int opt;
    while ((opt = shell_getopt(&ctx->opt, argc, argv, "h")) != -1) {
        if (opt == 'h') {
            print_usage(ctx);
            return 0;
        }
    }
    int first = ctx->opt.optind;
    if (first >= argc) {
        print_usage(ctx);
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
