#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "integration/rsyslog_peer.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_sink_syslog.h"
#include "libpal/network/os_ipaddr.h"
#include "log_test_util.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

struct SelectorRow {
    const char *selector;
    int pri;
};

class SyslogSelector : public testing::TestWithParam<SelectorRow> {};

TEST_P(SyslogSelector, GivesPri) {
    CaptureStderr();
    EXPECT_EQ(syslog_selector_pri(GetParam().selector), GetParam().pri);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(GetParam().pri < 0, !err.empty()) << err;
}

INSTANTIATE_TEST_SUITE_P(Rows, SyslogSelector,
                         testing::Values(SelectorRow{"user.warn", 12}, SelectorRow{"user.debug", 15},
                                         SelectorRow{"user.panic", 8}, SelectorRow{"local7.err", 187},
                                         SelectorRow{"AUTH.Crit", 34}, SelectorRow{"mark.info", 198},
                                         SelectorRow{"warn", 12}, SelectorRow{"16.notice", 21},
                                         SelectorRow{"17.notice", -1}, SelectorRow{"bogus.info", -1},
                                         SelectorRow{"user.bogus", -1}, SelectorRow{"user.none", 8}));

TEST(SyslogUrl, PortMustBeDecimalWhenGiven) {
    const std::pair<const char *, bool> rows[] = {
        {"udp://127.0.0.1", true},      {"udp://127.0.0.1:514", true}, {"tcp://[::1]:601/x", true},
        {"udp://h:514?q", true},        {"udp://[::1]", true},         {"udp://h:", false},
        {"udp://h:syslog", false},      {"udp://[::1]x", false},       {"udp://u:p@h:51a", false},
        {"udp://u:p@h", true},
    };
    for (const auto &[url, ok] : rows) EXPECT_EQ(log_net_url_port_ok(url), ok) << url;
}

TEST(SyslogFormat, MessageFields) {
    char out[LOG_SYSLOG_MSG_MAXN];
    // 2026-03-05 14:07:09 local time
    tm local{};
    local.tm_year = 126;
    local.tm_mon = 2;
    local.tm_mday = 5;
    local.tm_hour = 14;
    local.tm_min = 7;
    local.tm_sec = 9;
    local.tm_isdst = -1;
    time_t when = mktime(&local);
    size_t n = syslog_format(out, sizeof out, 12, when, "box", "net", 42, "hello\n");
    EXPECT_EQ(std::string(out, n), "<12>Mar  5 14:07:09 box net[42]: hello");
    n = syslog_format(out, sizeof out, 15, when, "box", "", 7, std::string(900, 'x').c_str());
    EXPECT_EQ(std::string(out, n), "<15>Mar  5 14:07:09 box <someone>[7]: " + std::string(900, 'x'));
}

TEST(SyslogFormat, LongTextIsCutBeforeACharacterWithAMark) {
    static char out[LOG_SYSLOG_MSG_MAXN + 1];
    const std::string head = "<15>Mar  5 14:07:09 box t[7]: ";
    size_t room = LOG_SYSLOG_MSG_MAXN - head.size() - 3;  // text bytes before the mark
    const struct {
        std::string text;
        std::string kept;  // of the text, before "..."; empty: the text goes whole
    } rows[] = {
        {std::string(LOG_SYSLOG_MSG_MAXN - head.size(), 'x'), ""},
        {std::string(9000, 'x'), std::string(room, 'x')},
        // A two-byte and a four-byte character across the cut point.
        {std::string(room - 1, 'x') + "\xc3\xa9" + std::string(50, 'y'), std::string(room - 1, 'x')},
        {std::string(room - 2, 'x') + "\xf0\x9f\x98\x80" + "zzzz", std::string(room - 2, 'x')},
    };
    for (const auto &row : rows) {
        size_t n = syslog_format(out, sizeof out, 15, 0, "box", "t", 7, row.text.c_str());
        std::string got(out, n);
        ASSERT_GE(got.size(), head.size());
        std::string text = got.substr(head.size());
        EXPECT_EQ(text, row.kept.empty() ? row.text : row.kept + "...") << row.text.size();
        EXPECT_LE(n, LOG_SYSLOG_MSG_MAXN);
    }
}

std::string host() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

class SyslogPeer : public testing::Test {
protected:
    void SetUp() override {
        if (access(RSYSLOGD, X_OK) != 0) GTEST_SKIP() << RSYSLOGD << " is not installed";
        ASSERT_TRUE(peer_.start()) << peer_read_file(dir_.file("rs.err"));
        log_ctx *ctx = log_ctx_process();
        ctx->console_on.store(0);
        ctx->level.store(LOG_VERB);
        ctx->flags.store(LOG_FMT_TIME);
    }
    void TearDown() override {
        log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 0);
        log_net_close();
    }
    void open(const std::string &url) {
        ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG, url.c_str()), 0);
        log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 1);
    }
    std::string expected(int pri, const char *severity, const char *text) {
        return std::to_string(pri) + "|user|" + severity + "|" + host() + "|net|" + std::to_string(getpid()) +
               "| " + text + "|";
    }
    process_ctx_guard guard_;
    temp_dir dir_;
    RsyslogPeer peer_{dir_.path};
};

TEST_F(SyslogPeer, UdpLinesArriveWithPriHostTagAndPid) {
    open(peer_.udp_url());
    log2_printf(nullptr, LOG_WARN, "net", "f.cpp", 1, nullptr, "warned %d\n", 1);
    log2_printf(nullptr, LOG_VERB, "net", "f.cpp", 1, nullptr, "verbose\n");
    // With milliseconds the time prefix is 13 characters long.
    log_ctx_process()->flags.store(LOG_FMT_TIME_MS);
    log2_printf(nullptr, LOG_CRIT | LOG_F_NO_EXIT, "net", "f.cpp", 1, nullptr, "millis\n");
    std::vector<std::string> got = peer_.lines(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], expected(12, "4", "warned 1"));
    EXPECT_EQ(got[1], expected(15, "7", "verbose"));
    EXPECT_EQ(got[2], expected(10, "2", "millis"));
}

TEST_F(SyslogPeer, TcpLinesArriveOneMessageEachAndAfterRestart) {
    open(peer_.tcp_url());
    log2_printf(nullptr, LOG_ERR, "net", "f.cpp", 1, nullptr, "first\n");
    log2_printf(nullptr, LOG_INFO, "net", "f.cpp", 1, nullptr, "two\nlines\n");
    ASSERT_EQ(peer_.lines(2).size(), 2u);
    peer_.stop();
    ASSERT_TRUE(peer_.start());
    log2_printf(nullptr, LOG_NOTI, "net", "f.cpp", 1, nullptr, "after restart\n");
    std::vector<std::string> got = peer_.lines(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], expected(11, "3", "first"));
    EXPECT_EQ(got[1], expected(14, "6", "two lines"));
    EXPECT_EQ(got[2], expected(13, "5", "after restart"));
}

// 6000 bytes go whole; a line longer than a message is cut before the
// two-byte character that straddles the cut, so rsyslog stores valid UTF-8.
TEST_F(SyslogPeer, LongTcpLineArrivesWholeAndACutOneStaysUtf8) {
    open(peer_.tcp_url());
    std::string long_text(6000, 'w');
    log2_printf(nullptr, LOG_INFO, "net", "f.cpp", 1, nullptr, "%s\n", long_text.c_str());
    // The message head before the text, as syslog_format writes it.
    std::string head = "<14>Mmm dd hh:mm:ss " + host() + " net[" + std::to_string(getpid()) + "]: ";
    size_t keep = LOG_SYSLOG_MSG_MAXN - head.size() - 3;
    // The cut falls on the second byte of an "é".
    std::string cut_text = std::string(keep - 1, 'a') + "\xc3\xa9" + std::string(400, 'b');
    log2_printf(nullptr, LOG_INFO, "net", "f.cpp", 1, nullptr, "%s\n", cut_text.c_str());
    std::vector<std::string> got = peer_.lines(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], expected(14, "6", long_text.c_str()));
    EXPECT_EQ(got[1], expected(14, "6", (std::string(keep - 1, 'a') + "...").c_str()));
}

// A name whose first address does not answer: the next one is tried.
TEST(SyslogConnect, TriesEachAddressInTurn) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    os_ipaddr addrs[2] = {};
    ASSERT_TRUE(os_ipaddr_ip_cstr_set(&addrs[0], "::1"));
    ASSERT_TRUE(os_ipaddr_ip_cstr_set(&addrs[1], "127.0.0.1"));
    for (os_ipaddr &addr : addrs) os_ipaddr_port_set(&addr, ntohs(a.sin_port));
    os_socket sock = syslog_connect(addrs, 2, LOG_SYSLOG_TCP);
    ASSERT_NE(sock, OS_SOCKET_NONE);
    os_ipaddr peer{};
    ASSERT_TRUE(os_socket_peer(sock, &peer));
    EXPECT_EQ(os_ipaddr_family(&peer), os_ipaddr_family(&addrs[1]));
    os_socket_exit(sock);
    EXPECT_EQ(syslog_connect(addrs, 1, LOG_SYSLOG_TCP), OS_SOCKET_NONE);
    close(listener);
}

TEST(SyslogStall, ReceiverThatStopsReadingCostsLinesNotTheCaller) {
    process_ctx_guard guard;
    log_ctx *ctx = log_ctx_process();
    ctx->console_on.store(0);
    ctx->level.store(LOG_VERB);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG, url.c_str()), 0);
    log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 1);
    uint64_t lost_before = log_syslog_lost();
    std::string text(700, 'z');
    CaptureStderr();
    // The accepted connection is never read: the socket buffers fill and
    // later sends time out instead of blocking.
    for (int i = 0; i < 50000 && log_syslog_lost() == lost_before; ++i)
        log2_printf(nullptr, LOG_INFO, "net", "f", 1, nullptr, "%s\n", text.c_str());
    std::string err = GetCapturedStderr();
    EXPECT_GT(log_syslog_lost(), lost_before) << err;
    log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 0);
    log_net_close();
    close(listener);
}

struct BadUrlRow {
    const char *url;
    int open_result;
    const char *err_text;  // expected on standard error at the first line
};

class SyslogBadUrl : public testing::TestWithParam<BadUrlRow> {};

TEST_P(SyslogBadUrl, ReportsAndLogCallReturns) {
    process_ctx_guard guard;
    log_ctx *ctx = log_ctx_process();
    ctx->console_on.store(0);
    CaptureStderr();
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG, GetParam().url), GetParam().open_result);
    log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 1);
    EXPECT_GT(log2_printf(nullptr, LOG_ERR, "net", "f", 1, nullptr, "x\n"), 0);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find(GetParam().err_text), std::string::npos) << err;
    log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 0);
    log_net_close();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SyslogBadUrl,
    testing::Values(BadUrlRow{"udp://no-such-host.invalid:514", 0, "failed to resolve name no-such-host.invalid port 514"},
                    BadUrlRow{"tcp://no-such-host.invalid", 0, "failed to resolve name no-such-host.invalid port syslog-conn"},
                    BadUrlRow{"tcp://127.0.0.1:1", 0, "failed to connect to 127.0.0.1 port 1"},
                    BadUrlRow{"no url here", -1, "[no url here]: not a URL; allowed: tcp://host[:port] or udp://"},
                    BadUrlRow{"udp://127.0.0.1:syslog", -1, "the port is not a number"},
                    BadUrlRow{"tcp://[::1]:", -1, "the port is not a number"},
                    BadUrlRow{"udp://user@127.0.0.1:51x4", -1, "the port is not a number"},
                    BadUrlRow{"udp://127.0.0.1:99999", -1, "the port is out of range"},
                    BadUrlRow{"udp://127.0.0.1:0", -1, "the port is out of range"},
                    BadUrlRow{"http://127.0.0.1:514", -1, "unknown scheme"},
                    BadUrlRow{"tls://127.0.0.1:6514", -1, "unknown scheme"},
                    BadUrlRow{"udp://:514", -1, "no host"}));

}  // namespace
