#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "libpwd/libpwd.h"

namespace {

std::atomic<uint64_t> g_now{1000000};
uint64_t fake_clock() { return g_now.load(); }

class Libpwd : public testing::Test {
protected:
    void SetUp() override {
        libpwd_reset();
        libpwd_set_clock(fake_clock);
        libpwd_set_account("admin", "secret", "backup");
        libpwd_set_limits(3, 60, 16);
    }
    void TearDown() override {
        libpwd_reset();
        libpwd_set_clock(nullptr);
    }
    int check(const char *addr, const char *user, const char *pwd) {
        return libpwd_check_user_pwd(addr, user, pwd, msg);
    }
    char msg[LIBPWD_MSG_SIZE] = "";
};

TEST_F(Libpwd, ThreeWrongPasswordsLockTheAddressEvenForTheRightOne) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(check("1.1.1.1", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_STREQ(msg, "Wrong user or password");
    g_now += 1000;
    EXPECT_EQ(check("1.1.1.1", "admin", "secret"), LIBPWD_LOCKED);
    EXPECT_EQ(std::string(msg).rfind("Login failed 3 times, Please try again in 59.98 minutes (from 1.1.1.1 at ", 0), 0u) << msg;
    // Another address is not affected.
    EXPECT_EQ(check("2.2.2.2", "admin", "backup"), LIBPWD_OK);
}

TEST_F(Libpwd, MissingCredentialsAreNotCountedAsFailures) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(check("1.1.1.1", "", ""), LIBPWD_REFUSED);
    EXPECT_EQ(check("1.1.1.1", "admin", "secret"), LIBPWD_OK);
}

TEST_F(Libpwd, AfterTheWaitTheRightPasswordIsAcceptedAndAWrongOneCountsFromOne) {
    for (int i = 0; i < 3; ++i) check("1.1.1.1", "admin", "bad");
    g_now += 60ull * 60000;
    EXPECT_EQ(check("1.1.1.1", "admin", "secret"), LIBPWD_OK);
    EXPECT_EQ(libpwd_tracked(), 0u);
    for (int i = 0; i < 3; ++i) check("3.3.3.3", "admin", "bad");
    g_now += 60ull * 60000;
    EXPECT_EQ(check("3.3.3.3", "admin", "bad"), LIBPWD_REFUSED);
    // One failure after the reset: two more are needed to lock again.
    EXPECT_EQ(check("3.3.3.3", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("3.3.3.3", "admin", "secret"), LIBPWD_OK);
}

TEST_F(Libpwd, SuccessForgetsEarlierFailures) {
    check("4.4.4.4", "admin", "bad");
    check("4.4.4.4", "someone", "bad");
    EXPECT_EQ(check("4.4.4.4", "admin", "secret"), LIBPWD_OK);
    check("4.4.4.4", "admin", "bad");
    check("4.4.4.4", "admin", "bad");
    EXPECT_EQ(check("4.4.4.4", "admin", "secret"), LIBPWD_OK);
}

TEST_F(Libpwd, BareColonUserIsRefusedWithoutCounting) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(check("5.5.5.5", ":", ""), LIBPWD_REFUSED);
    EXPECT_EQ(check("5.5.5.5", "admin", "secret"), LIBPWD_OK);
}

TEST_F(Libpwd, LimitZeroTracksNothing) {
    libpwd_set_limits(0, 60, 16);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(check("6.6.6.6", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(libpwd_tracked(), 0u);
    EXPECT_EQ(check("6.6.6.6", "admin", "secret"), LIBPWD_OK);
}

TEST_F(Libpwd, FullTableDropsTheOldestFailures) {
    libpwd_set_limits(3, 60, 2);
    check("a", "admin", "bad");
    g_now += 10;
    check("b", "admin", "bad");
    g_now += 10;
    check("c", "admin", "bad");  // "a" has the oldest failure and goes
    EXPECT_EQ(libpwd_tracked(), 2u);
    check("a", "admin", "bad");
    check("a", "admin", "bad");
    // "a" restarted from nothing, so two more failures do not lock it.
    EXPECT_EQ(check("a", "admin", "secret"), LIBPWD_OK);
}

TEST_F(Libpwd, ConcurrentChecksKeepTheTableConsistent) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            char m[LIBPWD_MSG_SIZE];
            std::string addr = "10.0.0." + std::to_string(t);
            for (int i = 0; i < 200; ++i)
                libpwd_check_user_pwd(addr.c_str(), "admin", i % 2 ? "secret" : "bad", m);
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(libpwd_tracked(), 0u);  // every address ended with a success
}

}  // namespace
