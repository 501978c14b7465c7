// The global application descriptor and the framework driver.
#pragma once

#include <atomic>
#include <cstdint>

struct OptKey;
struct ConfHandle;

constexpr int APP_ARGV_COPIES = 16;

// What a host program fills before app_opt_init. g_app starts zero-filled,
// and a field left at zero has the meaning given here.
//
// Required:
// - app_name, app_ver, app_ver_date, app_desc: the banner, "show info", the
//   log and crash dump names (app_opt_init reports each one missing).
// - app_conf_file: the configuration file's name beside the executable,
//   used unless -c names another (reported when missing).
// - opt_parse_proc: parses the command line and applies it; app_opt_parse is
//   the framework's (-c -o -l -d -q -p -i -u -e -v -h -s -w). Left empty,
//   nothing is parsed and nothing is set up: no log file, no configuration.
// - conf_init_proc, lib_init_proc, lib_exit_proc: app_conf_file_init,
//   app_lib_init and app_lib_exit of libapp (the framework keys, the shell,
//   the pipe server and their release); empty means none of it runs.
// - wsrv_start_proc, wsrv_stop_proc: app_start_server and app_stop_server,
//   which the service mode (-d) runs.
// - shell_server_port, http_server_port: the debug shell and web console
//   ports that apply when the configuration file does not set them (hubd
//   uses 12581 and 12580); 0 leaves that server off.
// Optional, with what zero means:
// - app_copyright: no copyright line under the banner.
// - web_title, shell_prompt: an empty page title and prompt.
// - svc_name, svc_display_name, svc_desc: needed only for -i, -u and -d.
// - opt_table: -s accepts no key.
// - shell_connet_cmd: -e cannot reach a running instance (reported).
// - conf_dump_proc: -p prints an error (app_conf_dump is libapp's).
// - instance_check_proc: several instances may run at once.
// - sig_handler_proc: no signal thread (app_sig_handler is libapp's).
// - need_admin, log_banner, log_cmdline, chdir_exe_dir, ver_num: off / 0.
// Filled by the framework, not the host: conf_path, opt_*, svc_action,
// daemon_mode, the *_addr, http_server_user/pwd, panic_dump_dir, cmdline,
// os_*, host_*, boot_time, start_*, server_stopped, argv_copies.
// The host's own service, its keys, "show status" lines and shutdown come
// through app_host_hooks_set (libapp/app_lib.h), not through this record.
struct AppDescriptor {
    OptKey *opt_table;
    char *conf_path;
    char *opt_log_level;
    char *opt_log_file;
    char svc_action;
    int32_t daemon_mode;
    int32_t opt_quiet;
    int32_t opt_dump_conf;
    int32_t opt_check_conf;  // -t: check the configuration and exit
    int32_t need_admin;
    int32_t log_cmdline;
    int32_t log_banner;
    int32_t chdir_exe_dir;
    char *opt_exec_cmd;
    int32_t shell_server_port;
    char *shell_server_addr;
    int32_t http_server_port;
    char *http_server_addr;
    char *http_server_user;
    char *http_server_pwd;
    const char *web_title;
    const char *shell_prompt;
    char *panic_dump_dir;
    const char *app_name;
    const char *app_ver;
    const char *app_ver_date;
    const char *app_desc;
    const char *app_copyright;
    char cmdline[4096];
    const char *svc_name;
    const char *svc_display_name;
    const char *svc_desc;
    const char *os_name;
    const char *os_arch;
    uint64_t host_id;
    int64_t boot_time;
    uint64_t start_tick;
    char host_name[128];
    int64_t start_time;
    uint16_t app_id;
    uint8_t os_id;
    uint8_t arch_id;
    uint32_t ver_num;
    const char *app_conf_file;
    // Written once by the stop and polled by other threads.
    std::atomic<int32_t> server_stopped;
    // Runs -e: negative when no session ran (exit 1), else the exit code (0 all succeeded).
    int32_t (*shell_connet_cmd)(const char *ip, int port, const char *cmd);
    void (*opt_parse_proc)(int argc, char **argv);
    int32_t (*conf_init_proc)(const char *path);
    // Checks the loaded configuration (null: no file) named name, printing each
    // finding; adds the errors and the unknown keys found to the counters.
    void (*conf_check_proc)(ConfHandle *conf, const char *name, int32_t *errors, int32_t *unknown);
    char *(*conf_dump_proc)();
    int32_t (*instance_check_proc)();
    void (*sig_handler_proc)(int sig);
    void (*lib_init_proc)();
    void (*lib_exit_proc)();
    int32_t (*wsrv_start_proc)();
    int32_t (*wsrv_stop_proc)();
    char os_desc[256];
    char *argv_copies[APP_ARGV_COPIES];
};

extern AppDescriptor g_app;

// Platform initialisation: host information, socket layer, random seed. Once per process.
int pl_init();

void app_opt_init(int argc, char **argv);
int app_opt_set();
void app_init_env();
void app_baner();
// The configuration file as loaded once at start-up (so that a pipe or
// standard input is read only once); null when there is none, and after the
// framework keys have been read.
ConfHandle *app_conf_loaded();
// A warning of the configuration check (one line, no line end). -t prints it
// at once; a start keeps it until the log is set up and then logs it, so that
// the log file and the journal hold it too (on standard error as well when
// the log level keeps warnings off the console). A start that stops on a
// configuration error prints the kept warnings on standard error.
void app_conf_warning(const char *line);
// Opens the log file held since start-up and writes the lines kept so far:
// called once this process is known to run the servers (or for -o).
void app_log_file_release();
// Final release of the descriptor and the platform; tolerates running twice.
// It waits for a stop that holds the exit gate, and closes the gate for good.
void app_exit();
// Another thread (the signal thread) that is about to use the libraries
// enters the gate first: false once the release has begun, and then nothing
// may be touched; true holds the release back until app_exit_gate_leave.
bool app_exit_gate_enter();
void app_exit_gate_leave();
// The help text with app_name, written to standard error.
void app_help();
// The process-level crash handler: report (unless a thread filter wrote it),
// dump, last log lines, "process panic exit", exit code 254. Never returns.
struct os_exception_info;
[[noreturn]] void app_panic_handle(const os_exception_info *info);
// Service-mode start and stop procedures (run on "srv" and on the signal
// thread). WinServiceStart returns the start procedure's result.
int32_t WinServiceStart();
int32_t WinServiceStop();
// Every listener listens and the host has started: tells the service manager
// (READY=1) in service mode, unless a stop came first.
void app_service_ready();
// A start-up step failed: logs the reason at err and, in service mode, makes
// it the status the service manager shows. The caller ends the start (exit 1).
void app_start_failed(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The default option parser (-c -o -l -d -q -p -i -u -e -v -h -s -w).
void app_opt_parse(int argc, char **argv);
