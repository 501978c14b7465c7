// hubd-echo: a host program on the HUBD framework. It fills the application
// descriptor, adds its keys, hooks and shell items, and hands control to the
// framework, which brings the shell, the web console, the log sinks, the
// crash dumps and the service mode.
#define LOG_TAG "main"
#include <cstdio>
#include <string>

#include "echo_service.h"
#include "libapp/app_lib.h"
#include "libbsv/bsv_udp.h"
#include "libbsvf/bsvf_pcap_file.h"
#include "libconf/conf.h"
#include "libconf/conf_check.h"
#include "libdbg/shell_remote_client.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_opt.h"
#include "libpal/tframe/app.h"

namespace {

echo_conf g_echo{};
std::string g_echo_addr;  // the key's text; g_echo.addr points here once the key is set

int check_port(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, 1, 65535, nullptr)) return 0;
    return conf_why(why, n, "a port is 1 to 65535");
}
int check_max_clients(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, 1, ECHO_MAX_CLIENTS_MAX, nullptr)) return 0;
    return conf_why(why, n, "a number of connections from 1 to %u", ECHO_MAX_CLIENTS_MAX);
}
int check_idle(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, 0, ECHO_IDLE_TIMEOUT_MS_MAX, nullptr)) return 0;
    return conf_why(why, n, "milliseconds from 0 (never) to %u", ECHO_IDLE_TIMEOUT_MS_MAX);
}
int check_max_line(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, ECHO_MAX_LINE_MIN, ECHO_MAX_LINE_MAX, nullptr)) return 0;
    return conf_why(why, n, "bytes from %u to %u", ECHO_MAX_LINE_MIN, ECHO_MAX_LINE_MAX);
}
int check_output_cap(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, ECHO_OUTPUT_CAP_MIN, ECHO_OUTPUT_CAP_MAX, nullptr)) return 0;
    return conf_why(why, n, "bytes from %u to %u", ECHO_OUTPUT_CAP_MIN, ECHO_OUTPUT_CAP_MAX);
}

// -t, and every start, check the file against this table: a bad value stops the start.
constexpr conf_key_rule ECHO_RULES[] = {
    {"echo", "port", check_port},
    {"echo", "addr", conf_check_addr_list},
    {"echo", "max_clients", check_max_clients},
    {"echo", "idle_timeout_ms", check_idle},
    {"echo", "max_line", check_max_line},
    {"echo", "output_cap", check_output_cap},
    {nullptr, nullptr, nullptr},
};

// -s echo_port=N overrides the file.
OptKey g_opt_table[] = {
    {"echo_port", &g_echo.port, OS_OPT_TYPE_INT32, nullptr, "echo:port"},
    {nullptr, nullptr, 0, nullptr, nullptr},
};

void defaults_hook() {
    g_echo = {nullptr, ECHO_PORT_DEFAULT, ECHO_MAX_CLIENTS_DEFAULT, 0, ECHO_MAX_LINE_DEFAULT, ECHO_OUTPUT_CAP_DEFAULT};
    echo_service_items_add();
}

void conf_hook(ConfHandle *conf) {
    auto get = [conf](const char *key, uint32_t def) { return static_cast<uint32_t>(conf_get_int(conf, key, def)); };
    g_echo.port = conf_get_int(conf, "echo:port", ECHO_PORT_DEFAULT);
    g_echo.max_clients = get("echo:max_clients", ECHO_MAX_CLIENTS_DEFAULT);
    g_echo.idle_timeout_ms = get("echo:idle_timeout_ms", 0);
    g_echo.max_line = get("echo:max_line", ECHO_MAX_LINE_DEFAULT);
    g_echo.output_cap = get("echo:output_cap", ECHO_OUTPUT_CAP_DEFAULT);
    // An absent key keeps to loopback; an empty one means every address.
    const char *addr = conf_get_str(conf, "echo:addr", nullptr);
    g_echo_addr = addr ? addr : "";
    g_echo.addr = addr ? g_echo_addr.c_str() : nullptr;
}

char *conf_dump_hook() {
    char *text = nullptr;
    os_asprintf(&text, "echo_port=%d\necho_addr=%s\necho_max_clients=%u\necho_idle_timeout_ms=%u\n", g_echo.port,
                g_echo.addr ? g_echo.addr : "(loopback)", g_echo.max_clients, g_echo.idle_timeout_ms);
    return text;
}

int32_t start_hook() { return echo_service_start(&g_echo); }
int32_t stop_hook() { return echo_service_stop(); }

int32_t shell_connect_cmd(const char *ip, int port, const char *cmd) {
    dbgcli_ctx cli{};
    std::snprintf(cli.prompt, sizeof cli.prompt, "%s>", g_app.app_name);
    cli.cmd = cmd;
    const int result = debug_shell_connet_exec_cmd(ip, port, &cli);
    return result < 0 ? -1 : result > 0 ? 2 : 0;
}

const app_host_hooks kHooks = {conf_hook, start_hook, stop_hook, echo_service_show,
                               conf_dump_hook, defaults_hook, nullptr, ECHO_RULES};

}  // namespace

int main(int argc, char **argv) {
    g_app.app_name = "hubd-echo";
    g_app.app_ver = "1.0.0.0";
    g_app.app_ver_date = "2026-12-9";
    g_app.app_desc = "HUBD line echo server";
    g_app.app_conf_file = "hubd-echo.ini";
    g_app.web_title = "hubd-echo";
    g_app.shell_prompt = "hubd-echo>";
    g_app.svc_name = "hubd-echo";
    g_app.svc_display_name = g_app.svc_desc = g_app.app_desc;
    g_app.shell_server_port = 12591;  // the framework's debug shell and web console
    g_app.http_server_port = 12590;
    g_app.log_cmdline = 1;
    g_app.chdir_exe_dir = 1;
    g_app.opt_table = g_opt_table;
    // The framework's own procedures; a host may put its own in any slot.
    g_app.opt_parse_proc = app_opt_parse;
    g_app.conf_init_proc = app_conf_file_init;
    g_app.conf_check_proc = app_conf_check;
    g_app.conf_dump_proc = app_conf_dump;
    g_app.sig_handler_proc = app_sig_handler;
    g_app.lib_init_proc = app_lib_init;
    g_app.lib_exit_proc = app_lib_exit;
    g_app.wsrv_start_proc = app_start_server;
    g_app.wsrv_stop_proc = app_stop_server;
    g_app.shell_connet_cmd = shell_connect_cmd;
    app_host_hooks_set(&kHooks);
    // The pcap log file and the UDP collector sinks, before the configuration opens them.
    bsvf_log_attach();
    bsv_udp_attach();
    app_opt_init(argc, argv);
    const int result = app_start_server();
    app_exit();
    return result == 0 ? 0 : 1;  // 1: a start-up step failed, its reason logged
}
