#include "libpal/os/os_opt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

TEST_F(OsOpt, NameMatchIgnoresLetterCase) {
    ASSERT_EQ(os_opt_set(table_, "HTTP_SERVER_PORT=81"), 0);
    os_opt_apply(table_);
    EXPECT_EQ(http_port_, 81);
}

TEST_F(OsOpt, LaterSettingReplacesEarlierOne) {
    ASSERT_EQ(os_opt_set(table_, "debug_server_port=1000"), 0);
    ASSERT_EQ(os_opt_set(table_, "debug_server_port=2000"), 0);
    os_opt_apply(table_);
    EXPECT_EQ(shell_port_, 2000);
}

TEST_F(OsOpt, TextTargetGetsAHeapCopyReplacingTheOldText) {
    ASSERT_EQ(os_opt_set(table_, "panic_dump_dir=my dumps"), 0);
    EXPECT_EQ(os_opt_apply(table_), 1);
    EXPECT_STREQ(text_, "my dumps");
    EXPECT_EQ(table_[2].pending, nullptr);
}

TEST_F(OsOpt, ValueEndsAtASecondEqualsSign) {
    ASSERT_EQ(os_opt_set(table_, "panic_dump_dir=a=b"), 0);
    os_opt_apply(table_);
    EXPECT_STREQ(text_, "a");
}

TEST_F(OsOpt, NothingIsTrimmed) {
    int rc = 0;
    std::string log = set_log(" http_server_port=81", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(log.find("unsupported key [ http_server_port]\n"), std::string::npos) << log;
    ASSERT_EQ(os_opt_set(table_, "panic_dump_dir= x "), 0);
    os_opt_apply(table_);
    EXPECT_STREQ(text_, " x ");
}

TEST_F(OsOpt, IntegerValueReadsLikeAtol) {
    ASSERT_EQ(os_opt_set(table_, "http_server_port= 81xyz"), 0);
    ASSERT_EQ(os_opt_set(table_, "debug_server_port=abc"), 0);
    os_opt_apply(table_);
    EXPECT_EQ(http_port_, 81);
    EXPECT_EQ(shell_port_, 0);
}

TEST_F(OsOpt, OutOfRangeIntegerStopsAtTheLimits) {
    ASSERT_EQ(os_opt_set(table_, "http_server_port=99999999999"), 0);
    ASSERT_EQ(os_opt_set(table_, "debug_server_port=-99999999999"), 0);
    os_opt_apply(table_);
    EXPECT_EQ(http_port_, INT32_MAX);
    EXPECT_EQ(shell_port_, INT32_MIN);
}

TEST_F(OsOpt, UnknownKeyIsLoggedAndRejected) {
    int rc = 0;
    std::string log = set_log("foo=1", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(log.find("os_opt_kv_get"), std::string::npos) << log;
    EXPECT_NE(log.find("unsupported key [foo]\n"), std::string::npos) << log;
}

TEST_F(OsOpt, ArgumentWithoutEqualsSignIsASyntaxError) {
    int rc = 0;
    std::string log = set_log("port", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(log.find("os_opt_kv_get"), std::string::npos) << log;
    EXPECT_NE(log.find("port syntax error Example: k=v\n"), std::string::npos) << log;
}

TEST_F(OsOpt, PartsUpTo255BytesAreAccepted) {
    std::string value(255, '7');
    ASSERT_EQ(os_opt_set(table_, ("panic_dump_dir=" + value).c_str()), 0);
    os_opt_apply(table_);
    EXPECT_EQ(std::string(text_), value);
}

TEST_F(OsOpt, OverlongValueIsASyntaxError) {
    int rc = 0;
    std::string arg = "panic_dump_dir=" + std::string(256, 'v');
    std::string log = set_log(arg, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(log.find(arg + " syntax error Example: k=v\n"), std::string::npos);
    EXPECT_EQ(table_[2].pending, nullptr);
}

TEST_F(OsOpt, OverlongNameIsASyntaxError) {
    int rc = 0;
    std::string log = set_log(std::string(256, 'k') + "=1", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(log.find("syntax error Example: k=v\n"), std::string::npos);
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
