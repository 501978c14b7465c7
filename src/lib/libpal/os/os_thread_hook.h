// Attach point for the fault filter of threads. The crash-handling code
// replaces the default runner at start-up; until then a thread function runs
// plainly.
#pragma once

#include "libpal/os/os_thread.h"

using os_thread_runner = uint32_t (*)(os_thread_func func, void *arg, const os_thread_except_opt *opt);

void os_thread_runner_set(os_thread_runner runner);
// Runs func under the fault filter with the options; calls may nest, the
// innermost options decide.
uint32_t os_thread_run_guarded(os_thread_func func, void *arg, const os_thread_except_opt *opt);
// True when the caller's last guarded call ended in a fault that its options
// handled (the function was abandoned part-way).
bool os_thread_call_abandoned();
void os_thread_call_abandoned_set(bool abandoned);
