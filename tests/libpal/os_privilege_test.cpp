// Privilege names map to capabilities; a privilege is enabled exactly when
// the process is permitted to hold its capabilities.
#include <gtest/gtest.h>

#include <linux/capability.h>

#include <fstream>
#include <string>

#include "libpal/os/os_service.h"

namespace {

// The permitted set as the kernel shows it, read without libcap.
uint64_t permitted_caps() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("CapPrm:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    return 0;
}

TEST(OsSetPrivilege, EnabledExactlyWhenPermitted) {
    const uint64_t permitted = permitted_caps();
    auto has = [permitted](int cap) { return (permitted >> cap) & 1; };
    const std::pair<const char *, bool> rows[] = {
        {"SeBackupPrivilege", has(CAP_DAC_READ_SEARCH)},
        {"SeRestorePrivilege", has(CAP_DAC_OVERRIDE) && has(CAP_FOWNER)},
        {"SeSecurityPrivilege", has(CAP_AUDIT_CONTROL)},
        {"SeNoSuchPrivilege", false},
        {"", false},
    };
    for (const auto &[name, expected] : rows) EXPECT_EQ(os_set_privilege(name), expected) << name;
    EXPECT_FALSE(os_set_privilege(nullptr));
}

}  // namespace
