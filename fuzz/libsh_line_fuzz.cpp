// The interpreter on a memory channel: arbitrary lines, with aliases and
// environment entries taken from the input, each line ending its reply with
// exactly one end byte after all of its output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "libpal/value/fvar.h"
#include "libsh/alias.h"
#include "libsh/libsh.h"
#include "libsh/sh_env.h"

namespace {

struct mem_channel {
    std::string wire;
    size_t ends = 0;
};

int mem_write(void *out, const char *text, size_t len) {
    auto *m = static_cast<mem_channel *>(out);
    // An end byte belongs to flush alone: output that carried one would split a reply.
    if (std::memchr(text, 0, len)) std::abort();
    m->wire.append(text, len);
    return static_cast<int>(len);
}

int mem_print(void *out, const char *fmt, ...) {
    char buf[8192];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    if (n < 0) return n;
    return mem_write(out, buf, std::strlen(buf));
}

int mem_flush(void *out) {
    auto *m = static_cast<mem_channel *>(out);
    m->wire.push_back('\0');
    ++m->ends;
    return 0;
}

int harmless(shell_ctx *, int, char **) { return 0; }

// Lines that end the process or fault on purpose stay out of the run.
void disarm() {
    for (const char *name : {"kill", "null"})
        if (fvar *f = fvar_lookup(name)) f->func = harmless;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] {
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "crit");
        return true;
    }();
    (void)quiet;
    libsh_init();
    disarm();
    std::string input(reinterpret_cast<const char *>(data), size);
    mem_channel m;
    shell_ctx ctx{};
    ctx.mode = HTTP_MODE;
    ctx.out = &m;
    ctx.print = mem_print;
    ctx.write = mem_write;
    ctx.flush = mem_flush;
    size_t lines = 0;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        std::string line = input.substr(start, end - start);
        start = end + 1;
        line.resize(std::strlen(line.c_str()));
        // "@name=value" and "%name=value" lines fill the alias table and the environment.
        size_t eq = line.find('=');
        if (!line.empty() && line[0] == '@' && eq != std::string::npos) {
            alias_set(line.substr(1, eq - 1).c_str(), line.substr(eq + 1).c_str());
            continue;
        }
        if (!line.empty() && line[0] == '%' && eq != std::string::npos) {
            libsh_setenv(line.substr(1, eq - 1).c_str(), line.substr(eq + 1).c_str());
            continue;
        }
        size_t before = m.wire.size();
        libsh_exec_line(&ctx, line.c_str());
        ++lines;
        // Exactly one end byte per line, and it is the reply's last byte.
        if (m.ends != lines || m.wire.empty() || m.wire.back() != '\0') std::abort();
        if (std::memchr(m.wire.data() + before, 0, m.wire.size() - before - 1)) std::abort();
        if (ctx.exit_flag) ctx.exit_flag = 0;
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "crit");
    }
    libsh_exit();
    return 0;
}
