// The shell's three output operations on a string, for the fuzz targets that
// count end bytes: output that carried a 0 byte would split a reply, so it
// aborts; each flush adds one end byte and counts it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libpal/value/fvar.h"
#include "libsh/libsh.h"

namespace fuzz {

struct mem_channel {
    std::string wire;
    size_t ends = 0;
};

inline int mem_write(void *out, const char *text, size_t len) {
    auto *m = static_cast<mem_channel *>(out);
    if (std::memchr(text, 0, len)) std::abort();
    m->wire.append(text, len);
    return static_cast<int>(len);
}

inline int mem_print(void *out, const char *fmt, ...) {
    char buf[8192];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    if (n < 0) return n;
    return mem_write(out, buf, std::strlen(buf));
}

inline int mem_flush(void *out) {
    auto *m = static_cast<mem_channel *>(out);
    m->wire.push_back('\0');
    ++m->ends;
    return 0;
}

// A session context whose output goes to m.
inline shell_ctx mem_ctx(mem_channel *m) {
    shell_ctx ctx{};
    ctx.mode = NET_MODE;
    ctx.out = m;
    ctx.print = mem_print;
    ctx.write = mem_write;
    ctx.flush = mem_flush;
    return ctx;
}

inline int harmless(shell_ctx *, int, char **) { return 0; }

// Lines that end the process or fault on purpose stay out of the run.
inline void disarm() {
    for (const char *name : {"kill", "null"})
        if (fvar *f = fvar_lookup(name)) f->func = harmless;
}

}  // namespace fuzz
