// hubd: the host program. It fills the application descriptor and hands
// control to the framework.
#define LOG_TAG "main"
#include "libapp/app_lib.h"
#include "libbsv/bsv_udp.h"
#include "libbsvf/bsvf_pcap_file.h"
#include "libpal/os/os_opt.h"
#include "libpal/tframe/app.h"
#include "hubd_host.h"

namespace {

// debug_server_port is the older name of shell_server_port; both set the shell's port.
OptKey g_opt_table[] = {
    {"http_server_port", &g_app.http_server_port, OS_OPT_TYPE_INT32, nullptr, "debug:http_server_port"},
    {"debug_server_port", &g_app.shell_server_port, OS_OPT_TYPE_INT32, nullptr, "debug:shell_server_port"},
    {"shell_server_port", &g_app.shell_server_port, OS_OPT_TYPE_INT32, nullptr, "debug:shell_server_port"},
    {nullptr, nullptr, 0, nullptr, nullptr},
};

void fill_descriptor() {
    g_app.need_admin = 0;
    g_app.log_banner = 0;
    g_app.log_cmdline = 1;
    g_app.chdir_exe_dir = 1;
    g_app.app_name = "hubd";
    g_app.app_ver = "1.0.0.0";
    g_app.app_ver_date = "2024-1-9";
    g_app.app_desc = "QELTO TESSEL Server";
    g_app.app_copyright = nullptr;
    g_app.app_conf_file = "hubd.ini";
    g_app.web_title = "HUBD Web Debug Tool";
    g_app.shell_prompt = "hubd>";
    g_app.opt_table = g_opt_table;
    g_app.shell_connet_cmd = hubd_shell_connet_cmd;
    g_app.opt_parse_proc = app_opt_parse;
    g_app.conf_init_proc = app_conf_file_init;
    g_app.conf_check_proc = app_conf_check;
    g_app.conf_dump_proc = app_conf_dump;
    g_app.instance_check_proc = hubd_instance_check;
    g_app.sig_handler_proc = app_sig_handler;
    g_app.lib_init_proc = app_lib_init;
    g_app.lib_exit_proc = app_lib_exit;
    g_app.wsrv_start_proc = app_start_server;
    g_app.wsrv_stop_proc = app_stop_server;
    g_app.ver_num = 0x01000000;
    g_app.svc_name = "hubd";
    g_app.svc_display_name = g_app.app_desc;
    g_app.svc_desc = g_app.app_desc;
    g_app.shell_server_port = 12581;
    g_app.http_server_port = 12580;
}

}  // namespace

int main(int argc, char **argv) {
    fill_descriptor();
    hubd_host_hooks_install();
    // Binary records must be attached before the configuration opens a pcap log file.
    bsvf_log_attach();
    bsv_udp_attach();
    app_opt_init(argc, argv);
    int result = app_start_server();
    app_exit();
    return result;
}
