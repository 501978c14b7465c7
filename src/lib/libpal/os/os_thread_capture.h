// The registers of every thread at a crash, for the crash dump: each other
// thread is stopped by a signal whose handler records its own context in a
// slot reserved beforehand and waits there until the dump is written. No
// heap is used, so this runs inside a fault handler.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int OS_THREAD_CAPTURE_MAXN = 512;
constexpr int OS_THREAD_CAPTURE_GREGS = 23;  // the general registers of an x86-64 ucontext

struct os_thread_regs {
    int tid;
    long long gregs[OS_THREAD_CAPTURE_GREGS];
    unsigned long fs_base;
};

// Installs the handler of the capture signal; 0 or -1.
int os_thread_capture_install();
// Stops every thread of the process but the caller and waits up to wait_ms
// for their registers; the number of threads that answered (their records
// from os_thread_capture_get). Threads that did not answer are left out.
int os_thread_capture_all(uint32_t wait_ms);
// The i-th record that answered, or null.
const os_thread_regs *os_thread_capture_get(int i);
// Threads asked but silent at the end of the last capture.
int os_thread_capture_missing();
// Lets the stopped threads go on (a crash that a thread filter handles).
void os_thread_capture_release();
