// The shell session's gate in-process: auth answers and the three tries,
// root served without the password, and the rate of refusal reports.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "http_util.h"
#include "libdbg/dbg_access.h"

namespace {

int collect_print(void *out, const char *fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    *static_cast<std::string *>(out) += buf;
    return n;
}
int no_flush(void *) { return 0; }

TEST(DbgAccess, GateAnswersAuthAndEndsAfterThreeWrongTries) {
    int port = 0;
    int listener = listen_loopback(&port);
    ASSERT_GE(listener, 0);
    int client = connect_loopback(port);
    ASSERT_GE(client, 0);
    int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(server, 0);
    dbg_access_set("", "pw", 1);
    net_sock stream{};
    net_sock_init_socket(&stream, static_cast<os_socket>(server + 1), 1000);
    dbgsh_gate gate{};
    ASSERT_EQ(dbgsh_gate_open(&gate, &stream), 0);
    // The test runs as root or as the user the process is: served without the password.
    EXPECT_FALSE(gate.need_pwd);
    EXPECT_TRUE(gate.peer.uid_known);
    std::string out;
    shell_ctx ctx{};
    ctx.out = &out;
    ctx.print = collect_print;
    ctx.flush = no_flush;
    struct {
        const char *line;
        int verdict;
        const char *reply;
    } rows[] = {
        {"auth pw", 1, "ok\n"},
        {"auth", 1, "error: wrong password (1 of 3 tries)\n"},
        {"echo hi", 0, ""},
        {"authx", 0, ""},
        {"auth pw2", 1, "error: wrong password (2 of 3 tries)\n"},
        {"auth p", -1, "error: wrong password, too many tries: closing\n"},
    };
    for (const auto &row : rows) {
        out.clear();
        EXPECT_EQ(dbgsh_gate_request(&gate, &ctx, row.line), row.verdict) << row.line;
        EXPECT_EQ(out, row.reply) << row.line;
    }
    dbg_access_set("", "", 1);
    close(client);
    net_close(&stream);
    close(listener);
}

TEST(DbgAccess, RefusalReportsAreRateLimitedAndCounted) {
    dbg_log_rate rate;
    unsigned skipped = 99;
    EXPECT_TRUE(dbg_log_rate_due(&rate, &skipped));
    EXPECT_EQ(skipped, 0u);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(dbg_log_rate_due(&rate, &skipped));
    EXPECT_EQ(rate.skipped.load(), 5u);
}

}  // namespace
