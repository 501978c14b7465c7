// The keys of section "debug" and the check of a whole configuration file.
#include <cstdio>
#include <cstring>

#include "libapp/app_hooks.h"
#include "libapp/app_lib.h"
#include "libconf/conf_check.h"
#include "liblog/log2_ctl.h"
#include "libpal/tframe/app.h"

namespace {

constexpr int64_t COUNT_MAX = 10000;

int check_count(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, 1, COUNT_MAX, nullptr)) return 0;
    return conf_why(why, n, "a number from 1 to %lld", static_cast<long long>(COUNT_MAX));
}

int check_keep(const char *value, char *why, size_t n) {
    if (conf_parse_int(value, 0, COUNT_MAX, nullptr)) return 0;
    return conf_why(why, n, "a number from 0 to %lld (0 keeps every dump)", static_cast<long long>(COUNT_MAX));
}

int check_poller(const char *value, char *why, size_t n) {
    if (std::strcmp(value, "epoll") == 0 || std::strcmp(value, "select") == 0) return 0;
    return conf_why(why, n, "epoll or select");
}

constexpr conf_key_rule DEBUG_RULES[] = {
    {"debug", "shell_server_port", conf_check_port_or_off},
    {"debug", "shell_server_addr", conf_check_addr_list},
    {"debug", "shell_server_max_sessions", check_count},
    {"debug", "http_server_port", conf_check_port_or_off},
    {"debug", "http_server_addr", conf_check_addr_list},
    {"debug", "http_server_user", nullptr},
    {"debug", "http_server_pwd", nullptr},
    {"debug", "http_login_lockout", conf_check_switch},
    {"debug", "http_max_clients", check_count},
    {"debug", "panic_dump_dir", nullptr},
    {"debug", "panic_dump_keep", check_keep},
    {"debug", "http_allowed_hosts", nullptr},
    {"debug", "shell_allowed_users", nullptr},
    {"debug", "shell_server_pwd", nullptr},
    {"debug", "protected_mode", conf_check_switch},
    {"debug", "poller", check_poller},
    {nullptr, nullptr, nullptr},
};

// An error stops the start before the log is up; a warning waits for the log.
void say(bool is_error, const char *line, void *) {
    if (is_error)
        std::fprintf(stderr, "%s\n", line);
    else
        app_conf_warning(line);
}

}  // namespace

void app_conf_check(ConfHandle *conf, const char *name, int32_t *errors, int32_t *unknown) {
    conf_rules_add(DEBUG_RULES);
    conf_rules_add(log2_conf_rules());
    if (const conf_key_rule *host = app_host_hooks_get().conf_rules) conf_rules_add(host);
    conf_check_counts counts{};
    conf_check_all(conf, name, &counts, say, nullptr);
    if (errors) *errors += counts.errors;
    if (unknown) *unknown += counts.unknown;
}
