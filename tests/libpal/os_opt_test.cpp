#include "libpal/os/os_opt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libpal/env/malloc.h"

namespace {

// A table shaped like the host's: two ports and one text field.
class OsOpt : public testing::Test {
protected:
    void SetUp() override { text_ = mem_strdup("old"); }
    void TearDown() override {
        os_opt_clear(table_);
        mem_free(text_);
    }
    std::string set_log(const std::string &arg, int *rc) {
        testing::internal::CaptureStderr();
        *rc = os_opt_set(table_, arg.c_str());
        return testing::internal::GetCapturedStderr();
    }

    int32_t http_port_ = 12580;
    int32_t shell_port_ = 12581;
    char *text_ = nullptr;
    OptKey table_[4] = {
        {"http_server_port", &http_port_, OS_OPT_TYPE_INT32, nullptr},
        {"debug_server_port", &shell_port_, OS_OPT_TYPE_INT32, nullptr},
        {"panic_dump_dir", &text_, 0, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
};

}  // namespace

TEST_F(OsOpt, ListPrintsKeyNamesAndExitsWithZero) {
    EXPECT_EXIT(os_opt_set(table_, "list"), testing::ExitedWithCode(0),
                "^support the following key settings\nhttp_server_port\ndebug_server_port\n"
                "panic_dump_dir\n$");
}

TEST_F(OsOpt, SetKeepsValuePendingUntilApplied) {
    ASSERT_EQ(os_opt_set(table_, "http_server_port=81"), 0);
    EXPECT_EQ(http_port_, 12580);
    EXPECT_STREQ(table_[0].pending, "81");
    EXPECT_EQ(os_opt_apply(table_), 1);
    EXPECT_EQ(http_port_, 81);
    EXPECT_EQ(table_[0].pending, nullptr);
    EXPECT_EQ(shell_port_, 12581);
}

// Settings that are taken, and the values they leave once applied.
TEST_F(OsOpt, AcceptedSettingsAndTheValuesApplied) {
    const std::string v255(255, '7');
    const struct {
        std::vector<std::string> args;
        int32_t http, shell;
        std::string text;
    } rows[] = {
        {{"HTTP_SERVER_PORT=81"}, 81, 12581, "old"},  // the name ignores letter case
        {{"debug_server_port=1000", "debug_server_port=2000"}, 12580, 2000, "old"},
        {{"panic_dump_dir=a=b"}, 12580, 12581, "a"},  // the value ends at a second '='
        {{"panic_dump_dir= x "}, 12580, 12581, " x "},  // nothing is trimmed
        // An integer reads like atol, and stops at the limits.
        {{"http_server_port= 81xyz", "debug_server_port=abc"}, 81, 0, "old"},
        {{"http_server_port=99999999999", "debug_server_port=-99999999999"}, INT32_MAX, INT32_MIN, "old"},
        {{"panic_dump_dir=" + v255}, 12580, 12581, v255},
    };
    for (const auto &row : rows) {
        http_port_ = 12580;
        shell_port_ = 12581;
        mem_free(text_);
        text_ = mem_strdup("old");
        for (const std::string &arg : row.args) ASSERT_EQ(os_opt_set(table_, arg.c_str()), 0) << arg;
        os_opt_apply(table_);
        EXPECT_EQ(http_port_, row.http) << row.args[0];
        EXPECT_EQ(shell_port_, row.shell) << row.args[0];
        EXPECT_EQ(std::string(text_), row.text) << row.args[0];
    }
}

TEST_F(OsOpt, TextTargetGetsAHeapCopyReplacingTheOldText) {
    ASSERT_EQ(os_opt_set(table_, "panic_dump_dir=my dumps"), 0);
    EXPECT_EQ(os_opt_apply(table_), 1);
    EXPECT_STREQ(text_, "my dumps");
    EXPECT_EQ(table_[2].pending, nullptr);
}

// Settings that are refused, with what the log says; nothing is kept pending.
TEST_F(OsOpt, RefusedSettingsAreLogged) {
    const std::string long_value = "panic_dump_dir=" + std::string(256, 'v');
    const struct {
        std::string arg;
        std::vector<std::string> said;
    } rows[] = {
        {" http_server_port=81", {"unsupported key [ http_server_port]\n"}},
        {"foo=1", {"os_opt_kv_get", "unsupported key [foo]\n"}},
        {"port", {"os_opt_kv_get", "port syntax error Example: k=v\n"}},
        {long_value, {long_value + " syntax error Example: k=v\n"}},
        {std::string(256, 'k') + "=1", {"syntax error Example: k=v\n"}},
    };
    for (const auto &row : rows) {
        int rc = 0;
        std::string log = set_log(row.arg, &rc);
        EXPECT_EQ(rc, -1) << row.arg;
        for (const std::string &said : row.said) EXPECT_NE(log.find(said), std::string::npos) << log;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(table_[i].pending, nullptr) << row.arg;
    }
}

TEST_F(OsOpt, FailedSettingKeepsTheEarlierPendingValue) {
    ASSERT_EQ(os_opt_set(table_, "http_server_port=81"), 0);
    int rc = 0;
    set_log("http_server_port=" + std::string(300, '9'), &rc);
    EXPECT_EQ(rc, -1);
    os_opt_apply(table_);
    EXPECT_EQ(http_port_, 81);
}

TEST_F(OsOpt, ApplyWithNothingPendingChangesNothing) {
    EXPECT_EQ(os_opt_apply(table_), 0);
    EXPECT_EQ(http_port_, 12580);
    EXPECT_STREQ(text_, "old");
}

TEST_F(OsOpt, ApplyFreesEveryPendingValue) {
    mem_stats before{};
    mem_stats_get(&before);
    ASSERT_EQ(os_opt_set(table_, "http_server_port=81"), 0);
    ASSERT_EQ(os_opt_set(table_, "debug_server_port=82"), 0);
    os_opt_apply(table_);
    mem_stats after{};
    mem_stats_get(&after);
    EXPECT_EQ(after.malloc_count, before.malloc_count);
}

// A host that fills no opt_table: every -s is an unknown key, nothing is applied.
TEST(OsOptNoTable, NullTableHoldsNoKeys) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(os_opt_apply(nullptr), 0);
    EXPECT_EQ(os_opt_set(nullptr, "port=1"), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("unsupported key [port]\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("assert failed"), std::string::npos) << log;
    EXPECT_EXIT(os_opt_set(nullptr, "list"), testing::ExitedWithCode(0), "^support the following key settings\n$");
}
