// What an operator meets in the first hour, against the real binary: where
// the shell listens by default, the log file of a running instance beside
// one-shot runs, exit codes, per-session last lines and the process name.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

const std::string V4_LOOPBACK = "0100007F";
const std::string V6_LOOPBACK = "00000000000000000000000001000000";

// Local addresses (as /proc/net/tcp* writes them) listening on port.
std::set<std::string> listening_addresses(int port) {
    char port_hex[8];
    std::snprintf(port_hex, sizeof port_hex, "%04X", port);
    std::set<std::string> found;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            size_t colon = local.find(':');
            if (state == "0A" && colon != std::string::npos && local.substr(colon + 1) == port_hex)
                found.insert(local.substr(0, colon));
        }
    }
    return found;
}

struct ListenRow {
    const char *name;
    const char *ini;  // null: no hubd.ini at all
    bool everywhere;
};

class ShellListen : public ::testing::TestWithParam<ListenRow> {};

TEST_P(ShellListen, AddressesAndWarning) {
    const ListenRow &row = GetParam();
    HubdDir dir;
    int port = free_tcp_port();
    if (row.ini) dir.write_file("hubd.ini", std::string("[debug]\nshell_server_port = 1\n") + row.ini);
    HubdProcess p(dir, {"-q", "-s", "debug_server_port=" + std::to_string(port), "-s", "http_server_port=0"});
    std::string first_listener = row.everywhere ? "0.0.0.0:" : "127.0.0.1:";
    ASSERT_TRUE(p.wait_for_err("debug shell listening on " + first_listener + std::to_string(port))) << p.err();
    // The console runs once start-up has logged everything it would.
    p.send("echo started\n");
    ASSERT_TRUE(p.wait_for_out("started")) << p.err();
    std::set<std::string> addrs = listening_addresses(port);
    const std::string v4_any = "00000000", v6_any(32, '0');
    if (row.everywhere) {
        EXPECT_TRUE(addrs.count(v4_any)) << p.err();
        EXPECT_NE(p.err().find("debug shell listens on all addresses without authentication"), std::string::npos)
            << p.err();
    } else {
        // ::1 is there unless the machine has no IPv6.
        EXPECT_TRUE(addrs.count(V4_LOOPBACK));
        for (const std::string &addr : addrs) EXPECT_TRUE(addr == V4_LOOPBACK || addr == V6_LOOPBACK) << addr;
        EXPECT_EQ(p.err().find("without authentication"), std::string::npos) << p.err();
    }
    EXPECT_EQ(p.stop(SIGTERM).exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ShellListen,
    ::testing::Values(ListenRow{"NoFile", nullptr, false}, ListenRow{"NoAddressKey", "", false},
                      ListenRow{"EmptyAddressMeansAll", "shell_server_addr =\n", true},
                      ListenRow{"BothLoopbacksNamed", "shell_server_addr = 127.0.0.1,::1\n", false}),
    [](const auto &info) { return std::string(info.param.name); });

std::string pid_mark(pid_t pid) { return " " + std::to_string(pid) + " --- ["; }

TEST(SafeDefaults, OneShotRunsLeaveTheRunningInstancesLogAlone) {
    ShellHubd s("[log]\nlevel = verb\nfile = hubd.log\nfile_mode = w\n");
    HubdDir &dir = s.dir;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    std::string before = dir.read_file("hubd.log");
    ASSERT_NE(before.find("debug shell listening on"), std::string::npos) << before;
    // Lines the server wrote before the file was opened are in it too.
    EXPECT_NE(before.find("app_lib_init"), std::string::npos) << before;

    HubdResult exec = run_hubd(dir, {"-q", "-e", "show info"});
    EXPECT_EQ(exec.exit_code, 0) << exec.err;
    HubdResult dump = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(dump.exit_code, 0);
    HubdResult second = run_hubd(dir, {"-q"});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("Can only run one instance"), std::string::npos) << second.err;

    std::string after = dir.read_file("hubd.log");
    EXPECT_EQ(after.rfind(before, 0), 0u) << "the server's lines were lost:\n" << after;
    std::istringstream lines(after);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_NE(line.find(pid_mark(s.proc->pid())), std::string::npos) << "a line of another run: " << line;
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

TEST(SafeDefaults, UnreadableConfigFileEndsTheStartWithOne) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[debug]\nshell_server_port = 0\n");
    std::filesystem::create_directory(dir.path() + "/dir.ini");
    const struct {
        const char *path;
        const char *reason;
    } rows[] = {{"missing.ini", "No such file or directory"}, {"dir.ini", "Is a directory"}};
    for (const auto &row : rows) {
        const std::string path = dir.path() + "/" + row.path;
        HubdResult r = run_hubd(dir, {"-q", "-c", path, "-p"});
        EXPECT_EQ(r.exit_code, 1) << row.path;
        EXPECT_EQ(r.out, "") << row.path;
        EXPECT_EQ(r.err, "cannot open config file " + path + ": " + row.reason + "\n");
    }
}

TEST(SafeDefaults, EmptyLineRepeatsOnlyTheSessionsOwnLine) {
    ShellHubd s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    ShellConn a(s.port), b(s.port);
    EXPECT_EQ(a.run("echo a"), "a\r\n");
    EXPECT_EQ(b.run(""), "");
    EXPECT_EQ(b.run("echo b"), "b\r\n");
    EXPECT_EQ(a.run(""), "a\r\n");
    EXPECT_EQ(b.run(""), "b\r\n");
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

TEST(SafeDefaults, ShowStatusAnswersWhatAnOperatorAsksFirst) {
    ShellHubd s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    ShellConn other(s.port), c(s.port);
    EXPECT_EQ(other.run("echo up"), "up\r\n");
    std::string reply = c.run("show status");
    std::map<std::string, std::string> fields;
    std::istringstream lines(reply);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1, line.size() - eq - 2);
    }
    EXPECT_EQ(fields["pid"], std::to_string(s.proc->pid())) << reply;
    // These two, and perhaps the readiness probe still on its way out.
    EXPECT_GE(std::atoi(fields["shell_sessions"].c_str()), 2) << reply;
    EXPECT_EQ(fields["web_sessions"], "0");
    EXPECT_EQ(fields["config_file"], std::filesystem::canonical(s.dir.path()).string() + "/hubd.ini");
    EXPECT_TRUE(std::regex_match(fields["start_time"], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4})")))
        << fields["start_time"];
    for (const char *key : {"uptime_s", "rss_bytes", "threads", "open_fds"})
        EXPECT_TRUE(std::regex_match(fields[key], std::regex(R"(\d+)"))) << key << "=" << fields[key];
    EXPECT_GT(std::stoll(fields["rss_bytes"]), 0);
    EXPECT_GE(std::stoi(fields["threads"]), 3);  // main, signals, event loop, this session
    EXPECT_EQ(s.proc->stop(SIGTERM).exit_code, 0);
}

TEST(SafeDefaults, PgrepFindsTheRunningInstanceByName) {
    HubdDir dir;
    HubdProcess p(dir, no_servers({"-l", "verb"}));
    ASSERT_TRUE(p.wait_for_err("app_start_server(): ==>")) << p.err();
    FILE *pgrep = popen("pgrep -x hubd", "r");
    ASSERT_NE(pgrep, nullptr);
    std::set<std::string> pids;
    char buf[64];
    while (std::fgets(buf, sizeof buf, pgrep)) pids.insert(std::string(buf, std::strcspn(buf, "\n")));
    pclose(pgrep);
    EXPECT_TRUE(pids.count(std::to_string(p.pid()))) << "pgrep -x hubd does not list " << p.pid();
    EXPECT_EQ(p.stop(SIGTERM).exit_code, 0);
}

}  // namespace
