// A broken configuration stops the start with one message naming the file,
// the line and what is allowed; -t says the same and exits; the command line
// is held to the same rules.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "hubd_process_util.h"

namespace {

// Every file starts with these lines, so that no row opens a port by accident.
const std::string HEAD = "; test file\n[debug]\nshell_server_port = 0\nhttp_server_port = 0\n";  // lines 1-4

struct BrokenRow {
    const char *name;
    std::string tail;     // lines from 5 on
    std::string message;  // after "hubd.ini:"
    bool error;           // false: an unknown name, which a start only warns about
};

std::string row_name(const testing::TestParamInfo<BrokenRow> &info) { return info.param.name; }

class BrokenConf : public testing::TestWithParam<BrokenRow> {};

TEST_P(BrokenConf, StartAndCheckNameFileLineAndWhatIsAllowed) {
    const BrokenRow &row = GetParam();
    HubdDir dir;
    dir.write_file("hubd.ini", HEAD + row.tail);
    const std::string message = "hubd.ini:" + row.message;

    HubdResult check = run_hubd(dir, {"-t"});
    EXPECT_EQ(check.exit_code, 1) << check.err;
    EXPECT_NE(check.err.find(message), std::string::npos) << check.err;
    EXPECT_EQ(check.out.find("configuration ok"), std::string::npos);

    if (row.error) {
        HubdResult start = run_hubd(dir, {"-q"});
        EXPECT_EQ(start.exit_code, 1) << start.err;
        EXPECT_NE(start.err.find(message), std::string::npos) << start.err;
        EXPECT_NE(start.err.find("not started"), std::string::npos) << start.err;
    } else {
        // A typo is said once on the console and once in the log file, and
        // the start goes on.
        HubdProcess p(dir, {"-q", "-o", "hubd.log"});
        EXPECT_TRUE(p.wait_for_err(message)) << p.err();
        HubdResult end = p.stop(SIGTERM);
        EXPECT_EQ(end.exit_code, 0) << end.err;
        EXPECT_EQ(count_of(end.err, message), 1u) << end.err;
        std::string log = dir.read_file("hubd.log");
        EXPECT_EQ(count_of(log, message), 1u) << log;
    }
}

const std::string PORT_RULE = ": a port is 1 to 65535 (0 switches the server off)";

INSTANTIATE_TEST_SUITE_P(
    Rows, BrokenConf,
    testing::Values(
        BrokenRow{"SyntaxError", "panic_dump_dir = d\nthis line is broken\n",
                  "6: expected key = value: this line is broken", true},
        BrokenRow{"UnclosedSection", "[log\nlevel = info\n", "5: expected [section]: [log", true},
        BrokenRow{"UnknownKey", "shel_server_port = 1\n",
                  "5: [debug] unknown key shel_server_port, did you mean shell_server_port?", false},
        BrokenRow{"UnknownSection", "[lgo]\nlevel = info\n", "5: unknown section [lgo], did you mean [log]?", false},
        BrokenRow{"UnknownLogKey", "[log]\nfile_sise = 4k\n",
                  "6: [log] unknown key file_sise, did you mean file_size?", false},
        BrokenRow{"UnknownHostKey", "[hubd]\nlogin_fail_cont = 3\n",
                  "6: [hubd] unknown key login_fail_cont, did you mean login_fail_count?", false},
        BrokenRow{"PortTooHigh", "http_server_port = 70000\n", "5: [debug] http_server_port = 70000" + PORT_RULE, true},
        BrokenRow{"PortNotANumber", "shell_server_port = abc\n", "5: [debug] shell_server_port = abc" + PORT_RULE,
                  true},
        BrokenRow{"PortTrailingText", "shell_server_port = 16581abc\n",
                  "5: [debug] shell_server_port = 16581abc" + PORT_RULE, true},
        BrokenRow{"AddressListWithSemicolon", "http_server_addr = 127.0.0.1;::1\n",
                  "5: [debug] http_server_addr = 127.0.0.1: addresses are separated by ',' (';' starts a comment)",
                  true},
        BrokenRow{"AddressName", "shell_server_addr = localhost\n",
                  "5: [debug] shell_server_addr = localhost: 'localhost' is no IP address", true},
        BrokenRow{"LockoutSwitch", "http_login_lockout = 2\n", "5: [debug] http_login_lockout = 2: 0 or 1", true},
        BrokenRow{"Poller", "poller = kqueue\n", "5: [debug] poller = kqueue: epoll or select", true},
        BrokenRow{"DumpKeep", "panic_dump_keep = -1\n", "5: [debug] panic_dump_keep = -1: a number from 0", true},
        BrokenRow{"ProtectedMode", "protected_mode = yes\n", "5: [debug] protected_mode = yes: 0 or 1", true},
        BrokenRow{"MaxSessions", "shell_server_max_sessions = 0\n",
                  "5: [debug] shell_server_max_sessions = 0: a number from 1 to 10000", true},
        BrokenRow{"FileModeAppend", "[log]\nfile_mode = append\n",
                  "6: [log] file_mode = append: a (append) or w (truncate at start)", true},
        BrokenRow{"Flags", "[log]\nflags = time|colour\n", "6: [log] flags = time|colour: 'colour' is no flag", true},
        BrokenRow{"Dbgview", "[log]\ndbgview = 7\n", "6: [log] dbgview = 7: 0 or 1", true},
        BrokenRow{"Level", "[log]\nlevel = bogus\n",
                  "6: [log] level = bogus: a level is one of verb|dbg|info|noti|warn|err|crit", true},
        BrokenRow{"FileSize", "[log]\nfile_size = 1k\n",
                  "6: [log] file_size = 1k: a size of at least 2048 bytes", true},
        BrokenRow{"SyslogGarbage", "[log]\nsyslog = garbage\n",
                  "6: [log] syslog = garbage: a syslog URL is tcp://host[:port] or udp://host[:port]", true},
        BrokenRow{"SyslogNoHost", "[log]\nsyslog = udp://:514\n", "6: [log] syslog = udp://:514: the host is missing",
                  true},
        BrokenRow{"SyslogPortZero", "[log]\nsyslog = tcp://127.0.0.1:0\n",
                  "6: [log] syslog = tcp://127.0.0.1:0: a port is 1 to 65535", true},
        BrokenRow{"BsvlogHttp", "[log]\nbsvlog = http://x\n",
                  "6: [log] bsvlog = http://x: a collector URL is udp://host[:port]", true},
        BrokenRow{"BsvlogTcp", "[log]\nbsvlog = tcp://127.0.0.1:5140\n",
                  "6: [log] bsvlog = tcp://127.0.0.1:5140: a collector URL is udp://host[:port]", true},
        BrokenRow{"HostCount", "[hubd]\nlogin_fail_count = -1\n",
                  "6: [hubd] login_fail_count = -1: a number of failed logins from 0 to 1000000", true}),
    row_name);

TEST(ConfCheckOption, GoodFileIsOkAndOpensNothing) {
    HubdDir dir;
    dir.write_file("hubd.ini", HEAD + "[log]\nfile = check.log\nfile_mode = a\nlevel = dbg\n");
    HubdResult r = run_hubd(dir, {"-t", "-s", "shell_server_port=12"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "configuration ok\n");
    EXPECT_FALSE(dir.exists("check.log"));
}

TEST(ConfCheckOption, CommandLineErrorsAreCountedWithTheFile) {
    HubdDir dir;
    dir.write_file("hubd.ini", HEAD);
    struct Row {
        std::vector<std::string> args;
        std::string message;
    } rows[] = {
        {{"-s", "http_server_port=70000"}, "-s http_server_port=70000" + PORT_RULE},
        {{"-s", "shell_server_port=-1"}, "-s shell_server_port=-1" + PORT_RULE},
        {{"-s", "foo=1"}, "unsupported key [foo]"},
        {{"-s", "port"}, "port syntax error Example: k=v"},
    };
    for (const Row &row : rows) {
        for (bool check : {true, false}) {
            std::vector<std::string> args = row.args;
            args.insert(args.begin(), check ? "-t" : "-q");
            HubdResult r = run_hubd(dir, args);
            EXPECT_EQ(r.exit_code, 1) << row.message;
            EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
        }
    }
}

TEST(ConfCheckOption, UnknownLevelOptionIsAUsageError) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-l", "bogus", "-p"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("invalid log level -- bogus"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Usage: hubd"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

// -c reads a pipe and standard input, and a relative name is found where
// the command was started, not beside the executable.
TEST(ConfPath, PipesStandardInputAndRelativeNames) {
    HubdDir dir;
    const std::string mine = "[debug]\nshell_server_port = 0\nhttp_server_port = 4321\n";
    dir.write_file("rel.ini", "[debug]\nhttp_server_port = 1111\n");  // the decoy beside the executable
    ASSERT_EQ(mkdir((dir.path() + "/sub").c_str(), 0755), 0);
    dir.write_file("sub/rel.ini", mine);
    char saved[4096];
    ASSERT_TRUE(getcwd(saved, sizeof saved));
    ASSERT_EQ(chdir((dir.path() + "/sub").c_str()), 0);
    HubdResult rel = run_hubd(dir, {"-q", "-c", "rel.ini", "-p"});
    ASSERT_EQ(chdir(saved), 0);
    HubdResult in = run_hubd(dir, {"-q", "-c", "/dev/stdin", "-p"}, {}, mine);
    const std::string fifo = dir.path() + "/conf.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        FILE *f = std::fopen(fifo.c_str(), "w");
        if (!f) return;
        std::fputs(mine.c_str(), f);
        std::fclose(f);
    });
    HubdResult pipe = run_hubd(dir, {"-q", "-c", fifo, "-p"});
    writer.join();
    for (const HubdResult &r : {rel, in, pipe}) {
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out.rfind("http_server_port=4321\n", 0), 0u) << r.out;
    }
}

bool tcp_accepts(int family, const char *addr, int port) {
    int fd = socket(family, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr, &a->sin_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, addr, &a->sin6_addr);
        len = sizeof *a;
    }
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0;
    close(fd);
    return ok;
}

TEST(ConfAddressList, CommaSeparatedListListensOnEveryAddress) {
    HubdDir dir;
    int port = free_tcp_port();
    dir.write_file("hubd.ini", "[debug]\nshell_server_port = 0\nhttp_server_port = " + std::to_string(port) +
                                   "\nhttp_server_addr = 127.0.0.1,::1\n");
    HubdProcess p(dir, {"-q"});
    bool v4 = false;
    for (long until = now_ms() + 20000; !v4 && now_ms() < until && p.running();) {
        v4 = tcp_accepts(AF_INET, "127.0.0.1", port);
        if (!v4) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(v4) << p.err();
    EXPECT_TRUE(tcp_accepts(AF_INET6, "::1", port)) << p.err();
    p.stop(SIGTERM);
}

}  // namespace
