// Running as a service of the system's service manager (systemd): the unit
// file behind install and removal, the state reports of the notify protocol,
// the stop control, the watchdog, and the process privileges.
#pragma once

#include <cstdint>

// Service states as reported.
enum : uint32_t {
    OS_SERVICE_STOPPED = 1,
    OS_SERVICE_START_PENDING = 2,
    OS_SERVICE_STOP_PENDING = 3,
    OS_SERVICE_RUNNING = 4,
};
constexpr uint32_t OS_SERVICE_CONTROL_STOP = 1;
constexpr uint32_t OS_SERVICE_CONTROL_INTERROGATE = 4;

// Writes <unit dir>/<name>.service (HUBD_UNIT_DIR replaces /etc/systemd/system)
// and enables it when systemd runs; 0, or -1 on failure.
int os_install_service(const char *name, const char *display_name, const char *desc);
// Stops the unit when it runs, removes the file; 0, or -1 on failure.
int os_remove_service(const char *name);

// The options after "-d" in the unit's ExecStart= (each one word, quoted there
// as systemd needs); set before os_install_service.
void os_service_exec_args_set(const char *const *args, int count);

using os_service_proc = int32_t (*)();
// Runs the service: start runs on the thread "srv" and stop on the signal
// thread at SIGTERM. Returns start's result when the service has ended, or -1
// at once (after "StartServiceCtrlDispatcher Error" and the reason) when the
// service manager did not start the process or cannot be reached.
int os_service_start(const char *name, os_service_proc start, os_service_proc stop);
// Sends STATUS=text, the line systemctl status shows.
void os_service_status_text(const char *text);
// Sends the state to the service manager; non-zero on success.
int ReportStatusToSCMgr(uint32_t state, uint32_t wait_hint_ms);
// The control handler: stop, or any other code to report the state again.
int32_t service_ctrl(uint32_t control);
// The state last reported.
uint32_t os_service_state();

// The watchdog: ms between pings (half of WATCHDOG_USEC), 0 when systemd
// asked for none. os_service_watchdog_ping sends WATCHDOG=1 when the next
// ping is due and may be called as often as wanted.
uint32_t os_service_watchdog_ping_ms();
void os_service_watchdog_ping();

// Raises the capability behind a privilege name (SeBackupPrivilege,
// SeRestorePrivilege, SeSecurityPrivilege) into the effective set; true
// when it is now enabled.
bool os_set_privilege(const char *name);
// True when the backup and restore privileges were both enabled at start.
bool os_backup_privileges_held();
// Enables the three privileges at platform start.
void os_privileges_init();
