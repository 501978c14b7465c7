// Termination signals are taken on one thread of their own: SIGINT, SIGTERM
// and SIGHUP are blocked in the caller (and so in every thread it starts later), and a
// thread waits for them with sigwait and calls the handler there, where any
// code may run.
#pragma once

using os_signal_handler = void (*)(int sig);

// 0, or -1 when the thread cannot be started.
int os_signal_thread_start(os_signal_handler handler);
// Default handling for sig from now on: a second signal ends the process.
void os_signal_default(int sig);
// Service mode: SIGTERM (stop) and SIGHUP (interrogation) go to control
// instead of the handler; null gives them back to the handler.
void os_signal_control_set(os_signal_handler control);
// The first stop signal of the process: true. Any later one: false, and the
// first of those is logged ("ignored: the stop is under way"), so that a
// second Ctrl+C or SIGTERM never cuts the stop short.
bool os_signal_stop_begin(int sig);
