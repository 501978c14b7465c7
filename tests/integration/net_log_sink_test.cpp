#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "integration/rsyslog_peer.h"

namespace {

TEST(NetLogSinkConfig, SyslogAndBsvlogKeysShowInTheDump) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[log]\nsyslog = tcp://127.0.0.1:601\nbsvlog = udps://127.0.0.1:9\n");
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("log_syslog_enale_out=1\nlog_syslog_url=tcp://127.0.0.1:601\n"
                         "log_bsvlog_url=udps://127.0.0.1:9\n"),
              std::string::npos)
        << r.out;
}

TEST(NetLogSinkConfig, UrlsThatDoNotParseStopTheStart) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[log]\nsyslog = nothing\nbsvlog = udp://127.0.0.1:99999\n");
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("hubd.ini:2: [log] syslog = nothing: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("hubd.ini:3: [log] bsvlog = udp://127.0.0.1:99999: a port is 1 to 65535"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
}

// The runs that end before the servers start (-p, and -e with no server to
// reach) wait for the sinks' opener threads; ThreadSanitizer flags one left.
TEST(NetLogSinkTsan, EarlyExitsWaitForTheSinkOpeners) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[log]\nsyslog = tcp://127.0.0.1:601\nbsvlog = udp://127.0.0.1:9\n");
    std::string port = std::to_string(free_tcp_port());
    const struct {
        std::vector<std::string> args;
        int exit_code;
    } runs[] = {
        {{"-q", "-p"}, 0},
        {{"-q", "-s", "debug_server_port=" + port, "-s", "http_server_port=0", "-e", "show info"}, 1},
    };
    for (const auto &run : runs) {
        HubdResult r = run_hubd(dir, run.args);
        EXPECT_EQ(r.exit_code, run.exit_code) << run.args.back() << ": " << r.err;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    }
}

TEST(NetLogSinkSyslog, HubdLinesReachRsyslogOverTcp) {
    if (access(RSYSLOGD, X_OK) != 0) GTEST_SKIP() << RSYSLOGD << " is not installed";
    HubdDir dir;
    RsyslogPeer peer(dir.path());
    ASSERT_TRUE(peer.start()) << peer_read_file(peer.file("rs.err"));
    dir.write_file("hubd.ini", "[log]\nsyslog = " + peer.tcp_url() + "\n");
    HubdResult r = run_hubd(dir, {"-q", "-l", "verb", "-p"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> got = peer.lines(1);
    ASSERT_FALSE(got.empty());
    // Verbose lines of the start-up, as severity debug from user, tagged with
    // their module and the process id, text after the time prefix.
    for (const std::string &line : got) EXPECT_EQ(line.rfind("15|user|7|", 0), 0u) << line;
    const std::string &first = got[0];
    size_t pid_at = first.find("|main|");
    ASSERT_NE(pid_at, std::string::npos) << first;
    std::string pid = first.substr(pid_at + 6, first.find('|', pid_at + 6) - pid_at - 6);
    EXPECT_EQ(first.substr(pid_at), "|main|" + pid + "| [" + pid + "] app_lib_init(): ==>|");
}

}  // namespace
