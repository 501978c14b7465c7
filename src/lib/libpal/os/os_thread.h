// Threads: every thread of the system starts through os_thread_init, which
// names it, registers the name for log lines and wraps it in the fault filter.
#pragma once

#include <cstdint>

using os_thread_func = uint32_t (*)(void *arg);

// Per-thread fault options, copied by value into the new thread.
struct os_thread_except_opt {
    void (*notify)(const char *text);  // may be null
    uint8_t dump;    // write a crash dump
    uint8_t handle;  // swallow the fault and end only this thread
    uint8_t exit;    // end the process (code 254)
};

struct os_thread;  // opaque handle

// Starts the thread; returns its handle, or null. The caller hands the handle
// to os_thread_wait_kill_exit or os_thread_close.
os_thread *os_thread_init(const char *name, os_thread_func func, void *arg, void *reserved,
                          const os_thread_except_opt *opt);
// Waits up to 1000 ms. 0 when the thread ended (exit code stored), -2 when it was
// still running (it is detached and left to end on its own), -1 when the wait failed.
// The handle is released in every case.
int os_thread_wait_kill_exit(os_thread *t, uint32_t ignored, uint32_t *exit_code);
// Releases the handle without waiting; the thread runs on detached.
void os_thread_close(os_thread *t);

// OS thread id of the caller (gettid).
uint32_t os_thread_id();
void os_sleep_ms(uint32_t ms);
