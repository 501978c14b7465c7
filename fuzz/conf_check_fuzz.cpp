// Arbitrary bytes as a configuration file, checked against the key tables of
// the framework, the log and a host: every finding must name its line, and a
// value the check takes must be one the reader can use.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libapp/app_lib.h"
#include "libconf/conf.h"
#include "libconf/conf_check.h"
#include "liblog/log2_ctl.h"

namespace {

struct Seen {
    const char *name;
};

void check_line(bool, const char *line, void *arg) {
    const char *name = static_cast<Seen *>(arg)->name;
    size_t n = std::strlen(name);
    // "name:<line>: ..." with a line number of at least 1.
    if (std::strncmp(line, name, n) != 0 || line[n] != ':' || line[n + 1] < '1' || line[n + 1] > '9') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Nothing of the log on the console while fuzzing.
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_CRIT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char err[4096];
    ConfHandle *h = conf_open_text("f.ini", reinterpret_cast<const char *>(data), size, err, sizeof err);
    if (!h) {
        // A file that does not load always says why, with its line.
        if (std::strncmp(err, "f.ini:", 6) != 0) std::abort();
        return 0;
    }
    int32_t errors = 0;
    int32_t unknown = 0;
    app_conf_check(nullptr, "f.ini", &errors, &unknown);  // registers the tables
    Seen seen{"f.ini"};
    conf_check_counts counts{};
    conf_check_all(h, "f.ini", &counts, check_line, &seen);
    // A port the check took is one the reader reads back as 0..65535.
    for (const char *key : {"debug:shell_server_port", "debug:http_server_port"}) {
        const char *value = conf_get_str(h, key, nullptr);
        char why[256];
        std::string k(key);
        if (value && conf_check_value("debug", k.substr(6).c_str(), value, why, sizeof why) == CONF_KEY_OK) {
            int32_t port = conf_get_int(h, key, -1);
            if (port < 0 || port > 65535) std::abort();
        }
    }
    conf_close(h);
    return 0;
}
