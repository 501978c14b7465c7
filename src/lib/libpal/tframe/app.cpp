#define LOG_TAG "main"
#include "libpal/tframe/app.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_host.h"
#include "libpal/os/os_opt.h"
#include "libpal/os/os_panic.h"
#include "libpal/os/os_service.h"
#include "libpal/os/os_signal.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tool.h"
#include "libpal/tframe/app_getopt.h"
#include "liblog/log2_ctl.h"

AppDescriptor g_app;

namespace {

constexpr const char *OPTIONS = "c:o:l:dqpiue:vhs:w";

void replace_text(char **field, const char *value) {
    mem_free(*field);
    *field = mem_strdup(value);
}

void free_text(char **field) {
    mem_free(*field);
    *field = nullptr;
}

void build_cmdline(int argc, char **argv) {
    char *out = g_app.cmdline;
    out[0] = 0;
    for (int i = 0; i < argc; ++i) {
        const char *fmt = std::strchr(argv[i], ' ') ? "\"%s\" " : "%s ";
        // strcat_printf reports the cut; the line is only for the log.
        if (strcat_printf(out, sizeof g_app.cmdline, fmt, argv[i]) >= static_cast<int>(sizeof g_app.cmdline) - 1)
            break;
    }
}

void usage_exit(int code) {
    app_baner();
    app_help();
    std::exit(code);
}

// Ends a run that never starts the servers (-p, -e, the service set-up):
// the log's network sinks may still have a thread that opens their socket,
// and it must not outlive the globals it uses.
[[noreturn]] void leave_early(int code) {
    log2_net_close();
    std::exit(code);
}

// Joins the executable's directory and a relative name.
void exe_relative(char *out, size_t size, const char *name) {
    char dir[4096];
    os_exe_dir(dir, sizeof dir);
    // A path that does not fit is cut; opening it then fails visibly.
    if (std::snprintf(out, size, "%s/%s", dir, name) >= static_cast<int>(size)) out[size - 1] = 0;
}

// A relative dump directory lies beside the executable; "~/" is the home folder.
void arm_crash_dumps() {
    const char *dir = g_app.panic_dump_dir;
    if (!dir || !dir[0]) return;
    char path[8192];
    const char *home = std::getenv("HOME");
    if (dir[0] == '~' && (dir[1] == '/' || !dir[1]) && home)
        std::snprintf(path, sizeof path, "%s%s", home, dir + 1);
    else if (!os_path_is_absolute(dir))
        exe_relative(path, sizeof path, dir);
    else
        std::snprintf(path, sizeof path, "%s", dir);
    replace_text(&g_app.panic_dump_dir, path);
    if (!os_debugger_attached()) os_panic_dump_set(g_app.panic_dump_dir, g_app.app_name);
}

// A service must never come up on the settings of another file: a -c file
// that cannot be read ends the start.
void require_readable_conf(const char *path) {
    std::FILE *file = std::fopen(path, "r");
    int error = errno;
    if (file) {
        char byte;
        // Opening a directory succeeds; reading it does not.
        if (std::fread(&byte, 1, 1, file) == 0 && std::ferror(file)) error = errno;
        else error = 0;
        std::fclose(file);
    }
    if (error == 0) return;
    std::fprintf(stderr, "cannot open config file %s: %s\n", path, std::strerror(error));
    std::exit(1);
}

}  // namespace

void app_help() {
    std::fprintf(stderr,
                 "Usage: %s [opt] [arguments] ...\n"
                 "\t-c [config_file]  set config file\n"
                 "\t-p dump current config\n"
                 "\t-s [list|key=val] Set configuration options\n"
                 "\t-e [\"cmd;...\"] execute string 'cmd'\n"
                 "\t-v show version\n"
                 "\t-q Do not display the startup banner and copyright message\n"
                 "\t-d Run as a service\n"
                 "\t-i Install service\n"
                 "\t-u uninstall service\n"
                 "\t-o [log_file]     set output log file\n"
                 "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n"
                 "\t-h display this help\n",
                 g_app.app_name ? g_app.app_name : "");
}

void app_opt_parse(int argc, char **argv) {
    int c;
    while ((c = app_getopt(argc, argv, OPTIONS)) != -1) {
        const char *arg = app_getopt_ctx()->optarg;
        switch (c) {
        case 'c': replace_text(&g_app.conf_path, arg); break;
        case 'o': replace_text(&g_app.opt_log_file, arg); break;
        case 'l': replace_text(&g_app.opt_log_level, arg); break;
        case 'e': replace_text(&g_app.opt_exec_cmd, arg); break;
        case 'd': g_app.daemon_mode = 1; break;
        case 'q': g_app.opt_quiet = 1; break;
        case 'p': g_app.opt_dump_conf = 1; break;
        case 'i':
        case 'w': g_app.svc_action = 'i'; break;
        case 'u': g_app.svc_action = 'u'; break;
        case 'v':
            std::printf("%s\n", g_app.app_ver ? g_app.app_ver : "");
            std::exit(0);
        case 'h': usage_exit(0); break;
        case 's': os_opt_set(g_app.opt_table, arg); break;
        default: usage_exit(1); break;
        }
    }
}

void app_opt_init(int argc, char **argv) {
    pl_init();
    os_thread_name_set("main");
    for (int i = 0; i < argc; ++i) {
        if (i == APP_ARGV_COPIES) {
            std::fputs("error: Too many args\n", stderr);
            break;
        }
        g_app.argv_copies[i] = mem_strdup(argv[i]);
        argv[i] = g_app.argv_copies[i];
    }
    PAL_ASSERT(g_app.app_name!=NULL);
    PAL_ASSERT(g_app.app_desc!=NULL);
    PAL_ASSERT(g_app.app_ver!=NULL);
    PAL_ASSERT(g_app.app_ver_date!=NULL);
    build_cmdline(argc, argv);
    // Under a debugger the faults belong to the debugger.
    if (!os_debugger_attached()) os_panic_install(app_panic_handle);
    if (!g_app.opt_parse_proc) return;
    app_getopt_reset();
    g_app.opt_parse_proc(argc, argv);
    app_opt_set();
}

void app_init_env() {
    if (g_app.sig_handler_proc) os_signal_thread_start(g_app.sig_handler_proc);
    char dir[4096];
    os_exe_dir(dir, sizeof dir);
    if (g_app.chdir_exe_dir && os_chdir(dir) != 0) LOGE_OS("os_chdir(%s) error: ", dir);
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "info");
    log2_ioctl(nullptr, LOG2_IOCTL_FLAG_LIST, "time|tid|func");
    // Until start-up knows this process runs the servers, the configured log
    // file may belong to the instance that does (app_log_file_release).
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_HOLD, 1);
    if (g_app.conf_path) require_readable_conf(g_app.conf_path);
    if (!g_app.conf_path) {
        PAL_ASSERT(g_app.app_conf_file!=NULL);
        char path[4096];
        exe_relative(path, sizeof path, g_app.app_conf_file ? g_app.app_conf_file : "");
        g_app.conf_path = mem_strdup(path);
    }
    log2_init(g_app.conf_path);
}

int app_opt_set() {
    app_init_env();
    if (g_app.opt_log_file) {
        log2_ioctl(nullptr, LOG2_IOCTL_FILE, g_app.opt_log_file);
        log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, 1);
        // A file named on the command line is this run's own.
        app_log_file_release();
    }
    if (g_app.opt_log_level) log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, g_app.opt_log_level);
    if (g_app.svc_action == 'i')
        leave_early(os_install_service(g_app.svc_name, g_app.svc_display_name, g_app.svc_desc));
    if (g_app.svc_action == 'u') leave_early(os_remove_service(g_app.svc_name));
    if (g_app.lib_init_proc) g_app.lib_init_proc();
    if (os_is_file(g_app.conf_path) != 1) {
        LOGV("Load default %s\n", g_app.app_conf_file);
        replace_text(&g_app.conf_path, g_app.app_conf_file);
    }
    if (g_app.conf_init_proc) g_app.conf_init_proc(g_app.conf_path);
    os_opt_apply(g_app.opt_table);
    app_baner();
    if (g_app.opt_dump_conf) {
        if (!g_app.conf_dump_proc) {
            LOGE("g_app.conf_dump_proc = NULL!\n");
            leave_early(0);
        }
        char *text = g_app.conf_dump_proc();
        std::printf("%s", text ? text : "");
        std::fflush(stdout);
        mem_free(text);
        leave_early(0);
    }
    if (g_app.opt_exec_cmd) {
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL_NAME, "info");
        PAL_ASSERT(g_app.shell_connet_cmd!=NULL);
        int32_t result = -1;
        if (g_app.shell_connet_cmd)
            result = g_app.shell_connet_cmd("127.0.0.1", g_app.shell_server_port, g_app.opt_exec_cmd);
        // A script must tell a command that ran from one that never arrived.
        std::fflush(nullptr);
        // Negative: no session (1); positive: the host's own code for a failed command.
        leave_early(result < 0 ? 1 : result);
    }
    if (g_app.instance_check_proc && g_app.instance_check_proc() < 0) leave_early(1);
    app_log_file_release();
    if (g_app.need_admin && !os_is_root())
        LOGW("%s privileges are required to run the program\n", "administrator");
    arm_crash_dumps();
    if (g_app.daemon_mode) {
        os_service_start(g_app.svc_name, WinServiceStart, WinServiceStop);
        // The servers' threads may still run: leave without static destructors.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}

void app_log_file_release() { log2_ioctl(nullptr, LOG2_IOCTL_FILE_HOLD, 0); }

void app_baner() {
    char text[256];
    std::snprintf(text, sizeof text, "%s-%s-%s v%s (%s) - %s", g_app.app_name, g_app.os_name, g_app.os_arch,
                  g_app.app_ver, g_app.app_ver_date, g_app.app_desc);
    if (g_app.daemon_mode || g_app.log_banner) {
        LOGD("%s\n", text);
        if (g_app.log_cmdline) {
            if (!g_app.os_desc[0]) {
                os_info_desc(g_app.os_desc, sizeof g_app.os_desc);
                str_trim(g_app.os_desc);
            }
            LOG2_AT(LOG_DBG | LOG_F_BSV_NET, "cmdline=[%s] os=[%s]\n", g_app.cmdline, g_app.os_desc);
        }
    }
    if (g_app.opt_quiet) return;
    std::fprintf(stderr, "%s\n", text);
    if (g_app.app_copyright) std::fprintf(stderr, "%s\n", g_app.app_copyright);
    if (g_app.daemon_mode) std::fputs("daemon startup is complete, press any key to continue\n", stderr);
}

namespace {
std::mutex g_exit_gate;
bool g_exit_begun = false;  // under g_exit_gate
}  // namespace

bool app_exit_gate_enter() {
    g_exit_gate.lock();
    if (!g_exit_begun) return true;
    g_exit_gate.unlock();
    return false;
}

void app_exit_gate_leave() { g_exit_gate.unlock(); }

void app_exit() {
    {
        std::lock_guard<std::mutex> gate(g_exit_gate);
        g_exit_begun = true;
    }
    // A later SIGTERM or SIGHUP goes to the gated handler, not to the service control.
    os_signal_control_set(nullptr);
    // One release at a time; a second caller waits for the first to finish.
    static std::mutex exit_lock;
    std::lock_guard<std::mutex> guard(exit_lock);
    if (g_app.lib_exit_proc) g_app.lib_exit_proc();
    for (char **field : {&g_app.conf_path, &g_app.opt_log_file, &g_app.opt_log_level, &g_app.opt_exec_cmd,
                         &g_app.shell_server_addr, &g_app.http_server_user, &g_app.http_server_pwd,
                         &g_app.http_server_addr, &g_app.panic_dump_dir})
        free_text(field);
    for (char *&copy : g_app.argv_copies) free_text(&copy);
    os_thread_name_del();
    os_thread_name_exit();
    log2_exit();
    log2_exit();
}
