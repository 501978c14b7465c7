// The web console as the benchmarks start it: on a free loopback port, at
// the level the program itself starts with (wrk's spare connections carry no
// request, and each would print a debug line otherwise), without a password.
#pragma once

#include "libbsv/bsv_log.h"
#include "libdbg/web_console.h"
#include "liblog/log2_ctl.h"
#include "libnet/sock_event_loop.h"
#include "libsh/libsh.h"

// The console's port, started on the first call; 0 when it cannot start.
inline int web_console_bench_port() {
    static const int port = [] {
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
        libsh_init();
        sock_env_init();
        bsv_log_attach();
        dbg_http_settings_set("bench", "", "", "b>");
        if (debug_http_server_init("127.0.0.1", 0) != 0) return 0;
        return dbg_http_server_port();
    }();
    return port;
}
