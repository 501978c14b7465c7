#define LOG_TAG "main"
#include "libpal/tframe/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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
#include "libconf/conf.h"
#include "libconf/conf_check.h"
#include "liblog/log2_ctl.h"

AppDescriptor g_app;

namespace {

constexpr const char *OPTIONS = "c:o:l:dqpiue:vhs:wt";
// The options that shape the service, as given, for the unit that -i writes.
std::vector<std::string> g_service_options;
// A configuration file larger than this is refused rather than read.
constexpr size_t CONF_FILE_MAX = 256u << 20;

// -s settings that could not be taken (syntax, unknown key), counted by the parser.
int g_opt_errors = 0;
// The configuration file read once at start-up, until the framework keys are read.
ConfHandle *g_conf_loaded = nullptr;

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

// Remembers an option that shapes the service (-c, -o, -l, -s) for the unit
// that -i writes. The service runs from elsewhere: a relative path is taken
// from the directory the command was started in, as given.
void keep_service_option(char option, const char *value) {
    if (!value || (option == 's' && std::strcmp(value, "list") == 0)) return;
    std::string word = value;
    if ((option == 'c' || option == 'o') && value[0] != '/') {
        char cwd[4096];
        if (os_getcwd(cwd, sizeof cwd)) word = std::string(cwd) + "/" + value;
    }
    g_service_options.push_back(std::string("-") + option);
    g_service_options.push_back(word);
}

void keep_service_options() {
    std::vector<const char *> args;
    for (const std::string &word : g_service_options) args.push_back(word.c_str());
    os_service_exec_args_set(args.data(), static_cast<int>(args.size()));
}

// Reads the whole configuration file once: a regular file, a pipe or
// standard input alike. False with the reason in why.
bool read_conf_file(const char *path, std::string &text, std::string &why) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        why = std::strerror(EISDIR);
        return false;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > CONF_FILE_MAX) {
            why = "larger than 256 MiB";
            ::close(fd);
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

// Loads the configuration once. A file named by -c must be readable; the
// default file may be absent (the built-in settings then hold), but one that
// is there and cannot be read or parsed stops the start: a service must never
// come up on settings other than the ones written for it.
void load_conf(bool named) {
    std::string text;
    std::string why;
    if (!named && ::access(g_app.conf_path, F_OK) != 0 && errno == ENOENT) return;
    if (!read_conf_file(g_app.conf_path, text, why)) {
        std::fprintf(stderr, "cannot open config file %s: %s\n", g_app.conf_path, why.c_str());
        std::exit(1);
    }
    char errors[8192];
    g_conf_loaded = conf_open_text(g_app.conf_path, text.data(), text.size(), errors, sizeof errors);
    if (g_conf_loaded) return;
    std::fputs(errors, stderr);
    if (g_app.opt_check_conf)
        std::fprintf(stderr, "configuration %s: does not load\n", g_app.conf_path);
    else
        std::fprintf(stderr, "%s: configuration does not load, not started\n", g_app.app_name ? g_app.app_name : "");
    std::exit(1);
}

std::vector<std::string> g_conf_warnings;

void print_conf_warnings() {
    for (const std::string &line : g_conf_warnings) std::fprintf(stderr, "%s\n", line.c_str());
    g_conf_warnings.clear();
}

// The console sink writes warnings to standard error itself: a line printed
// there as well would show twice on a terminal.
void log_conf_warnings() {
    bool console_shows = log2_level_get() >= LOG_WARN;
    for (const std::string &line : g_conf_warnings) {
        if (!console_shows) std::fprintf(stderr, "%s\n", line.c_str());
        LOGW("%s\n", line.c_str());
    }
    g_conf_warnings.clear();
}

// Checks the -s values against the same rules as the file's.
int check_settings() {
    int errors = 0;
    for (const OptKey *row = g_app.opt_table; row && row->name; ++row) {
        if (!row->pending) continue;
        char why[512] = "";
        conf_key_state state = CONF_KEY_UNKNOWN;
        if (const char *colon = row->conf_key ? std::strchr(row->conf_key, ':') : nullptr) {
            std::string section(row->conf_key, static_cast<size_t>(colon - row->conf_key));
            state = conf_check_value(section.c_str(), colon + 1, row->pending, why, sizeof why);
        }
        if (state == CONF_KEY_UNKNOWN && row->type == OS_OPT_TYPE_INT32 &&
            !conf_parse_int(row->pending, INT32_MIN, INT32_MAX, nullptr)) {
            std::snprintf(why, sizeof why, "a whole number");
            state = CONF_KEY_BAD;
        }
        if (state != CONF_KEY_BAD) continue;
        std::fprintf(stderr, "-s %s=%s: %s\n", row->name, row->pending, why);
        ++errors;
    }
    return errors;
}

// Checks the file and the command line; -t ends here, and a start with an
// error stops before anything is opened.
void check_conf() {
    int32_t errors = g_opt_errors;
    int32_t unknown = 0;
    if (g_app.conf_check_proc) g_app.conf_check_proc(g_conf_loaded, g_app.conf_path, &errors, &unknown);
    errors += check_settings();
    if (g_app.opt_check_conf) {
        std::fflush(stderr);
        if (errors || unknown) {
            std::fprintf(stderr, "configuration %s: %d error(s), %d unknown key(s)\n", g_app.conf_path,
                         static_cast<int>(errors), static_cast<int>(unknown));
            std::exit(1);
        }
        std::printf("configuration ok\n");
        std::fflush(stdout);
        std::exit(0);
    }
    if (errors) {
        print_conf_warnings();
        std::fprintf(stderr, "%s: %d configuration error(s), not started\n", g_app.app_name ? g_app.app_name : "",
                     static_cast<int>(errors));
        std::exit(1);
    }
}

// A relative -c path names a file from where the command was started, before
// the move to the executable's directory.
void set_conf_path(const char *arg) {
    char cwd[4096];
    if (arg[0] != '/' && ::getcwd(cwd, sizeof cwd)) {
        std::string full = std::string(cwd) + "/" + arg;
        replace_text(&g_app.conf_path, full.c_str());
    } else {
        replace_text(&g_app.conf_path, arg);
    }
}

}  // namespace

void app_help() {
    std::fprintf(stderr,
                 "Usage: %s [opt] [arguments] ...\n"
                 "\t-c [config_file]  set config file\n"
                 "\t-p dump current config\n"
                 "\t-t check the configuration, print what is wrong, and exit\n"
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
        if (std::strchr("cols", c)) keep_service_option(static_cast<char>(c), arg);
        switch (c) {
        case 'c': set_conf_path(arg); break;
        case 'o': replace_text(&g_app.opt_log_file, arg); break;
        case 'l':
            if (log2_level_from_name(arg) < 0) {
                std::fprintf(stderr, "%s: invalid log level -- %s (one of %s)\n", argv[0], arg, LOG2_LEVEL_HINT);
                usage_exit(1);
            }
            replace_text(&g_app.opt_log_level, arg);
            break;
        case 't': g_app.opt_check_conf = 1; break;
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
        case 's':
            if (os_opt_set(g_app.opt_table, arg) != 0) ++g_opt_errors;
            break;
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
    bool named = g_app.conf_path != nullptr;
    if (!g_app.conf_path) {
        PAL_ASSERT(g_app.app_conf_file!=NULL);
        char path[4096];
        exe_relative(path, sizeof path, g_app.app_conf_file ? g_app.app_conf_file : "");
        g_app.conf_path = mem_strdup(path);
    }
    load_conf(named);
    check_conf();
    log2_trace("conf_file=%s\n", g_app.conf_path);
    log2_init_conf(g_conf_loaded);
}

ConfHandle *app_conf_loaded() { return g_conf_loaded; }

void app_conf_warning(const char *line) {
    if (!line) return;
    if (g_app.opt_check_conf) {
        std::fprintf(stderr, "%s\n", line);
        return;
    }
    g_conf_warnings.emplace_back(line);
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
    log_conf_warnings();
    if (g_app.svc_action == 'i') {
        keep_service_options();
        leave_early(os_install_service(g_app.svc_name, g_app.svc_display_name, g_app.svc_desc));
    }
    if (g_app.svc_action == 'u') leave_early(os_remove_service(g_app.svc_name));
    if (g_app.lib_init_proc) g_app.lib_init_proc();
    if (!g_conf_loaded) {
        LOGV("Load default %s\n", g_app.app_conf_file);
        replace_text(&g_app.conf_path, g_app.app_conf_file);
    }
    if (g_app.conf_init_proc) g_app.conf_init_proc(g_app.conf_path);
    conf_close(g_conf_loaded);
    g_conf_loaded = nullptr;
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
        int result = os_service_start(g_app.svc_name, WinServiceStart, WinServiceStop);
        // The orderly end of the service releases what the console mode
        // releases (the FIFO among it); the servers have stopped by now.
        app_exit();
        std::fflush(nullptr);
        // Threads of the libraries (the signal thread) may still run:
        // leave without static destructors.
        std::_Exit(result == 0 ? 0 : 1);
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
