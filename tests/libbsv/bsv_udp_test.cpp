#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "integration/peer_process.h"
#include "libbsv/bsv_dump.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_udp.h"
#include "libbsv/bsv_udp_packet.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "liblog/log_sink_syslog.h"

namespace {

// Textbook RC4, only to check the scrambler against the published vectors.
std::vector<uint8_t> rc4(const std::string &key, size_t n) {
    uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + static_cast<uint8_t>(key[static_cast<size_t>(i) % key.size()])) & 0xFF;
        std::swap(s[i], s[j]);
    }
    std::vector<uint8_t> out;
    for (int i = 0, j = 0; out.size() < n;) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        out.push_back(s[(s[i] + s[j]) & 0xFF]);
    }
    return out;
}

TEST(BsvUdpPacket, Crc8SmbusAndRc4Keystream) {
    EXPECT_EQ(bsv_crc8(reinterpret_cast<const uint8_t *>("123456789"), 9), 0xF4);
    std::vector<uint8_t> known = rc4("Key", 9);
    const uint8_t published[] = {0xEB, 0x9F, 0x77, 0x81, 0xB7, 0x34, 0xCA, 0x72, 0xA7};  // "Key" keystream
    EXPECT_EQ(std::vector<uint8_t>(published, published + 9), known);
    std::vector<uint8_t> zeros(BSV_UDP_PACKET_MAXN, 0);
    bsv_udp_scramble(zeros.data(), zeros.size());
    EXPECT_EQ(zeros, rc4(std::string(reinterpret_cast<const char *>(BSV_UDP_KEY), 16), BSV_UDP_PACKET_MAXN));
}

bsv_udp_header sample_header(const char *host) {
    return {.sid = 0x0000665544332211ull, .bid = 1700000000, .stime = 1700000500, .ver_id = 0x01000000,
            .os_id = 2, .arch_id = 1, .type_id = 1, .hostname = host};
}

TEST(BsvUdpPacket, BuildAndDecodePlainAndScrambled) {
    uint8_t rec[BSV_LOG_REC_MAXN];
    size_t rec_len = bsv_log_encode(rec, LOG_WARN, "main", "a.cpp", 7, "fn", "hello\n");
    bsv_udp_header head = sample_header("box");
    uint8_t plain[BSV_UDP_PACKET_MAXN], scrambled[BSV_UDP_PACKET_MAXN], work[BSV_UDP_PACKET_MAXN];
    size_t n = bsv_udp_packet_build(plain, &head, rec, rec_len, false);
    ASSERT_EQ(n, 42 + 4 + rec_len + 1);
    ASSERT_EQ(bsv_udp_packet_build(scrambled, &head, rec, rec_len, true), n);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(plain), 4), std::string("bsv\x02", 4));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(scrambled), 4), std::string("bsv\x06", 4));
    EXPECT_EQ(plain[4] | plain[5] << 8, static_cast<int>(n));
    EXPECT_EQ(plain[n - 1], bsv_crc8(plain + 3, n - 4));
    size_t differing = 0;
    for (size_t i = 4; i < n; ++i) differing += plain[i] != scrambled[i];
    EXPECT_GT(differing, n / 2);
    for (uint8_t *packet : {plain, scrambled}) {
        bsv_udp_header got{};
        const uint8_t *got_rec = nullptr;
        size_t got_len = 0;
        char err[128] = {};
        ASSERT_EQ(bsv_udp_packet_decode(packet, n, work, &got, &got_rec, &got_len, err, sizeof err), 0) << err;
        EXPECT_EQ(got.sid, head.sid);
        EXPECT_EQ(got.stime, head.stime);
        EXPECT_STREQ(got.hostname, "box");
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(got_rec), got_len),
                  std::string(reinterpret_cast<char *>(rec), rec_len));
    }
}

TEST(BsvUdpPacket, PacketOverTheLimitIsNotBuilt) {
    std::vector<uint8_t> rec(2000, 'r');
    bsv_udp_header head = sample_header("box");
    uint8_t out[BSV_UDP_PACKET_MAXN];
    // 42 + 4 ("box") + record + 1 must stay within 1472.
    EXPECT_EQ(bsv_udp_packet_build(out, &head, rec.data(), 1425, false), 1472u);
    EXPECT_EQ(bsv_udp_packet_build(out, &head, rec.data(), 1426, false), 0u);
}

struct BadPacketRow {
    const char *name;
    size_t offset;  // byte flipped after building; SIZE_MAX: cut the packet instead
    const char *reason;
};

TEST(BsvUdpPacket, DamagedPacketsAreReported) {
    const BadPacketRow rows[] = {
        {"record byte", 60, "crc"}, {"magic", 0, "no bsv magic"}, {"length", 4, "length field"},
        {"cut", SIZE_MAX, "length field"}, {"checksum flag", 3, "no checksum flag"},
    };
    uint8_t rec[BSV_LOG_REC_MAXN];
    size_t rec_len = bsv_log_encode(rec, LOG_WARN, "main", "a.cpp", 7, "fn", "hello\n");
    bsv_udp_header head = sample_header("box");
    for (const BadPacketRow &row : rows) {
        for (bool scramble : {false, true}) {
            uint8_t packet[BSV_UDP_PACKET_MAXN];
            size_t n = bsv_udp_packet_build(packet, &head, rec, rec_len, scramble);
            if (row.offset == SIZE_MAX) {
                n -= 5;
            } else {
                packet[row.offset] ^= row.offset == 3 ? BSV_UDP_F_CRC : 0x10;
            }
            char line[BSV_DUMP_LINE_MAXN];
            bsv_dump_packet(packet, n, line, sizeof line);
            EXPECT_NE(std::string(line).find(row.reason), std::string::npos) << row.name << ": " << line;
            EXPECT_EQ(std::string(line).rfind("bad packet", 0), 0u) << row.name;
        }
    }
}

// ---- the sink through the log call, received by tools/bsvdump ---------------

struct BsvdumpPeer {
    PeerTempDir dir;
    PeerProcess proc;
    int port = peer_free_port(SOCK_DGRAM);

    bool start(int count) {
        return proc.start({BSVDUMP_BIN, "-p", std::to_string(port), "-c", std::to_string(count)}, dir.file("out")) &&
               peer_wait_until([&] { return peer_read_file(dir.file("out")).find("listening") != std::string::npos; });
    }
    // Lines after the listening note, once count of them are there.
    std::vector<std::string> lines(size_t count) {
        std::vector<std::string> out;
        peer_wait_until([&] {
            out.clear();
            std::string text = peer_read_file(dir.file("out"));
            size_t pos = 0;
            for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
                if (text.compare(pos, 8, "bsvdump:") != 0) out.push_back(text.substr(pos, nl - pos));
            return out.size() >= count;
        });
        return out;
    }
};

class BsvUdpSink : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        log_ctx *ctx = log_ctx_process();
        console_ = ctx->console_on.load();
        level_ = ctx->level.load();
        ctx->console_on.store(0);
        ctx->level.store(LOG_VERB);
        bsv_log_attach();
        bsv_udp_attach();
    }
    void TearDown() override {
        log_bsv_udp_close();
        log_ctx *ctx = log_ctx_process();
        ctx->console_on.store(console_);
        ctx->level.store(level_);
    }
    uint8_t console_ = 0;
    int32_t level_ = 0;
};

TEST_P(BsvUdpSink, FlaggedRecordsReachBsvdump) {
    BsvdumpPeer peer;
    ASSERT_TRUE(peer.start(5));
    std::string url = std::string(GetParam()) + "://127.0.0.1:" + std::to_string(peer.port);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOCTL_BSVLOG, url.c_str()), 0);
    log2_printf(nullptr, LOG_WARN | LOG_F_BSV_NET, "main", "udp.cpp", 11, "first_fn", "first %d\n", 1);
    // The first packet waited for the opener; later ones go straight out.
    ASSERT_TRUE(peer_wait_until([] { return !log_bsv_udp_opening(); }));
    uint64_t lost = log_bsv_udp_lost();
    log2_printf(nullptr, LOG_WARN, "main", "udp.cpp", 12, "fn", "not flagged\n");
    // Too long for one packet: it goes whole, in two.
    log2_printf(nullptr, LOG_INFO | LOG_F_BSV_NET, "main", "udp.cpp", 13, "fn", "%s\n", std::string(1500, 'L').c_str());
    EXPECT_EQ(log_bsv_udp_lost(), lost);
    log2_printf(nullptr, LOG_DBG | LOG_F_BSV_ONLY, "tag", "udp.cpp", 14, "last_fn", "only\tbinary\n");
    log2_printf(nullptr, LOG_ERR | LOG_F_BSV_NET, "bsv", "udp.cpp", 15, "fn", "own tag\n");
    log2_printf(nullptr, LOG_ERR | LOG_F_BSV_NET, "main", "udp.cpp", 16, "fn", "third\n");
    std::vector<std::string> got = peer.lines(5);
    ASSERT_EQ(got.size(), 5u);
    std::string flags = std::strcmp(GetParam(), "udps") == 0 ? "flags=0x06" : "flags=0x02";
    std::string pid = " pid=" + std::to_string(getpid()) + " ";
    EXPECT_EQ(got[0].rfind(flags + " len=", 0), 0u) << got[0];
    EXPECT_NE(got[0].find(" version=5 "), std::string::npos) << got[0];
    EXPECT_NE(got[0].find(" type_id=1 "), std::string::npos) << got[0];
    EXPECT_NE(got[0].find(pid + "tid="), std::string::npos) << got[0];
    EXPECT_NE(got[0].find(" level=4 tag=main "), std::string::npos) << got[0];
    EXPECT_NE(got[0].find(" file=udp.cpp line=11 func=first_fn msg=first 1"), std::string::npos) << got[0];
    EXPECT_EQ(got[1].rfind(flags + " len=1472 ", 0), 0u) << got[1];
    std::string pieces;
    for (const std::string &piece : {got[1], got[2]}) {
        EXPECT_NE(piece.find(" level=6 tag=main "), std::string::npos) << piece;
        pieces += piece.substr(piece.find(" msg=") + 5);
    }
    EXPECT_EQ(pieces, std::string(1500, 'L'));
    EXPECT_NE(got[3].find(" level=7 tag=tag "), std::string::npos) << got[3];
    EXPECT_NE(got[3].find(" func=last_fn msg=only\\x09binary"), std::string::npos) << got[3];
    EXPECT_NE(got[4].find(" level=3 tag=main "), std::string::npos) << got[4];
    EXPECT_NE(got[4].find(" msg=third"), std::string::npos) << got[4];
}

INSTANTIATE_TEST_SUITE_P(Schemes, BsvUdpSink, testing::Values("udp", "udps"));

TEST_F(BsvUdpSink, BadUrlsFailAndUnknownHostReturnsAtOnce) {
    const std::pair<const char *, const char *> refused[] = {
        {"no url", "not a URL"},
        {"udp://127.0.0.1:70000", "the port is out of range"},
        {"udp://127.0.0.1:0", "the port is out of range"},
        {"tcp://127.0.0.1:9", "the collector speaks UDP only"},
        {"http://x", "unknown scheme"},
        {"udps://", "no host"},
    };
    for (const auto &[url, reason] : refused) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOCTL_BSVLOG, url), -1) << url;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(std::string("error: bsvlog URL [") + url + "]: " + reason), std::string::npos) << err;
    }
    EXPECT_STREQ(log_bsv_udp_url(), "");
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOCTL_BSVLOG, "udp://no-such-host.invalid:9"), 0);
    EXPECT_STREQ(log_bsv_udp_url(), "udp://no-such-host.invalid:9");
    uint64_t lost = log_bsv_udp_lost();
    for (int i = 0; i < 3; ++i)
        EXPECT_GT(log2_printf(nullptr, LOG_WARN | LOG_F_BSV_NET, "main", "f", 1, "fn", "x\n"), 0);
    // Every packet is lost: held while the opener looks the name up, then dropped.
    EXPECT_TRUE(peer_wait_until([&] { return log_bsv_udp_lost() >= lost + 3; }));
}

}  // namespace

namespace {

// Threads log to both network sinks while the main thread points them at
// new receivers; run under ThreadSanitizer as well.
TEST(NetLogSinksConcurrent, LoggingWhileTheUrlsChange) {
    log_ctx *ctx = log_ctx_process();
    uint8_t console = ctx->console_on.load();
    int32_t level = ctx->level.load();
    ctx->console_on.store(0);
    ctx->level.store(LOG_INFO);
    bsv_log_attach();
    bsv_udp_attach();
    int receivers[2];
    std::string urls[2];
    for (int i = 0; i < 2; ++i) {
        receivers[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(receivers[i], reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        getsockname(receivers[i], reinterpret_cast<sockaddr *>(&a), &len);
        urls[i] = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&stop, t] {
            for (int n = 0; !stop.load(); ++n)
                log2_printf(nullptr, LOG_INFO | LOG_F_BSV_NET, "main", "f", t, "fn", "thread %d line %d\n", t, n);
        });
    for (int round = 0; round < 20; ++round) {
        std::string target = urls[round % 2];
        log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG, ("udp://" + target).c_str());
        log2_ioctl(nullptr, LOG2_IOCTL_BSVLOG, ((round % 4 < 2 ? "udp://" : "udps://") + target).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The collector's socket is opened by a thread of its own after each
    // change: on a busy machine the last one may still be on its way, so the
    // loggers go on until both kinds of packet have arrived (or the limit).
    int syslog_seen = 0, bsv_seen = 0;
    char buf[2048];
    auto take = [&] {
        for (int fd : receivers)
            for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) ++(buf[0] == '<' ? syslog_seen : bsv_seen);
    };
    for (int wait = 0; wait < 400 && (syslog_seen == 0 || bsv_seen == 0); ++wait) {
        take();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    stop.store(true);
    for (std::thread &t : threads) t.join();
    log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 0);
    log_net_close();
    log_bsv_udp_close();
    ctx->console_on.store(console);
    ctx->level.store(level);
    take();
    for (int fd : receivers) close(fd);
    EXPECT_GT(syslog_seen, 0);
    EXPECT_GT(bsv_seen, 0);
}

}  // namespace
