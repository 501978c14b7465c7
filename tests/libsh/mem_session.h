// A shell session whose output lands in memory, for interpreter tests.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "libsh/libsh.h"

struct mem_session {
    std::string text;   // everything printed or written
    std::string wire;   // the same with a 0 byte per flush, as a channel sends it
    int flushes = 0;
    shell_ctx ctx{};

    mem_session() {
        ctx.mode = HTTP_MODE;
        ctx.out = this;
        ctx.print = print;
        ctx.write = write;
        ctx.flush = flush;
    }

    int run(const char *line) { return libsh_exec_line(&ctx, line); }
    void clear() {
        text.clear();
        wire.clear();
        flushes = 0;
    }

    static int print(void *out, const char *fmt, ...) {
        char buf[8192];
        va_list args;
        va_start(args, fmt);
        int n = std::vsnprintf(buf, sizeof buf, fmt, args);
        va_end(args);
        if (n < 0) return n;
        size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
        return write(out, buf, len);
    }
    static int write(void *out, const char *text, size_t len) {
        auto *s = static_cast<mem_session *>(out);
        s->text.append(text, len);
        s->wire.append(text, len);
        return static_cast<int>(len);
    }
    static int flush(void *out) {
        auto *s = static_cast<mem_session *>(out);
        ++s->flushes;
        s->wire.push_back('\0');
        return 0;
    }
};
