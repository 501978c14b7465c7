#include <gtest/gtest.h>

#include <string>

#include "libapp/app_listen.h"

namespace {

TEST(AppListen, NoConfiguredAddressMeansLoopbackOnly) {
    EXPECT_STREQ(app_listen_addrs(nullptr), APP_LOOPBACK_ADDRS);
    EXPECT_FALSE(app_listen_beyond_loopback(app_listen_addrs(nullptr)));
    // An empty address written in the file is obeyed: every address.
    EXPECT_STREQ(app_listen_addrs(""), "");
}

TEST(AppListen, BeyondLoopback) {
    const struct {
        const char *addrs;
        bool beyond;
    } rows[] = {
        {"", true},
        {";,", true},
        {"0.0.0.0", true},
        {"::", true},
        {"192.168.1.5", true},
        {"127.0.0.1;192.168.1.5", true},
        {"fe80::1", true},
        {"::ffff:10.0.0.1", true},
        {"example.org", true},
        {"127.0.0.1", false},
        {"127.9.8.7", false},
        {"::1", false},
        {"::ffff:127.0.0.1", false},
        {"localhost", false},
        {"127.0.0.1,::1", false},
        {"127.0.0.1;;::1;", false},
    };
    for (const auto &row : rows) EXPECT_EQ(app_listen_beyond_loopback(row.addrs), row.beyond) << row.addrs;
}

}  // namespace
