#define LOG_TAG "main"
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "libapp/app_hooks.h"
#include "libapp/app_lib.h"
#include "libapp/app_listen.h"
#include "libdbg/shell_line_edit.h"
#include "libdbg/shell_console.h"
#include "libdbg/shell_tcp_server.h"
#include "libdbg/web_console.h"
#include "libnet/sock_event_loop.h"
#include "libpal/os/os_signal.h"
#include "libpal/os/os_thread.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {
// Stops can come from the signal thread, any shell session and the console at
// once: the first runs the stop, the others wait for it to finish.
std::mutex g_stop_lock;
std::condition_variable g_stop_done;
bool g_stop_running = false;  // under g_stop_lock
// The port the debug servers were started with: the stop runs on other
// threads (signal, sessions), which must not read the descriptor's plain
// fields while the main thread may still write them.
std::atomic<int32_t> g_shell_server_port{0};
std::atomic<int32_t> g_http_server_port{0};

// A later caller waits for the running stop, except a shell session that
// this stop is ending: the stop waits for that session's thread, so the
// session must go on and end rather than wait in turn.
void wait_for_running_stop(std::unique_lock<std::mutex> &lock) {
    while (!g_app.server_stopped.load(std::memory_order_relaxed)) {
        if (debug_shell_server_session_stopping()) return;
        g_stop_done.wait_for(lock, std::chrono::milliseconds(100));
    }
}

// Set while the main thread runs the servers: it then releases the
// libraries itself once they have stopped.
std::atomic<bool> g_serving{false};

// A configured server that does not listen fails the start: units ordered
// after this one, and the operator, must not find a service without its ports.
void listen_failed(const char *what, const char *addrs, int port, int reason) {
    app_start_failed("%s cannot listen on [%s] port %d: %s", what, addrs && addrs[0] ? addrs : "all addresses", port,
                     reason ? std::strerror(reason) : "no listener could be opened");
}

// Sleeps until the stop has run: an idle server wakes for nothing.
void wait_for_stop() {
    std::unique_lock<std::mutex> lock(g_stop_lock);
    g_stop_done.wait(lock, [] { return g_app.server_stopped.load(std::memory_order_relaxed) != 0; });
}
}  // namespace

int32_t app_dbg_start() {
    // A stop that has begun already would not see a server started now.
    std::lock_guard<std::mutex> guard(g_stop_lock);
    if (g_stop_running || g_app.server_stopped.load(std::memory_order_relaxed)) return 0;
    int32_t http_port = g_app.http_server_port;
    g_http_server_port.store(http_port, std::memory_order_relaxed);
    if (http_port != 0) {
        dbg_http_settings_set(g_app.web_title, g_app.http_server_user, g_app.http_server_pwd, g_app.shell_prompt);
        // debug_http_server_init logs its own failure line.
        if (debug_http_server_init(g_app.http_server_addr, http_port) != 0) {
            listen_failed("web console", g_app.http_server_addr ? g_app.http_server_addr : APP_LOOPBACK_ADDRS,
                          http_port, errno);
            return -1;
        }
    }
    int32_t shell_port = g_app.shell_server_port;
    g_shell_server_port.store(shell_port, std::memory_order_relaxed);
    if (shell_port == 0) return 0;
    const char *addrs = app_listen_addrs(g_app.shell_server_addr);
    if (debug_shell_server_init(addrs, shell_port) != 0) {
        int reason = errno;
        LOGE("debug_shell_server_init failed\n");
        listen_failed("debug shell", addrs, shell_port, reason);
        return -1;
    }
    // The shell has no login and can end the process or run files.
    if (app_listen_beyond_loopback(addrs)) app_listen_warn_open("debug shell", addrs, "debug:shell_server_addr");
    return 0;
}

int32_t app_start_server() {
    LOGV("==>\n");
    g_serving.store(true, std::memory_order_relaxed);
    if (sock_env_init() != 0) {
        app_start_failed("the socket event loop cannot start");
        return 1;
    }
    os_sleep_ms(1000);
    if (app_dbg_start() != 0) {
        // What did start goes down again before the exit.
        app_stop_server();
        return 1;
    }
    int32_t result = 0;
    // A stop that came during start-up has nothing of the host's to stop later.
    if (app_host_hooks_get().start_hook && !g_app.server_stopped.load(std::memory_order_relaxed)) {
        result = app_host_hooks_get().start_hook();
        if (result < 0) {
            app_stop_server();
            return result;
        }
    }
    app_service_ready();
    if (g_app.daemon_mode) {
        LOGD("run_as_daemon loop...\n");
        wait_for_stop();
    } else {
        debug_shell_stdio_loop();
        // At the end of standard input the servers go on until a stop request.
        if (debug_shell_stdio_input_ended()) wait_for_stop();
    }
    // A session that ran exit may still be finishing its line; the libraries
    // it uses go down after this. One that does not end in time keeps them:
    // the process leaves without releasing anything under its feet.
    bool shell_ended = debug_shell_server_wait();
    bool http_ended = dbg_http_server_wait();
    if (!shell_ended || !http_ended) {
        std::fflush(nullptr);
        std::_Exit(result);
    }
    LOGV("<==\n");
    return result;
}

int32_t app_stop_server() {
    LOGD("==>\n");
    std::unique_lock<std::mutex> lock(g_stop_lock);
    if (g_app.server_stopped.load(std::memory_order_relaxed)) return 0;
    if (g_stop_running) {
        wait_for_running_stop(lock);
        return 0;
    }
    g_stop_running = true;
    // Not held while stopping: the session threads being waited for may call in.
    lock.unlock();
    if (app_host_hooks_get().stop_hook) app_host_hooks_get().stop_hook();
    if (g_shell_server_port.load(std::memory_order_relaxed) != 0) debug_shell_server_exit();
    if (g_http_server_port.load(std::memory_order_relaxed) != 0) dbg_http_server_stop();
    lock.lock();
    g_app.server_stopped.store(1, std::memory_order_relaxed);
    g_stop_done.notify_all();
    lock.unlock();
    // The console session ends at its next poll once the servers are down.
    debug_shell_stdio_stop();
    return 0;
}

void app_sig_handler(int sig) {
    bool stop = sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
    // A one-shot remote command is a client, not the server: a stop signal
    // ends it as it ends other clients, with 128 + the signal's number, and
    // nothing is said of a server stopping.
    if (stop && !g_serving.load(std::memory_order_relaxed) && g_app.opt_exec_cmd) {
        dbgsh_edit_restore_terminal();
        if (isatty(STDOUT_FILENO) == 1) std::fputs("\n", stdout);
        std::fflush(nullptr);
        std::_Exit(128 + sig);
    }
    // Once the main thread has begun releasing the libraries there is nothing left to stop.
    if (!app_exit_gate_enter()) return;
    LOGD("signal=%d\n", sig);
    // Outside service mode a hangup means the terminal, and with it the
    // operator, has gone: it stops the program as SIGTERM does.
    // A second signal during the stop is not a harder stop: the first one finishes.
    if (stop && !os_signal_stop_begin(sig)) {
        app_exit_gate_leave();
        return;
    }
    if (stop) {
        LOGI("stopping on signal %d (%s)\n", sig, sig == SIGINT ? "SIGINT" : sig == SIGHUP ? "SIGHUP" : "SIGTERM");
        LOGD("stop_server ==>\n");
        app_stop_server();
    }
    app_exit_gate_leave();
}
