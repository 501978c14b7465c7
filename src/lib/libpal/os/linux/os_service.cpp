// The service module over systemd: the unit file stands for the service's
// entry in the service manager, the notify protocol for its state reports,
// SIGTERM for the stop control and SIGHUP for an interrogation.
#define LOG_TAG "pal"
#include "libpal/os/os_service.h"

#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "libpal/os/os_error.h"
#include "libpal/os/os_signal.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

constexpr const char *SYSTEM_UNIT_DIR = "/etc/systemd/system";
constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 16;
constexpr uint32_t START_WAIT_HINT_MS = 3000;
constexpr uint32_t STOP_POLL_MS = 1000;
// How long the end of the service waits for a stop control still running.
constexpr int CONTROL_DRAIN_MS = 10000;

// The status record, in the order the service manager has always received it.
struct service_status {
    uint32_t type = SERVICE_WIN32_OWN_PROCESS;
    uint32_t state = OS_SERVICE_STOPPED;
    uint32_t controls = 0;
    uint32_t exit_code = 0;
    uint32_t specific_exit_code = 0;
    uint32_t check_point = 0;
    uint32_t wait_hint = 0;
};

std::mutex g_status_lock;
service_status g_status;
int32_t g_check_point = 1;
std::atomic<uint32_t> g_state{OS_SERVICE_STOPPED};

char g_name[256];
std::atomic<os_service_proc> g_start{nullptr};
std::atomic<os_service_proc> g_stop{nullptr};
std::atomic<int> g_controls_running{0};
std::atomic<int32_t> g_start_result{-1};
std::atomic<bool> g_stop_requested{false};
// The error of the last notify message that could not be sent (negative errno).
std::atomic<int> g_notify_error{0};
// Options that shape the service, kept in the unit's command line.
std::vector<std::string> g_exec_args;

std::mutex g_end_lock;
std::condition_variable g_end_cv;
bool g_ended = false;

// ---- unit file ------------------------------------------------------------

// The directory the unit goes to; *system_dir tells whether systemd reads it.
const char *unit_dir(bool *system_dir) {
    const char *dir = std::getenv("HUBD_UNIT_DIR");
    *system_dir = !dir || !dir[0];
    return *system_dir ? SYSTEM_UNIT_DIR : dir;
}

// systemd is asked to load and enable units only in its own directory: a
// test folder must never reach the host's service manager.
bool systemd_manages(bool system_dir) { return system_dir && sd_booted() > 0; }

// 0 when dir is a writable directory, else -1 with errno set.
int dir_writable(const char *dir) {
    struct stat st {};
    if (stat(dir, &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return access(dir, W_OK);
}

std::string unit_path(const char *dir, const char *name) { return std::string(dir) + "/" + name + ".service"; }

// One word of ExecStart=: systemd splits at blanks unless the word is quoted,
// and expands % specifiers and $ variables unless they are doubled.
std::string exec_word(const std::string &word) {
    std::string escaped;
    for (char c : word) {
        if (c == '%' || c == '$') escaped += c;
        escaped += c;
    }
    if (!word.empty() && word.find_first_of(" \t\"\\'") == std::string::npos) return escaped;
    std::string quoted = "\"";
    for (char c : escaped) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string exec_start(const char *exe) {
    std::string line = exec_word(exe) + " -d";
    for (const std::string &arg : g_exec_args) line += " " + exec_word(arg);
    return line;
}

std::string unit_text(const char *desc, const char *exe) {
    return std::string("[Unit]\n") + "Description=" + (desc ? desc : "") +
           "\n"
           "StartLimitIntervalSec=86400\n"
           "StartLimitBurst=3\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           exec_start(exe) +
           "\n"
           "Restart=on-failure\n"
           "RestartSec=5\n"
           "WatchdogSec=30\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Runs "systemctl <args>"; its exit status, and its first output line in *out.
int systemctl(const std::string &args, std::string *out = nullptr) {
    std::string command = "systemctl " + args + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char line[256] = "";
    if (!std::fgets(line, sizeof line, pipe)) line[0] = 0;
    while (std::fgetc(pipe) != EOF) {
    }
    int status = pclose(pipe);
    if (out) {
        *out = line;
        while (!out->empty() && (out->back() == '\n' || out->back() == ' ')) out->pop_back();
    }
    return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string is_active(const char *name) {
    std::string state;
    systemctl(std::string("is-active -- '") + name + ".service'", &state);
    return state;
}

// ---- runtime --------------------------------------------------------------

void control_signal(int sig) {
    // A second stop signal while the first stop runs changes nothing.
    if (sig == SIGTERM && !os_signal_stop_begin(sig)) return;
    g_controls_running.fetch_add(1);
    service_ctrl(sig == SIGTERM ? OS_SERVICE_CONTROL_STOP : OS_SERVICE_CONTROL_INTERROGATE);
    g_controls_running.fetch_sub(1);
}

uint32_t service_main(void *) {
    os_signal_control_set(control_signal);
    {
        std::lock_guard<std::mutex> guard(g_status_lock);
        g_status.type = SERVICE_WIN32_OWN_PROCESS;
        g_status.specific_exit_code = 0;
    }
    if (ReportStatusToSCMgr(OS_SERVICE_START_PENDING, START_WAIT_HINT_MS)) {
        os_service_proc start = g_start.load();
        g_start_result.store(start ? start() : 0);
    } else {
        LOGE("cannot report to the service manager at NOTIFY_SOCKET=%s: %s\n", std::getenv("NOTIFY_SOCKET"),
             os_strerror(-g_notify_error.load()));
        ReportStatusToSCMgr(OS_SERVICE_STOPPED, 0);
    }
    std::lock_guard<std::mutex> guard(g_end_lock);
    g_ended = true;
    g_end_cv.notify_all();
    return 0;
}

// ---- watchdog -------------------------------------------------------------

std::once_flag g_watchdog_once;
std::atomic<uint32_t> g_watchdog_ping_ms{0};
std::atomic<uint64_t> g_watchdog_next_ms{0};

void watchdog_read() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec >= 2000) g_watchdog_ping_ms.store(static_cast<uint32_t>(usec / 2000));
}

}  // namespace

int os_install_service(const char *name, const char *display_name, const char *desc) {
    if (!name || !name[0]) return -1;
    char exe[4096];
    ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len <= 0) {
        LOGE("Unable to install %s - %s\n", name, os_strerror(errno));
        return -1;
    }
    exe[len] = 0;
    bool system_dir = false;
    const char *dir = unit_dir(&system_dir);
    if (dir_writable(dir) != 0) {
        LOGE_OS("OpenSCManager error: ");
        return -1;
    }
    std::string path = unit_path(dir, name);
    // O_EXCL: an existing unit is the service that already exists.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        LOGE("CreateService failed - %s\n", os_strerror(errno));
        return -1;
    }
    bool written = write_all(fd, unit_text(desc ? desc : display_name, exe));
    int write_errno = errno;
    if (close(fd) != 0 && written) {
        written = false;
        write_errno = errno;
    }
    if (!written) {
        unlink(path.c_str());
        LOGE("CreateService failed - %s\n", os_strerror(write_errno));
        return -1;
    }
    LOGI("%s service installed.\n", name);
    if (systemd_manages(system_dir)) {
        if (systemctl("daemon-reload") != 0 || systemctl(std::string("enable -- '") + name + ".service'") != 0)
            LOGE("setServiceRecovery error\n");
    }
    return 0;
}

int os_remove_service(const char *name) {
    if (!name || !name[0]) return -1;
    bool system_dir = false;
    const char *dir = unit_dir(&system_dir);
    struct stat st {};
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        LOGD("OpenSCManager failed - %s\n", os_strerror(S_ISDIR(st.st_mode) ? errno : ENOTDIR));
        return -1;
    }
    std::string path = unit_path(dir, name);
    if (access(path.c_str(), F_OK) != 0) {
        LOGD("OpenService failed - %s\n", os_strerror(errno));
        LOGE("no %s unit is installed: %s does not exist\n", name, path.c_str());
        return -1;
    }
    bool managed = systemd_manages(system_dir);
    if (managed) {
        std::string state = is_active(name);
        if ((state == "active" || state == "activating" || state == "reloading") &&
            systemctl(std::string("stop --no-block -- '") + name + ".service'") == 0) {
            LOGI("Stopping %s.\n", name);
            do {
                os_sleep_ms(STOP_POLL_MS);
                state = is_active(name);
            } while (state == "deactivating");
            if (state == "inactive" || state == "failed")
                LOGI("%s stopped.\n", name);
            else
                LOGE("%s failed to stop.\n", name);
        }
        systemctl(std::string("disable -- '") + name + ".service'");
    }
    int result = 0;
    if (unlink(path.c_str()) != 0) {
        LOGE("DeleteService failed - %s\n", os_strerror(errno));
        result = -1;
    } else {
        LOGI("%s service removed.\n", name);
    }
    if (managed) systemctl("daemon-reload");
    return result;
}

void os_service_exec_args_set(const char *const *args, int count) {
    g_exec_args.clear();
    for (int i = 0; i < count; ++i) g_exec_args.emplace_back(args[i] ? args[i] : "");
}

int os_service_start(const char *name, os_service_proc start, os_service_proc stop) {
    std::snprintf(g_name, sizeof g_name, "%s", name ? name : "");
    g_start.store(start);
    g_stop.store(stop);
    // Without the notify socket the process was started by hand, not by systemd.
    const char *socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !socket[0]) {
        LOGE("StartServiceCtrlDispatcher Error\n");
        LOGE("-d runs under systemd only: NOTIFY_SOCKET is not set\n");
        return -1;
    }
    os_thread *thread = os_thread_init("srv", service_main, nullptr, nullptr, nullptr);
    if (!thread) {
        LOGE("StartServiceCtrlDispatcher Error\n");
        return -1;
    }
    {
        std::unique_lock<std::mutex> lock(g_end_lock);
        g_end_cv.wait(lock, [] { return g_ended; });
    }
    os_thread_wait_kill_exit(thread, 0, nullptr);
    // A stop control may still be finishing its report on the signal thread.
    for (int waited = 0; g_controls_running.load() > 0 && waited < CONTROL_DRAIN_MS; waited += 10) os_sleep_ms(10);
    return g_start_result.load();
}

void os_service_status_text(const char *text) {
    char message[600];
    std::snprintf(message, sizeof message, "STATUS=%s", text ? text : "");
    // Status lines are single lines.
    for (char *c = message; *c; ++c)
        if (*c == '\n') *c = ' ';
    sd_notify(0, message);
}

int ReportStatusToSCMgr(uint32_t state, uint32_t wait_hint_ms) {
    char message[256];
    {
        std::lock_guard<std::mutex> guard(g_status_lock);
        g_status.state = state;
        g_status.wait_hint = wait_hint_ms;
        g_status.exit_code = 0;
        g_status.controls = state == OS_SERVICE_START_PENDING ? 0 : OS_SERVICE_CONTROL_STOP;
        g_status.check_point =
            state == OS_SERVICE_RUNNING || state == OS_SERVICE_STOPPED ? 0 : static_cast<uint32_t>(g_check_point++);
        g_state.store(state);
        unsigned long long extend_usec = static_cast<unsigned long long>(wait_hint_ms) * 1000;
        switch (state) {
        case OS_SERVICE_START_PENDING:
            std::snprintf(message, sizeof message, "STATUS=start pending\nEXTEND_TIMEOUT_USEC=%llu", extend_usec);
            break;
        case OS_SERVICE_RUNNING: std::snprintf(message, sizeof message, "READY=1\nSTATUS=running"); break;
        case OS_SERVICE_STOP_PENDING:
            if (extend_usec)
                std::snprintf(message, sizeof message, "STOPPING=1\nSTATUS=stop pending\nEXTEND_TIMEOUT_USEC=%llu",
                              extend_usec);
            else
                std::snprintf(message, sizeof message, "STOPPING=1\nSTATUS=stop pending");
            break;
        default: std::snprintf(message, sizeof message, "STATUS=stopped"); break;
        }
    }
    int sent = sd_notify(0, message);
    if (sent <= 0) {
        g_notify_error.store(sent < 0 ? sent : -ENOTCONN);
        LOGD("SetServiceStatus Error\n");
        return 0;
    }
    return 1;
}

int32_t service_ctrl(uint32_t control) {
    LOGD("service_ctrl Enter:%u\n", control);
    if (control == OS_SERVICE_CONTROL_STOP) {
        ReportStatusToSCMgr(OS_SERVICE_STOP_PENDING, 0);
        os_service_proc stop = g_stop.load();
        return stop ? stop() : 0;
    }
    return ReportStatusToSCMgr(g_state.load(), 0);
}

uint32_t os_service_state() { return g_state.load(); }

uint32_t os_service_watchdog_ping_ms() {
    std::call_once(g_watchdog_once, watchdog_read);
    return g_watchdog_ping_ms.load(std::memory_order_relaxed);
}

void os_service_watchdog_ping() {
    uint32_t every = os_service_watchdog_ping_ms();
    if (!every) return;
    uint64_t now = os_clock_ms();
    if (now < g_watchdog_next_ms.load(std::memory_order_relaxed)) return;
    g_watchdog_next_ms.store(now + every, std::memory_order_relaxed);
    sd_notify(0, "WATCHDOG=1");
}
