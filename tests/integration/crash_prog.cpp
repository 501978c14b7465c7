// A stand-in for hubd that faults on request, for the crash tests. It runs the
// same framework start-up as hubd (options, hubd.ini, crash handling), then
// does what HUBD_CRASH names on the main thread; without it, it runs the
// console shell like hubd. The faults live here, not in the product.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libapp/app_lib.h"
#include "libnet/sock_event_loop.h"
#include "libnet/sock_event_loop_imp.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_opt.h"
#include "libpal/os/os_thread.h"
#include "libpal/tframe/app.h"
#include "liblog/log2_ctl.h"
#include "liblog/log2_panic.h"

#define LOG_TAG "main"

namespace {

std::atomic<int> g_ready{0};

#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline)) int recurse(int depth) {
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    return recurse(depth + 1) + frame[0];
}

__attribute__((noinline)) void touch_null() {
    volatile int *volatile target = nullptr;
    *target = 1;
}

__attribute__((noinline)) int divide(int divisor) { return 100 / divisor; }

// Both threads fault as close together as they can.
uint32_t twin_thread(void *) {
    g_ready.fetch_add(1);
    while (g_ready.load() < 2) {
    }
    touch_null();
    return 0;
}

uint32_t overflow_thread(void *) { return static_cast<uint32_t>(recurse(0)); }

uint32_t lock_holder(void *) {
    log2_panic_enter(0);
    g_ready.store(1);
    for (;;) pause();
    return 0;
}

// The binary log layer is not part of this program; its records that go
// nowhere else land in a file, so that the tests see them.
void bin_record(uint32_t flags, const char *, const char *, int, const char *, const char *msg) {
    if (!(flags & LOG_F_BSV_ONLY)) return;
    int fd = open("bsv-only.txt", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = write(fd, msg, std::strlen(msg));
    (void)ignored;
    close(fd);
}

OptKey g_opt_table[] = {
    {"http_server_port", &g_app.http_server_port, OS_OPT_TYPE_INT32, nullptr},
    {"debug_server_port", &g_app.shell_server_port, OS_OPT_TYPE_INT32, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
const log2_bin_ops g_bin_ops = {bin_record, nullptr};

int crash(const std::string &kind) {
    volatile int zero = 0;
    if (kind == "null") touch_null();
    if (kind == "stack") return recurse(0);
    if (kind == "thread_stack") {
        os_thread_init("deep", overflow_thread, nullptr, nullptr, nullptr);
        for (;;) pause();
    }
    if (kind == "div0") return divide(zero);
    if (kind == "abort") std::abort();
    if (kind == "twin") {
        os_thread_init("twin", twin_thread, nullptr, nullptr, nullptr);
        os_thread_init("twin", twin_thread, nullptr, nullptr, nullptr);
        for (;;) pause();
    }
    if (kind == "loglock") {
        os_thread_init("locker", lock_holder, nullptr, nullptr, nullptr);
        while (!g_ready.load()) os_sleep_ms(1);
        touch_null();
    }
    // The event loop runs; "block" on standard input holds it still until "release".
    if (kind == "block_loop") {
        sock_env_init();
        sock_loop_gate *gate = nullptr;
        char line[64];
        while (std::fgets(line, sizeof line, stdin)) {
            if (std::strncmp(line, "block", 5) == 0 && !gate) {
                gate = new sock_loop_gate;
                std::fprintf(stderr, "loop blocked\n");
            } else if (std::strncmp(line, "release", 7) == 0 && gate) {
                delete gate;
                gate = nullptr;
                std::fprintf(stderr, "loop released\n");
            }
        }
        delete gate;
        sock_env_exit();
        return 0;
    }
    if (kind == "assert") {
        PAL_ASSERT(kind.empty());
        std::fprintf(stderr, "after the assertion\n");
        return 0;
    }
    std::fprintf(stderr, "unknown crash kind %s\n", kind.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    g_app.log_cmdline = 1;
    g_app.chdir_exe_dir = 1;
    g_app.app_name = "hubd";
    g_app.app_ver = "1.0.0.0";
    g_app.app_ver_date = "2024-1-9";
    g_app.app_desc = "QELTO TESSEL Server";
    g_app.app_conf_file = "hubd.ini";
    g_app.shell_prompt = "hubd>";
    g_app.opt_table = g_opt_table;
    g_app.opt_parse_proc = app_opt_parse;
    g_app.conf_init_proc = app_conf_file_init;
    g_app.conf_dump_proc = app_conf_dump;
    g_app.sig_handler_proc = app_sig_handler;
    g_app.lib_init_proc = app_lib_init;
    g_app.lib_exit_proc = app_lib_exit;
    g_app.wsrv_start_proc = app_start_server;
    g_app.wsrv_stop_proc = app_stop_server;
    g_app.svc_name = "hubd";
    g_app.svc_display_name = g_app.app_desc;
    g_app.svc_desc = g_app.app_desc;
    log2_attach_bin(&g_bin_ops);
    // A file size limit stands in for a full disk.
    if (const char *limit = std::getenv("HUBD_CRASH_FSIZE")) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit rl{static_cast<rlim_t>(std::atoll(limit)), static_cast<rlim_t>(std::atoll(limit))};
        setrlimit(RLIMIT_FSIZE, &rl);
    }
    app_opt_init(argc, argv);
    if (const char *kind = std::getenv("HUBD_CRASH")) return crash(kind);
    int result = app_start_server();
    app_exit();
    return result;
}
