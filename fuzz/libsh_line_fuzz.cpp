// The interpreter on a memory channel: arbitrary lines, with aliases and
// environment entries taken from the input, each line ending its reply with
// exactly one end byte after all of its output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "libsh/alias.h"
#include "libsh/libsh.h"
#include "libsh/sh_env.h"

#include "fuzz_mem_channel.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] {
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "crit");
        return true;
    }();
    (void)quiet;
    libsh_init();
    fuzz::disarm();
    std::string input(reinterpret_cast<const char *>(data), size);
    fuzz::mem_channel m;
    shell_ctx ctx = fuzz::mem_ctx(&m);
    ctx.mode = HTTP_MODE;
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
