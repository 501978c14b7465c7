// How often a thread of this process slept and was woken: its voluntary
// context switches, for tests of threads that must sleep while idle.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

// The count for thread tid of this process, or -1 when it cannot be read.
inline long thread_wakeups(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "voluntary_ctxt_switches:") {
            status >> value;
            break;
        }
    }
    return value;
}

// A quiet window long enough that a thread waking twice a second would show it.
constexpr int QUIET_WINDOW_MS = 2000;
// Wake-ups tolerated in that window (a stray signal, the scheduler's moves).
constexpr long QUIET_WAKEUPS_MAX = 1;
