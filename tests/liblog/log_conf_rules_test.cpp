// The checks of section "log": which values each key can use.
#include <gtest/gtest.h>

#include <string>

#include "libconf/conf_check.h"
#include "liblog/log2_ctl.h"

namespace {

struct LogValueRow {
    const char *key;
    const char *value;
    bool usable;
};

class LogConfRules : public testing::TestWithParam<LogValueRow> {};

TEST_P(LogConfRules, TellsUsableFromUnusable) {
    const LogValueRow &row = GetParam();
    conf_rules_add(log2_conf_rules());
    char why[512];
    conf_key_state state = conf_check_value("log", row.key, row.value, why, sizeof why);
    EXPECT_EQ(state, row.usable ? CONF_KEY_OK : CONF_KEY_BAD) << row.key << " = " << row.value;
    // An unusable value always says what is allowed.
    if (!row.usable) {
        EXPECT_NE(why[0], 0) << row.key;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, LogConfRules,
    testing::Values(LogValueRow{"syslog", "udp://127.0.0.1:514", true}, LogValueRow{"syslog", "TCP://[::1]:601/", true},
                    LogValueRow{"syslog", "udp://loghost", true}, LogValueRow{"syslog", "", true},
                    LogValueRow{"syslog", "tls://h:6514", false}, LogValueRow{"syslog", "http://h", false},
                    LogValueRow{"syslog", "udp://:514", false}, LogValueRow{"syslog", "udp://h:0", false},
                    LogValueRow{"syslog", "udp://h:65536", false}, LogValueRow{"syslog", "udp://h:", false},
                    LogValueRow{"syslog", "udp://[]:514", false}, LogValueRow{"syslog", "udp://h:514/x", false},
                    LogValueRow{"syslog", "udp://h:99999999999999999999", false},
                    LogValueRow{"bsvlog", "udp://127.0.0.1:5140", true}, LogValueRow{"bsvlog", "udps://h", true},
                    LogValueRow{"bsvlog", "tcp://127.0.0.1:5140", false},
                    LogValueRow{"flags", "time|tid|func", true}, LogValueRow{"flags", "time||tid", false},
                    LogValueRow{"flags", "time|colour", false}, LogValueRow{"level", "noti", true},
                    LogValueRow{"level", "INFO", false}, LogValueRow{"file_size", "2M", true},
                    LogValueRow{"file_size", "2047", false}, LogValueRow{"file_size", "lots", false},
                    LogValueRow{"file_mode", "w", true}, LogValueRow{"file_mode", "append", false},
                    LogValueRow{"dbgview", "1", true}, LogValueRow{"debug", "yes", false}));

}  // namespace
