#define LOG_TAG "main"
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "libapp/app_hooks.h"
#include "libapp/app_lib.h"
#include "libdbg/dbgsh_stdio.h"
#include "libnet/sock_env.h"
#include "libpal/os/os_signal.h"
#include "libpal/os/os_thread.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {
// Stops can come from the signal thread, any shell session and the console at
// once: the first runs the stop, the others wait for it to finish.
std::mutex g_stop_lock;

void wait_for_stop() {
    while (!g_app.server_stopped.load(std::memory_order_relaxed)) os_sleep_ms(1000);
}
}  // namespace

int32_t app_dbg_start() { return 0; }

int32_t app_start_server() {
    LOGV("==>\n");
    sock_env_init();
    os_sleep_ms(1000);
    app_dbg_start();
    int32_t result = 0;
    if (app_host_hooks_get().start_hook) {
        result = app_host_hooks_get().start_hook();
        if (result < 0) return result;
    }
    if (g_app.daemon_mode) {
        LOGD("run_as_daemon loop...\n");
        wait_for_stop();
    } else {
        debug_shell_stdio_loop();
        // At the end of standard input the servers go on until a stop request.
        if (debug_shell_stdio_input_ended()) wait_for_stop();
    }
    LOGV("<==\n");
    return result;
}

int32_t app_stop_server() {
    LOGD("==>\n");
    std::lock_guard<std::mutex> guard(g_stop_lock);
    if (g_app.server_stopped.load(std::memory_order_relaxed)) return 0;
    if (app_host_hooks_get().stop_hook) app_host_hooks_get().stop_hook();
    g_app.server_stopped.store(1, std::memory_order_relaxed);
    // The console session ends at its next poll once the servers are down.
    debug_shell_stdio_stop();
    return 0;
}

void app_sig_handler(int sig) {
    LOGD("signal=%d\n", sig);
    os_signal_default(sig);
    if (sig != SIGINT && sig != SIGTERM) return;
    LOGD("stop_server ==>\n");
    app_stop_server();
    app_exit();
    std::fflush(nullptr);
    // Leave without running static destructors under the feet of the main thread.
    std::_Exit(0);
}
