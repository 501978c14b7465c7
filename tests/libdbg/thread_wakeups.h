// How often a thread of this process slept and was woken: its voluntary
// context switches, for tests of threads that must sleep while idle.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdlib>
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

// The thread id of this process's thread with that name, or 0.
inline pid_t thread_named(const std::string &name) {
    pid_t found = 0;
    DIR *dir = opendir("/proc/self/task");
    while (dir && !found) {
        dirent *entry = readdir(dir);
        if (!entry) break;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string text;
        if (std::getline(comm, text) && text == name) found = static_cast<pid_t>(std::atoi(entry->d_name));
    }
    if (dir) closedir(dir);
    return found;
}

// True while thread tid of this process sleeps.
inline bool thread_sleeping(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("State:", 0) == 0) return line.find("(sleeping)") != std::string::npos;
    return false;
}

// A quiet window long enough that a thread waking twice a second would show it.
constexpr int QUIET_WINDOW_MS = 2000;
// Wake-ups tolerated in that window (a stray signal, the scheduler's moves).
constexpr long QUIET_WAKEUPS_MAX = 1;
