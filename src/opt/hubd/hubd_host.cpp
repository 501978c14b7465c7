#define LOG_TAG "main"
#include "hubd_host.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "libapp/app_lib.h"
#include "libconf/conf.h"
#include "libconf/conf_check.h"
#include "libdbg/shell_remote_client.h"
#include "libdbg/shell_tcp_server.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_proc.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_builder.h"
#include "libnet/sock_tcp_client.h"
#include "libpwd/libpwd.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

namespace {

constexpr int32_t LOGIN_FAIL_COUNT_DEFAULT = 3;
constexpr int32_t LOGIN_FAIL_WAIT_M_DEFAULT = 60;
constexpr uint32_t INSTANCE_PROBE_TIMEOUT_MS = 1000;

std::atomic<int32_t> g_login_fail_count{LOGIN_FAIL_COUNT_DEFAULT};
std::atomic<int32_t> g_login_fail_wait_m{LOGIN_FAIL_WAIT_M_DEFAULT};

constexpr int64_t LOGIN_FAIL_COUNT_MAX = 1000000;
constexpr int64_t LOGIN_FAIL_WAIT_M_MAX = 525600;  // a year

int check_fail_count(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, 0, LOGIN_FAIL_COUNT_MAX, nullptr)) return 0;
    return conf_why(why, n, "a number of failed logins from 0 to %lld", static_cast<long long>(LOGIN_FAIL_COUNT_MAX));
}

int check_fail_wait(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, 1, LOGIN_FAIL_WAIT_M_MAX, nullptr)) return 0;
    return conf_why(why, n, "minutes from 1 to %lld", static_cast<long long>(LOGIN_FAIL_WAIT_M_MAX));
}

constexpr conf_key_rule HUBD_RULES[] = {
    {"hubd", "login_fail_count", check_fail_count},
    {"hubd", "login_fail_wait_m", check_fail_wait},
    {nullptr, nullptr, nullptr},
};

void host_defaults_hook() {
    g_login_fail_count.store(LOGIN_FAIL_COUNT_DEFAULT, std::memory_order_relaxed);
    g_login_fail_wait_m.store(LOGIN_FAIL_WAIT_M_DEFAULT, std::memory_order_relaxed);
}

void host_conf_hook(ConfHandle *conf) {
    int32_t count = conf_get_int(conf, "hubd:login_fail_count", LOGIN_FAIL_COUNT_DEFAULT);
    int32_t wait_m = conf_get_int(conf, "hubd:login_fail_wait_m", LOGIN_FAIL_WAIT_M_DEFAULT);
    g_login_fail_count.store(count < 0 ? 0 : count, std::memory_order_relaxed);
    g_login_fail_wait_m.store(wait_m < 1 ? 1 : wait_m, std::memory_order_relaxed);
    // Used only when debug:http_login_lockout switches the web console's lockout on.
    libpwd_set_limits(hubd_login_fail_count(), hubd_login_fail_wait_m(), LIBPWD_DEFAULT_CAPACITY);
}

// What an operator asks first, one key=value a line.
char *host_status_hook() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    char started[64] = "";
    std::tm local{};
    auto start = static_cast<std::time_t>(g_app.start_time);
    if (localtime_r(&start, &local)) std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%S%z", &local);
    os_proc_stats stats{};
    os_proc_stats_get(&stats);
    const char *conf = app_conf_file_in_use();
    str_buf_printf(b, "pid=%d\n", static_cast<int>(getpid()));
    str_buf_printf(b, "start_time=%s\n", started);
    str_buf_printf(b, "uptime_s=%llu\n", static_cast<unsigned long long>((os_clock_ms() - g_app.start_tick) / 1000));
    str_buf_printf(b, "rss_bytes=%lld\n", static_cast<long long>(stats.rss_bytes));
    str_buf_printf(b, "threads=%d\n", stats.threads);
    str_buf_printf(b, "open_fds=%d\n", stats.open_fds);
    str_buf_printf(b, "shell_sessions=%zu\n", debug_shell_server_sessions());
    str_buf_printf(b, "web_sessions=%zu\n", app_web_sessions());
    str_buf_printf(b, "config_file=%s\n", conf ? conf : "none (built-in defaults)");
    for (int sink = 0; sink < LOG2_SINK_COUNT; ++sink)
        str_buf_printf(b, "log_%s_lines=%llu\nlog_%s_lost=%llu\n", log2_sink_name(sink),
                       static_cast<unsigned long long>(log2_sink_lines(sink)), log2_sink_name(sink),
                       static_cast<unsigned long long>(log2_sink_lost(sink)));
    return str_buf_take(b);
}

}  // namespace

void hubd_host_hooks_install() {
    static const app_host_hooks hooks{
        .conf_hook = host_conf_hook,
        .start_hook = nullptr,
        .stop_hook = nullptr,
        .status_hook = host_status_hook,
        .conf_dump_hook = nullptr,
        .defaults_hook = host_defaults_hook,
        .release_hook = nullptr,
        .conf_rules = HUBD_RULES,
    };
    app_host_hooks_set(&hooks);
}

int32_t hubd_login_fail_count() { return g_login_fail_count.load(std::memory_order_relaxed); }

int32_t hubd_login_fail_wait_m() { return g_login_fail_wait_m.load(std::memory_order_relaxed); }

int32_t hubd_instance_check() {
    LOGV("==>\n");
    // hubd has no service of its own: a running instance is found on its debug ports.
    int port = g_app.shell_server_port != 0 ? g_app.shell_server_port : g_app.http_server_port;
    if (port == 0) return 0;
    sock_cli_conf conf{};
    conf.connect_timeout = INSTANCE_PROBE_TIMEOUT_MS;
    verr err{};
    os_socket sock = sock_tcp_connect("127.0.0.1", port, &conf, &err);
    LOGV("sock_connect 127.0.0.1:%d sock=%p\n", port, reinterpret_cast<void *>(sock));
    if (sock == OS_SOCKET_NONE) return 0;
    os_socket_exit(sock);
    LOGE("Can only run one instance\n");
    return -1;
}

int32_t hubd_shell_connet_cmd(const char *ip, int port, const char *cmd) {
    dbgcli_ctx cli{};
    std::snprintf(cli.prompt, sizeof cli.prompt, "%s>", g_app.app_name ? g_app.app_name : "");
    cli.cmd = cmd;
    int result = debug_shell_connet_exec_cmd(ip, port, &cli);
    // Exit codes of -e: 0 every command succeeded, 2 one failed, 1 no session.
    if (result < 0) return -1;
    return result > 0 ? 2 : 0;
}
