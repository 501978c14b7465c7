#include <gtest/gtest.h>

#include <string>

#include "hubd_process_util.h"

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

TEST(NetLogSinkConfig, UrlsThatDoNotParseLeaveTheSinksEmpty) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[log]\nsyslog = nothing\nbsvlog = udp://127.0.0.1:99999\n");
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("log_bsvlog_url=''\n"), std::string::npos) << r.out;
}

}  // namespace
