#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "libbsvf/pcap_parse.h"
#include "libpal/mpcap/mpcap.h"

namespace {

// A packet whose data is its number, padded to size bytes.
void dump_numbered(mpcap_dumper *d, uint32_t number, size_t size) {
    std::string data = std::to_string(number);
    data.resize(size, '.');
    mpcap_pkthdr hdr{1000 + number, number, static_cast<uint32_t>(size), static_cast<uint32_t>(size)};
    pcap_dump(d, &hdr, reinterpret_cast<const uint8_t *>(data.data()));
}

struct writer_guard {
    mpcap *writer;
    explicit writer_guard(int big_endian) : writer(pcap_open_dead(147, 0, big_endian)) {}
    ~writer_guard() { pcap_close(writer); }
};

TEST(MpcapHeader, ByteOrderFollowsTheWriter) {
    const struct {
        int big_endian;
        const char *magic;
        const char *linktype;
    } rows[] = {{0, "\xD4\xC3\xB2\xA1", "\x93\x00\x00\x00"}, {1, "\xA1\xB2\xC3\xD4", "\x00\x00\x00\x93"}};
    for (const auto &row : rows) {
        temp_folder dir;
        writer_guard w(row.big_endian);
        mpcap_dumper *d = pcap_dump_open_imp(w.writer, dir.file("h.pcap").c_str(), 0);
        ASSERT_NE(d, nullptr);
        dump_numbered(d, 1, 8);
        pcap_dump_close(d);
        std::string bytes = slurp(dir.file("h.pcap"));
        ASSERT_EQ(bytes.size(), 24u + 16 + 8);
        EXPECT_EQ(bytes.substr(0, 4), std::string(row.magic, 4));
        EXPECT_EQ(bytes.substr(20, 4), std::string(row.linktype, 4));
    }
}

TEST(MpcapFile, AppendAddsPacketsBehindTheOldOnesWithoutASecondHeader) {
    temp_folder dir;
    writer_guard w(0);
    std::string path = dir.file("a.pcap");
    for (uint32_t round = 1; round <= 2; ++round) {
        mpcap_dumper *d = pcap_dump_open_imp(w.writer, path.c_str(), 1);
        ASSERT_NE(d, nullptr);
        dump_numbered(d, round, 10);
        pcap_dump_close(d);
    }
    pcap_view view = pcap_parse(slurp(path));
    ASSERT_TRUE(view.header_ok);
    ASSERT_EQ(view.packets.size(), 2u);
    EXPECT_EQ(view.packets[1].sec, 1002u);
    EXPECT_EQ(view.trailing, 0u);
    mpcap_dumper *d = pcap_dump_open_imp(w.writer, path.c_str(), 0);  // truncate mode starts over
    pcap_dump_close(d);
    EXPECT_EQ(slurp(path).size(), 24u);
}

TEST(MpcapFile, CapKeepsHeaderAndTheNewestHalfOfWholePackets) {
    temp_folder dir;
    writer_guard w(0);
    std::string path = dir.file("cap.pcap");
    mpcap_dumper *d = pcap_dump_open_imp(w.writer, path.c_str(), 0);
    ASSERT_NE(d, nullptr);
    constexpr uint32_t cap = 1024 * 1024;
    uint32_t last = 0;
    size_t largest = 0;
    for (uint32_t n = 1; n <= 12000; ++n) {
        dump_numbered(d, n, 100 + n % 50);
        pcap_dump_set_fsize(d, cap);
        pcap_dump_flush(d);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        largest = std::max<size_t>(largest, static_cast<size_t>(st.st_size));
        last = n;
        if (n > 8000 && static_cast<size_t>(st.st_size) < cap / 2 + 1000) break;  // just cut
    }
    pcap_dump_close(d);
    std::string bytes = slurp(path);
    pcap_view view = pcap_parse(bytes);
    ASSERT_TRUE(view.header_ok);
    EXPECT_EQ(view.trailing, 0u);
    EXPECT_LT(largest, cap + 200);
    EXPECT_GE(bytes.size(), cap / 2 - 200);
    EXPECT_LE(bytes.size(), cap / 2 + 1000);
    ASSERT_FALSE(view.packets.empty());
    EXPECT_EQ(view.packets.back().usec, last);
    // Consecutive packets, none lost within the kept part.
    for (size_t i = 1; i < view.packets.size(); ++i) ASSERT_EQ(view.packets[i].usec, view.packets[i - 1].usec + 1);
}

TEST(MpcapFile, FileDeletedOrEmptiedFromOutsideIsRecreatedWithAHeader) {
    for (bool delete_it : {true, false}) {
        temp_folder dir;
        writer_guard w(0);
        std::string path = dir.file("gone.pcap");
        mpcap_dumper *d = pcap_dump_open_imp(w.writer, path.c_str(), 0);
        ASSERT_NE(d, nullptr);
        dump_numbered(d, 1, 20);
        EXPECT_EQ(pcap_dump_file_check(d), 0);
        if (delete_it) {
            unlink(path.c_str());
        } else {
            ASSERT_EQ(truncate(path.c_str(), 0), 0);
        }
        EXPECT_EQ(pcap_dump_file_check(d), 1);
        dump_numbered(d, 2, 20);
        pcap_dump_flush(d);
        pcap_view view = pcap_parse(slurp(path));
        EXPECT_TRUE(view.header_ok);
        ASSERT_EQ(view.packets.size(), 1u);
        EXPECT_EQ(view.packets[0].usec, 2u);
        pcap_dump_close(d);
    }
}

TEST(MpcapPipe, CaptureToolFifoGetsHeaderAtOnceThenPackets) {
    std::string base = "wireshark_extcap_mpcap_test_" + std::to_string(getpid());
    std::string path = "/tmp/" + base;
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    writer_guard w(0);
    mpcap_dumper *d = pcap_dump_open_imp(w.writer, ("\\\\.\\pipe\\" + base).c_str(), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->mode, MPCAP_MODE_PIPE_CLI);
    dump_numbered(d, 7, 30);
    pcap_dump_close(d);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(reader, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    close(reader);
    unlink(path.c_str());
    pcap_view view = pcap_parse(got);
    ASSERT_TRUE(view.header_ok);
    ASSERT_EQ(view.packets.size(), 1u);
    EXPECT_EQ(view.packets[0].usec, 7u);
}

TEST(MpcapPipe, ServedFifoWaitsForAReaderAndRestartsWithANewHeader) {
    std::string name = "\\\\.\\pipe\\hubd_mpcap_test_" + std::to_string(getpid());
    writer_guard w(0);
    mpcap_dumper *d = pcap_dump_open_imp(w.writer, name.c_str(), 0);
    ASSERT_NE(d, nullptr);
    std::string path = "/tmp/hubd_mpcap_test_" + std::to_string(getpid());
    // Stream 2 starts with the packet whose send failed at the end of stream 1.
    const std::vector<uint32_t> expected[] = {{1}, {99, 2}};
    for (uint32_t stream = 1; stream <= 2; ++stream) {
        std::thread writer([&] {
            dump_numbered(d, stream, 40);  // gathered
            pcap_dump_flush(d);            // sent: waits until the reader comes
        });
        int reader = open(path.c_str(), O_RDONLY);
        ASSERT_GE(reader, 0);
        writer.join();
        EXPECT_EQ(d->error.load(), 0);
        const std::vector<uint32_t> &numbers = expected[stream - 1];
        std::string got(24 + numbers.size() * (16 + 40), '\0');
        for (size_t have = 0; have < got.size();) {
            ssize_t n = read(reader, got.data() + have, got.size() - have);
            ASSERT_GT(n, 0);
            have += static_cast<size_t>(n);
        }
        pcap_view view = pcap_parse(got);
        ASSERT_TRUE(view.header_ok);
        ASSERT_EQ(view.packets.size(), numbers.size());
        for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(view.packets[i].usec, numbers[i]);
        close(reader);
        if (stream == 1) {
            dump_numbered(d, 99, 40);
            EXPECT_EQ(pcap_dump_flush(d), -1);  // the reader left: the send fails, the packet stays
            pcap_dump_restart(d);
        }
    }
    pcap_dump_close(d);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

}  // namespace
