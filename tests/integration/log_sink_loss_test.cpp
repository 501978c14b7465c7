// Log sinks that cannot take lines: a full disk under the log file, a syslog
// receiver that accepts and never reads, a console whose reader stopped, and
// a crash report on its way to the UDP collector. Lines are lost only whole,
// counted and reported.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "libbsv/bsv_udp_packet.h"
#include "shell_client_util.h"
#include "web_client_util.h"

namespace {

// The value of "key=N" in a show status reply, -1 when absent.
long long status_value(const std::string &text, const std::string &key) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex("(^|\n)" + key + "=(\\d+)"))) return -1;
    return std::stoll(m[2]);
}

// Runs a shell command on the console and returns the output that followed,
// once it holds marker.
std::string console(HubdProcess &p, const std::string &command, const std::string &marker) {
    size_t from = p.out().size();
    p.send(command + "\n");
    for (long start = now_ms(); p.out().find(marker, from) == std::string::npos && now_ms() - start < 20000;)
        p.pump(50);
    return p.out().substr(from);
}

// Keeps hubd logging with "call tlog": a new burst goes only when the last
// one has run, so that neither pipe to the process fills up.
class TlogDriver {
public:
    explicit TlogDriver(HubdProcess &p) : p_(p) {}
    void step() {
        p_.pump(20);
        const std::string &err = p_.err();
        for (size_t at; (at = err.find("log_crit2\n", seen_at_)) != std::string::npos; seen_at_ = at + 1) ++done_;
        if (done_ + 2 < sent_) return;
        p_.send(BURST);
        sent_ += 10;
    }

private:
    static constexpr const char *BURST = "call tlog\ncall tlog\ncall tlog\ncall tlog\ncall tlog\n"
                                         "call tlog\ncall tlog\ncall tlog\ncall tlog\ncall tlog\n";
    HubdProcess &p_;
    size_t seen_at_ = 0;
    size_t done_ = 0;
    size_t sent_ = 0;
};

// A 64 KiB tmpfs that the test mounts for itself.
class SmallDisk {
public:
    explicit SmallDisk(const std::string &at) : at_(at) {
        mkdir(at_.c_str(), 0755);
        mounted_ = mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallDisk() {
        if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string at_;
    bool mounted_ = false;
};

TEST(LogSinkLoss, FullDiskLosesWholeLinesCountsAndSaysSo) {
    HubdDir dir;
    SmallDisk disk(dir.path() + "/disk");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    std::string log_path = dir.path() + "/disk/hubd.log";
    HubdProcess p(dir, no_servers({"-o", log_path}));
    std::string full = "error: log file " + log_path + ": write failed: No space left on device";
    TlogDriver tlog(p);
    for (long start = now_ms(); p.err().find(full) == std::string::npos && now_ms() - start < 30000;) tlog.step();
    ASSERT_NE(p.err().find(full), std::string::npos) << p.err().substr(0, 2000);
    // Said once, not for every lost line, even when a short line still fits now and then.
    EXPECT_EQ(p.err().find(full, p.err().find(full) + 1), std::string::npos);
    EXPECT_EQ(p.err().find("still fails"), std::string::npos);
    std::string status = console(p, "show status", "log_collector_lost=");
    EXPECT_GT(status_value(status, "log_file_lost"), 0) << status;
    EXPECT_GT(status_value(status, "log_file_lines"), status_value(status, "log_file_lost")) << status;

    std::string text = dir.read_file("disk/hubd.log");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} [A-Z]+ +\d+ --- \[.*\] \w+ .*)");
    size_t pos = 0;
    for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
        ASSERT_TRUE(std::regex_match(text.substr(pos, nl - pos), whole)) << text.substr(pos, nl - pos);

    // Room again: the next line says how many were lost meanwhile.
    ASSERT_EQ(truncate(log_path.c_str(), 0), 0);
    p.send("call tlog\n");
    ASSERT_TRUE(p.wait_for_err("log file " + log_path + ": writing works again (")) << p.err().substr(0, 2000);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(p.err(), m, std::regex(R"(writing works again \((\d+) lines lost meanwhile\))")));
    EXPECT_GT(std::stoll(m[1]), 0);
    std::string config = console(p, "show config", "log_bsvlog_url=");
    EXPECT_NE(config.find("log_file_enale_out=1"), std::string::npos) << config;
    EXPECT_EQ(p.stop(SIGTERM).exit_code, 0);
}

TEST(LogSinkLoss, LogFileThatCannotBeOpenedIsReportedAndNotShownOn) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-o", "/nonexistent/x.log", "-p"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("error: log file /nonexistent/x.log: open failed: No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("log_file_enale_out=0\nlog_file_name=/nonexistent/x.log\n"), std::string::npos) << r.out;
}

// A syslog receiver that accepts every connection and never reads one.
class DeafReceiver {
public:
    DeafReceiver() : listener_(loopback_bind(SOCK_STREAM | SOCK_NONBLOCK, 0, &port_)) {}
    ~DeafReceiver() {
        for (int fd : accepted_) close(fd);
        close(listener_);
    }
    int port() const { return port_; }
    size_t accepted() const { return accepted_.size(); }
    // Takes the waiting connections; the number of them not yet closed or reset.
    size_t open_now() {
        for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) accepted_.push_back(fd);
        size_t open = 0;
        for (int fd : accepted_) {
            pollfd p{fd, 0, 0};
            if (poll(&p, 1, 0) == 0) ++open;
        }
        return open;
    }

private:
    int port_ = 0;  // before listener_, whose start writes it
    int listener_ = -1;
    std::vector<int> accepted_;
};

TEST(LogSinkLoss, SyslogReceiverThatNeverReadsGetsOneConnectionAndTheLossIsCounted) {
    DeafReceiver receiver;
    HubdDir dir;
    int web_port = free_tcp_port();
    dir.write_file("hubd.ini", web_ini(web_port) + "[log]\nsyslog = tcp://127.0.0.1:" +
                                   std::to_string(receiver.port()) + "\n");
    HubdProcess p(dir, {});
    ASSERT_TRUE(wait_web_ready(p, web_port)) << p.err();
    TlogDriver tlog(p);
    size_t most_open = 0;
    for (long start = now_ms(); now_ms() - start < 20000;) {
        tlog.step();
        most_open = std::max(most_open, receiver.open_now());
    }
    EXPECT_LE(most_open, 1u);
    // The first connection was given up and a later one made after the hold-off.
    EXPECT_GE(receiver.accepted(), 2u);
    std::string status = console(p, "show status", "log_collector_lost=");
    long long lost = status_value(status, "log_syslog_lost");
    EXPECT_GT(lost, 0) << status;
    std::string metrics = http_test_body(http_test_get(web_port, "/metrics/prometheus"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(metrics, m, std::regex(R"(hubd_log_lines_lost_total\{sink="syslog"\} (\d+))")))
        << metrics;
    EXPECT_GE(std::stoll(m[1]), lost);
    EXPECT_NE(metrics.find("hubd_log_lines_total{sink=\"syslog\"} "), std::string::npos);
    EXPECT_NE(p.err().find("warning: log sink syslog lost "), std::string::npos);
    HubdResult r = p.stop(SIGTERM);
    EXPECT_EQ(r.exit_code, 0) << r.err.substr(r.err.size() > 2000 ? r.err.size() - 2000 : 0);
}

// The test reads nothing of hubd's standard error while the shell makes it
// log far more than the pipe holds.
TEST(LogSinkLoss, ConsoleWhoseReaderStoppedLosesLinesAndTheServersStillAnswer) {
    HubdDir dir;
    int shell_port = free_tcp_port(), web_port = free_tcp_port();
    dir.write_file("hubd.ini", "[debug]\nshell_server_addr = 127.0.0.1\nshell_server_port = " + std::to_string(shell_port) +
                                   "\nhttp_server_addr = 127.0.0.1\nhttp_server_port = " + std::to_string(web_port) + "\n");
    std::string log_path = dir.path() + "/hubd.log";
    HubdProcess p(dir, {"-o", log_path});
    ASSERT_TRUE(wait_shell_ready(p, shell_port)) << p.err();
    ShellConn shell(shell_port);
    constexpr int BATCHES = 10, CALLS = 100;
    for (int b = 0; b < BATCHES; ++b) {
        for (int i = 0; i < CALLS; ++i) shell.request("call tlog");
        std::vector<std::string> replies;
        ASSERT_TRUE(shell.replies(CALLS, &replies)) << "batch " << b;
    }
    std::string status = shell.run("show status");
    long long lost = status_value(status, "log_console_lost");
    EXPECT_GT(lost, 0) << status;
    EXPECT_GE(status_value(status, "log_console_lines"), 5 * BATCHES * CALLS) << status;
    std::string metrics = http_test_body(http_test_get(web_port, "/metrics/prometheus"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(metrics, m, std::regex(R"(hubd_log_lines_lost_total\{sink="console"\} (\d+))")))
        << metrics;
    EXPECT_GE(std::stoll(m[1]), lost);
    // The file got every line, and the word of the console's loss.
    std::string text = dir.read_file("hubd.log");
    size_t crit = 0;
    for (size_t at = text.find("log_crit2\n"); at != std::string::npos; at = text.find("log_crit2\n", at + 1)) ++crit;
    EXPECT_EQ(crit, static_cast<size_t>(BATCHES * CALLS));
    EXPECT_NE(text.find("warning: log sink console lost "), std::string::npos);
    // Read again, the console hears of its loss.
    p.pump(0);
    shell.run("call tlog");
    EXPECT_TRUE(p.wait_for_err("warning: log sink console lost ")) << p.err().substr(0, 2000);
    EXPECT_EQ(p.stop(SIGTERM).exit_code, 0);
}

TEST(LogSinkLoss, PanicReportReachesTheCollectorWhole) {
    SKIP_UNDER_SANITIZER();
    int collector_port = 0;
    const int collector = loopback_bind(SOCK_DGRAM, 0, &collector_port);
    ASSERT_GE(collector, 0);
    HubdDir dir;
    dir.write_file("hubd.ini", "[log]\nbsvlog = udp://127.0.0.1:" + std::to_string(collector_port) + "\n");
    HubdResult r = run_hubd(dir, no_servers(), {}, "call null\n");
    EXPECT_EQ(r.exit_code, 254) << r.err;
    std::string report;
    int packets = 0;
    uint8_t packet[2048], work[BSV_UDP_PACKET_MAXN];
    for (ssize_t n; (n = recv(collector, packet, sizeof packet, MSG_DONTWAIT)) > 0;) {
        bsv_udp_header head{};
        const uint8_t *rec = nullptr;
        size_t rec_len = 0;
        char err[256];
        ASSERT_EQ(bsv_udp_packet_decode(packet, static_cast<size_t>(n), work, &head, &rec, &rec_len, err, sizeof err), 0)
            << err;
        bsv_udp_log_fields fields{};
        ASSERT_EQ(bsv_udp_log_split(rec, rec_len, &fields), 0);
        if (std::string(fields.texts[4], fields.text_lens[4]) != "os_exception_dump") continue;
        ++packets;
        report.append(fields.texts[5], fields.text_lens[5]);
    }
    close(collector);
    // The report with its stack is longer than one packet can carry.
    EXPECT_GT(packets, 1);
    ASSERT_EQ(report.rfind("--ExptInfo-- \nCode: 0xc0000005\n", 0), 0u) << report;
    EXPECT_NE(report.find("fvar_null_func"), std::string::npos) << report;
    EXPECT_NE(r.err.find(report), std::string::npos) << report;
}

}  // namespace
