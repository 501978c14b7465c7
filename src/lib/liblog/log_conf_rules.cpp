// The keys of section "log" and the values each can use, for the
// configuration check that runs before any of them is applied.
#include <cstring>
#include <string>
#include <strings.h>

#include "liblog/log2_ctl.h"
#include "liblog/str_to_size.h"
#include "libconf/conf_check.h"

namespace {

constexpr uint64_t FILE_SIZE_MIN = 2048;
constexpr const char *FLAG_NAMES[] = {"tid", "time", "time_ms", "func", "file", "tid_name", "no_colour"};

int check_level(const char *value, char *why, size_t n) {
    if (log2_level_from_name(value) >= 0) return 0;
    return conf_why(why, n, "a level is one of %s", LOG2_LEVEL_HINT);
}

int check_flags(const char *value, char *why, size_t n) {
    constexpr const char *ALLOWED = "flags are names separated by '|': tid, time, time_ms, func, file, tid_name, no_colour";
    std::string rest(value);
    if (rest.empty()) return 0;
    size_t start = 0;
    for (;;) {
        size_t bar = rest.find('|', start);
        std::string token = rest.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        bool known = false;
        for (const char *name : FLAG_NAMES) known = known || token == name;
        if (!known) return conf_why(why, n, "'%.64s' is no flag; %s", token.c_str(), ALLOWED);
        if (bar == std::string::npos) return 0;
        start = bar + 1;
    }
}

int check_file_mode(const char *value, char *why, size_t n) {
    if (std::strcmp(value, "a") == 0 || std::strcmp(value, "w") == 0) return 0;
    return conf_why(why, n, "a (append) or w (truncate at start)");
}

int check_file_size(const char *value, char *why, size_t n) {
    if (str_to_size(value) >= FILE_SIZE_MIN) return 0;
    return conf_why(why, n, "a size of at least 2048 bytes, such as 4k, 2M or 1G");
}

// scheme://host[:port][/], with the scheme one of schemes. Only the text is
// looked at: the name is resolved when the sink opens, never here.
int check_url(const char *value, const char *const *schemes, const char *allowed, char *why, size_t n) {
    if (!*value) return 0;
    const char *sep = std::strstr(value, "://");
    bool scheme_ok = false;
    if (sep)
        for (const char *const *s = schemes; *s; ++s)
            scheme_ok = scheme_ok || (std::strlen(*s) == static_cast<size_t>(sep - value) &&
                                      strncasecmp(value, *s, static_cast<size_t>(sep - value)) == 0);
    if (!scheme_ok) return conf_why(why, n, "%s", allowed);
    const char *p = sep + 3;
    const char *host_end;
    if (*p == '[') {
        host_end = std::strchr(p, ']');
        if (!host_end || host_end == p + 1) return conf_why(why, n, "the host is missing; %s", allowed);
        ++host_end;
    } else {
        host_end = p + std::strcspn(p, ":/?#@");
        if (*host_end == '@') return conf_why(why, n, "a user name has no place here; %s", allowed);
        if (host_end == p) return conf_why(why, n, "the host is missing; %s", allowed);
    }
    const char *q = host_end;
    if (*q == ':') {
        ++q;
        const char *digits = q;
        long port = 0;
        while (*q >= '0' && *q <= '9' && port <= 65535) port = port * 10 + (*q++ - '0');
        if (q == digits || port < 1 || port > 65535 || (*q >= '0' && *q <= '9'))
            return conf_why(why, n, "a port is 1 to 65535; %s", allowed);
    }
    if (*q == '/' && q[1] == 0) ++q;
    if (*q) return conf_why(why, n, "nothing may follow the port; %s", allowed);
    return 0;
}

int check_syslog(const char *value, char *why, size_t n) {
    static constexpr const char *SCHEMES[] = {"tcp", "udp", nullptr};
    return check_url(value, SCHEMES, "a syslog URL is tcp://host[:port] or udp://host[:port] (port 514 when absent)",
                     why, n);
}

int check_bsvlog(const char *value, char *why, size_t n) {
    static constexpr const char *SCHEMES[] = {"udp", "udps", nullptr};
    return check_url(value, SCHEMES,
                     "a collector URL is udp://host[:port] or udps://host[:port] (the collector speaks UDP only)",
                     why, n);
}

constexpr conf_key_rule LOG_RULES[] = {
    {"log", "debug", conf_check_switch},
    {"log", "level", check_level},
    {"log", "flags", check_flags},
    {"log", "syslog", check_syslog},
    {"log", "bsvlog", check_bsvlog},
    {"log", "file_dir", nullptr},
    {"log", "file_mode", check_file_mode},
    {"log", "file", nullptr},
    {"log", "file_size", check_file_size},
    {"log", "dbgview", conf_check_switch},
    {nullptr, nullptr, nullptr},
};

}  // namespace

const conf_key_rule *log2_conf_rules() { return LOG_RULES; }
