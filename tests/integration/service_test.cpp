// The program as a systemd service: the notify protocol seen from a socket
// the test owns, the watchdog pings, and the unit file behind -i and -u.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "hubd_process_util.h"

namespace fs = std::filesystem;

namespace {

const std::string NO_SERVERS_INI = "[debug]\nshell_server_port = 0\nhttp_server_port = 0\n";
constexpr int WAIT_LIMIT_MS = 20000;
const std::string WATCHDOG = "WATCHDOG=1";

// The service manager's end of the notify protocol: a datagram socket bound to a path.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    bool ok() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }
    // The next message within limit_ms, or "" when none came.
    std::string next(int limit_ms = WAIT_LIMIT_MS) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, limit_ms) <= 0) return "";
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    // The next message that is not a watchdog ping.
    std::string next_state() {
        for (;;) {
            std::string message = next();
            if (message != WATCHDOG) return message;
        }
    }
    // Messages already queued, read without waiting.
    int drain() {
        int count = 0;
        while (!next(0).empty()) ++count;
        return count;
    }

private:
    std::string path_;
    int fd_ = -1;
};

// True when something accepts TCP connections on 127.0.0.1:port now.
bool accepts(int port) {
    int fd = loopback_connect(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

std::string shell_ini(int shell_port, const std::string &extra = "") {
    return "[debug]\nshell_server_port = " + std::to_string(shell_port) + "\nhttp_server_port = 0\n" + extra;
}

// With the servers off, and with a shell port, which must accept once READY=1 is sent.
TEST(Service, ReportsStartRunningInterrogationAndStop) {
    for (int port : {0, free_tcp_port()}) {
        HubdDir dir;
        dir.write_file("hubd.ini", port ? shell_ini(port) : NO_SERVERS_INI);
        NotifySocket notify(dir.path() + "/notify");
        ASSERT_TRUE(notify.ok());
        HubdProcess p(dir, {"-q", "-d"}, {{"NOTIFY_SOCKET", notify.path()}});
        EXPECT_EQ(notify.next_state(), "STATUS=start pending\nEXTEND_TIMEOUT_USEC=3000000");
        ASSERT_EQ(notify.next_state(), "READY=1\nSTATUS=running");
        if (port) {
            EXPECT_TRUE(accepts(port));
        }
        // SIGHUP asks for the state again and changes nothing.
        kill(p.pid(), SIGHUP);
        EXPECT_EQ(notify.next_state(), "READY=1\nSTATUS=running");
        kill(p.pid(), SIGTERM);
        EXPECT_EQ(notify.next_state(), "STOPPING=1\nSTATUS=stop pending");
        EXPECT_EQ(notify.next_state(), "STATUS=stopped");
        HubdResult r = p.wait();
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
}

// -d that cannot reach a service manager is a failed start, said as such.
TEST(Service, WithoutAServiceManagerItSaysSoAndFails) {
    HubdDir dir;
    dir.write_file("hubd.ini", NO_SERVERS_INI);
    const std::pair<std::string, std::string> rows[] = {
        {"", "NOTIFY_SOCKET is not set\n"},
        {dir.path() + "/no_such_socket", "/no_such_socket: No such file or directory\n"},
    };
    for (const auto &[socket, message] : rows) {
        HubdProcess p(dir, {"-q", "-d"}, {{"NOTIFY_SOCKET", socket}}, false);
        HubdResult r = p.wait();
        EXPECT_EQ(r.exit_code, 1) << socket;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists("/tmp/qelto_hubd_" + std::to_string(p.pid()))) << socket;
    }
}

// A configured listener that cannot listen fails the start, in both modes:
// exit 1 with the reason, and under systemd no READY=1 but the reason as status.
TEST(Service, AListenerThatCannotBindFailsTheStart) {
    const int shell_port = free_tcp_port();
    int taken_port = 0;
    const int taken = loopback_bind(SOCK_STREAM, 0, &taken_port);
    ASSERT_GE(taken, 0);
    struct Row {
        std::string ini, reason;
    };
    const Row rows[] = {
        {shell_ini(shell_port, "shell_server_addr = 192.0.2.1\n"),
         "debug shell cannot listen on [192.0.2.1] port " + std::to_string(shell_port) +
             ": Cannot assign requested address"},
        {"[debug]\nshell_server_port = " + std::to_string(shell_port) +
             "\nhttp_server_addr = 127.0.0.1\nhttp_server_port = " + std::to_string(taken_port) + "\n",
         "web console cannot listen on [127.0.0.1] port " + std::to_string(taken_port) + ": Address already in use"},
    };
    for (const Row &row : rows) {
        HubdDir dir;
        dir.write_file("hubd.ini", row.ini);
        HubdResult r = run_hubd(dir, {"-q"}, {}, "");
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_NE(r.err.find(row.reason + "\n"), std::string::npos) << r.err;

        NotifySocket notify(dir.path() + "/notify");
        ASSERT_TRUE(notify.ok());
        r = run_hubd(dir, {"-q", "-d"}, {{"NOTIFY_SOCKET", notify.path()}});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        std::string messages;
        for (std::string m = notify.next(0); !m.empty(); m = notify.next(0)) messages += m + "|";
        EXPECT_EQ(messages.find("READY=1"), std::string::npos) << messages;
        EXPECT_NE(messages.find("STATUS=" + row.reason + "|"), std::string::npos) << messages;
    }
    close(taken);
}

// A second stop signal while the stop runs changes nothing: the stop
// finishes, the exit code is 0 and the live-log FIFO is gone.
TEST(Service, ASecondStopSignalIsIgnoredAndTheStopFinishes) {
    struct Row {
        bool service;
        int sig;
    };
    for (const Row row : {Row{true, SIGTERM}, Row{false, SIGINT}, Row{false, SIGTERM}}) {
        HubdDir dir;
        const int port = free_tcp_port();
        dir.write_file("hubd.ini", shell_ini(port));
        NotifySocket notify(dir.path() + "/notify");
        ASSERT_TRUE(notify.ok());
        EnvOverrides env;
        if (row.service) env["NOTIFY_SOCKET"] = notify.path();
        HubdProcess p(dir, row.service ? std::vector<std::string>{"-q", "-d"} : std::vector<std::string>{"-q"}, env);
        const std::string fifo = "/tmp/qelto_hubd_" + std::to_string(p.pid());
        if (row.service) {
            ASSERT_EQ(notify.next_state(), "STATUS=start pending\nEXTEND_TIMEOUT_USEC=3000000");
            ASSERT_EQ(notify.next_state(), "READY=1\nSTATUS=running");
        } else {
            ASSERT_TRUE(p.wait_for_err("debug shell listening on"));
        }
        ASSERT_TRUE(fs::exists(fifo));
        // A session open makes the stop take its time.
        const int session = loopback_connect(port);
        ASSERT_GE(session, 0);
        kill(p.pid(), row.sig);
        usleep(50 * 1000);
        kill(p.pid(), row.sig);
        HubdResult r = p.wait();
        close(session);
        EXPECT_EQ(r.term_signal, 0) << row.sig;
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_FALSE(fs::exists(fifo)) << fifo;
    }
}

TEST(Service, WatchdogPingsStopWhileTheLoopIsBlocked) {
    HubdDir dir;
    fs::copy_file(HUBD_CRASH_BIN, dir.binary(), fs::copy_options::overwrite_existing);
    NotifySocket notify(dir.path() + "/notify");
    ASSERT_TRUE(notify.ok());
    // One second: a ping every half second.
    HubdProcess p(dir, {"-q"},
                  {{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "1000000"}, {"HUBD_CRASH", "block_loop"}});
    ASSERT_EQ(notify.next(), WATCHDOG);
    ASSERT_EQ(notify.next(), WATCHDOG);
    p.send("block\n");
    ASSERT_TRUE(p.wait_for_err("loop blocked\n"));
    notify.drain();  // pings of passes that ended before the block
    // Four ping intervals without a pass: nothing may come.
    EXPECT_EQ(notify.next(2000), "");
    p.send("release\n");
    ASSERT_TRUE(p.wait_for_err("loop released\n"));
    EXPECT_EQ(notify.next(), WATCHDOG);
    p.close_stdin();
    EXPECT_EQ(p.wait().exit_code, 0);
}

std::string expected_unit(const std::string &binary) {
    return "[Unit]\n"
           "Description=QELTO TESSEL Server\n"
           "StartLimitIntervalSec=86400\n"
           "StartLimitBurst=3\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           binary +
           " -d\n"
           "Restart=on-failure\n"
           "RestartSec=5\n"
           "WatchdogSec=30\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

TEST(Service, InstallWritesTheUnitOnceAndRemoveTakesItAway) {
    HubdDir dir;
    const std::string units = dir.path() + "/units";
    fs::create_directory(units);
    const std::string unit = units + "/hubd.service";
    auto expect_run = [&](const std::vector<std::string> &args, int exit_code, const std::string &message) {
        HubdResult r = run_hubd(dir, args, {{"HUBD_UNIT_DIR", units}});
        EXPECT_EQ(r.exit_code, exit_code) << args.back() << r.err;
        EXPECT_NE(r.err.find(message + "\n"), std::string::npos) << r.err;
    };

    expect_run({"-q", "-i"}, 0, "hubd service installed.");
    EXPECT_EQ(dir.read_file("units/hubd.service"), expected_unit(dir.binary()));
    if (std::system("systemd-analyze --version >/dev/null 2>&1") == 0) {
        std::string verify = "systemd-analyze verify " + unit + " >" + dir.path() + "/verify.txt 2>&1";
        EXPECT_EQ(std::system(verify.c_str()), 0) << dir.read_file("verify.txt");
    }
    // -w is -i by another name; neither replaces an installed unit.
    for (const char *option : {"-i", "-w"}) expect_run({"-q", option}, 255, "CreateService failed - File exists");
    EXPECT_EQ(dir.read_file("units/hubd.service"), expected_unit(dir.binary()));

    expect_run({"-q", "-u"}, 0, "hubd service removed.");
    EXPECT_FALSE(fs::exists(unit));
    expect_run({"-q", "-l", "dbg", "-u"}, 255, "OpenService failed - No such file or directory");
    expect_run({"-q", "-u"}, 255, "no hubd unit is installed: " + unit + " does not exist");
}

// The unit runs the service the way -i was asked for: the configuration,
// log file, level and settings stay in its command line, paths made absolute.
TEST(Service, InstallKeepsTheOptionsThatShapeTheService) {
    HubdDir dir;
    const std::string units = dir.path() + "/units";
    fs::create_directory(units);
    dir.write_file("my hubd.ini", NO_SERVERS_INI);
    HubdResult r = run_hubd(dir, {"-q", "-i", "-c", dir.path() + "/my hubd.ini", "-o", "logs/hubd.log", "-l", "dbg",
                                  "-s", "http_server_port=8080"},
                            {{"HUBD_UNIT_DIR", units}});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string unit = dir.read_file("units/hubd.service");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_NE(unit.find("ExecStart=" + dir.binary() + " -d -c \"" + dir.path() + "/my hubd.ini\" -o " + cwd +
                        "/logs/hubd.log -l dbg -s http_server_port=8080\n"),
              std::string::npos)
        << unit;
}

TEST(Service, InstallIntoAFolderThatCannotTakeItFails) {
    HubdDir dir;
    dir.write_file("plain_file", "not a folder\n");
    const std::pair<const char *, const char *> rows[] = {
        {"missing", "No such file or directory"},
        {"plain_file", "Not a directory"},
    };
    for (const auto &[folder, reason] : rows) {
        HubdResult r = run_hubd(dir, {"-q", "-i"}, {{"HUBD_UNIT_DIR", dir.path() + "/" + folder}});
        EXPECT_EQ(r.exit_code, 255) << folder;
        EXPECT_NE(r.err.find(std::string("OpenSCManager error: ") + reason + "\n"), std::string::npos) << r.err;
    }
}

}  // namespace
