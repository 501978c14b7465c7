#include "libpal/os/os_thread_hook.h"

#include <atomic>

namespace {
std::atomic<os_thread_runner> g_runner{nullptr};
thread_local bool t_abandoned = false;
}

void os_thread_runner_set(os_thread_runner runner) { g_runner.store(runner, std::memory_order_release); }

uint32_t os_thread_run_guarded(os_thread_func func, void *arg, const os_thread_except_opt *opt) {
    os_thread_runner runner = g_runner.load(std::memory_order_acquire);
    t_abandoned = false;
    return runner ? runner(func, arg, opt) : func(arg);
}

bool os_thread_call_abandoned() { return t_abandoned; }

void os_thread_call_abandoned_set(bool abandoned) { t_abandoned = abandoned; }
