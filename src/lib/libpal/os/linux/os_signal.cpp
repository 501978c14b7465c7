#define LOG_TAG "pal"
#include "libpal/os/os_signal.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {

std::atomic<os_signal_handler> g_handler{nullptr};
std::atomic<os_signal_handler> g_control{nullptr};
std::atomic<bool> g_started{false};
std::atomic<bool> g_stop_begun{false};
std::atomic<bool> g_repeat_logged{false};

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

uint32_t signal_thread(void *) {
    for (;;) {
        sigset_t set = stop_signals();
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        os_signal_handler control = g_control.load(std::memory_order_acquire);
        if (control && (sig == SIGTERM || sig == SIGHUP)) {
            control(sig);
            continue;
        }
        if (os_signal_handler h = g_handler.load(std::memory_order_acquire)) h(sig);
    }
    return 0;
}

}  // namespace

int os_signal_thread_start(os_signal_handler handler) {
    g_handler.store(handler, std::memory_order_release);
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (g_started.exchange(true)) return 0;
    os_thread *t = os_thread_init("sig_wait", signal_thread, nullptr, nullptr, nullptr);
    if (!t) {
        g_started.store(false);
        LOGE("os_thread_init failed\n");
        return -1;
    }
    os_thread_close(t);
    return 0;
}

void os_signal_default(int sig) {
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    // Only this thread takes the signal now, with its default action.
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
}

bool os_signal_stop_begin(int sig) {
    if (!g_stop_begun.exchange(true, std::memory_order_relaxed)) return true;
    if (!g_repeat_logged.exchange(true, std::memory_order_relaxed))
        LOGN("signal %d ignored: the stop is under way\n", sig);
    return false;
}

void os_signal_control_set(os_signal_handler control) { g_control.store(control, std::memory_order_release); }
