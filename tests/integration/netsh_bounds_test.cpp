// What bounds a shell session: files that never end, the number of sessions,
// and a stop that must not release what another thread still uses.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

TEST(NetshBounds, SourceOfAFileThatNeverEndsIsRefusedAndTheStopStaysQuick) {
    ShellHubd s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    std::string fifo = s.dir.path() + "/nobody_writes";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ShellConn c(s.port);
    for (const std::string &path : {std::string("/dev/zero"), fifo})
        EXPECT_EQ(c.run("source " + path), crlf("open:[" + path + "] error:Not a regular file\n")) << path;
    EXPECT_EQ(c.run("echo still here"), "still here\r\n");
    HubdResult r = s.proc->stop(SIGTERM);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find("sessions still running"), std::string::npos) << r.err;
}

// A session whose client has just gone holds its place until its thread
// notices: a new client is admitted after at most a few tries.
std::unique_ptr<ShellConn> admitted_session(ShellHubd &s, const std::string &word) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto c = std::make_unique<ShellConn>(s.port);
        if (c->run("echo " + word) == word + "\r\n") return c;
        s.proc->wait_for_err("\x01never\x01", 100);
    }
    return nullptr;
}

TEST(NetshBounds, SessionsBeyondTheCapAreRefusedWithAMessage) {
    ShellHubd s("shell_server_max_sessions = 2\n");
    ASSERT_TRUE(s.ready()) << s.proc->err();
    auto first = admitted_session(s, "1");
    auto second = admitted_session(s, "2");
    ASSERT_TRUE(first && second);

    ShellConn refused(s.port);
    std::vector<std::string> got;
    ASSERT_TRUE(refused.replies(1, &got));
    EXPECT_EQ(got[0], "error: too many shell sessions (2), try again later\r\n");
    EXPECT_TRUE(refused.wait_closed());
    EXPECT_EQ(second->run("echo still 2"), "still 2\r\n");

    // A session that ends frees its place for the next client.
    first.reset();
    EXPECT_TRUE(admitted_session(s, "3"));
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

// The signal thread runs the stop while the main thread still reads the
// console; the libraries may go down only after the main thread is done.
// Under the sanitizers any use after release ends hubd with a report.
TEST(StopTsan, SigtermWhileTheConsoleReadsReleasesNothingInUse) {
    for (int round = 0; round < 3; ++round) {
        ShellHubd s;
        ASSERT_TRUE(s.ready()) << s.proc->err();
        HubdResult r = s.proc->stop(SIGTERM);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    }
}

}  // namespace
