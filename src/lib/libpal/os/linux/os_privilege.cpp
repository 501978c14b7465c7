// Process privileges as Linux capabilities: each privilege name stands for
// the capabilities that give the same power, raised into the effective set
// when the process is permitted to hold them.
#include <sys/capability.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "libpal/os/os_service.h"
#include "liblog/log2.h"

#define LOG_TAG "pal"

namespace {

struct privilege_caps {
    const char *name;
    std::array<cap_value_t, 2> caps;
    int count;
};

constexpr std::array<privilege_caps, 3> PRIVILEGES = {{
    {"SeBackupPrivilege", {CAP_DAC_READ_SEARCH, 0}, 1},
    {"SeRestorePrivilege", {CAP_DAC_OVERRIDE, CAP_FOWNER}, 2},
    {"SeSecurityPrivilege", {CAP_AUDIT_CONTROL, 0}, 1},
}};

std::atomic<bool> g_backup_held{false};

void log_failure(const char *text) {
    log2_printf(nullptr, LOG_VERB | LOG_F_APPEND_OSERR, LOG_TAG, __FILE__, __LINE__, "os_set_privilege", "%s", text);
}

}  // namespace

bool os_set_privilege(const char *name) {
    cap_t caps = cap_get_proc();
    if (!caps) return false;
    const privilege_caps *row = nullptr;
    for (const privilege_caps &p : PRIVILEGES)
        if (name && std::strcmp(p.name, name) == 0) row = &p;
    bool enabled = false;
    if (!row) {
        errno = EINVAL;
        log_failure("LookupPrivilegeValue error: ");
    } else {
        bool permitted = true;
        for (int i = 0; i < row->count; ++i) {
            cap_flag_value_t value = CAP_CLEAR;
            if (cap_get_flag(caps, row->caps[i], CAP_PERMITTED, &value) != 0 || value != CAP_SET) permitted = false;
        }
        if (!permitted) {
            errno = EPERM;
            log_failure("AdjustTokenPrivileges error: ");
        } else if (cap_set_flag(caps, CAP_EFFECTIVE, row->count, row->caps.data(), CAP_SET) != 0 ||
                   cap_set_proc(caps) != 0) {
            log_failure("AdjustTokenPrivileges error: ");
        } else {
            enabled = true;
        }
    }
    cap_free(caps);
    return enabled;
}

bool os_backup_privileges_held() { return g_backup_held.load(std::memory_order_relaxed); }

void os_privileges_init() {
    bool backup = os_set_privilege("SeBackupPrivilege");
    bool restore = os_set_privilege("SeRestorePrivilege");
    os_set_privilege("SeSecurityPrivilege");
    g_backup_held.store(backup && restore, std::memory_order_relaxed);
}
