#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "libbsv/bsv_log.h"
#include "libbsvf/pcap_parse.h"
#include "libdbg/bsv_pipe_srv.h"
#include "liblog/log2.h"
#include "thread_wakeups.h"

namespace {

// Opens the server's FIFO the way a capture tool does.
int open_reader(const std::string &path) { return open(path.c_str(), O_RDONLY); }

// Closes the reader and waits until the server has noticed; a reader that
// came back sooner would share the old stream (a FIFO cannot tell readers apart).
void leave(int fd) {
    uint64_t ended = debug_bsv_pipe_srv_streams_ended();
    close(fd);
    for (int i = 0; i < 1000 && debug_bsv_pipe_srv_streams_ended() == ended; ++i) usleep(10000);
    ASSERT_GT(debug_bsv_pipe_srv_streams_ended(), ended);
}

// Reads until the stream holds count packets or 10 s pass.
pcap_view read_packets(int fd, std::string &stream, size_t count) {
    for (int waited = 0; waited < 10000; waited += 50) {
        pcap_view view = pcap_parse(stream);
        if (view.packets.size() >= count) return view;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        char buf[8192];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        stream.append(buf, static_cast<size_t>(n));
    }
    return pcap_parse(stream);
}

std::string msg_of(const pcap_packet &packet) {
    // Packet data is the record from byte 12 on: the message is its last text.
    std::string data = packet.data.substr(0, packet.data.size() - 1);
    return data.substr(data.rfind('\0') + 1);
}

void log_numbered(const char *what, int from, int to) {
    for (int i = from; i < to; ++i) {
        std::string msg = std::string(what) + " " + std::to_string(i);
        bsv_log_record(LOG_INFO, "main", "t.cpp", i, "fn", msg.c_str());
    }
}

struct pipe_server {
    std::string path;
    pipe_server() {
        EXPECT_EQ(debug_bsv_pipe_srv_init("pipetest"), 0);
        path = debug_bsv_pipe_name();
    }
    ~pipe_server() {
        debug_bsv_pipe_srv_exit();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "FIFO left behind";
        EXPECT_STREQ(debug_bsv_pipe_name(), "");
    }
};

TEST(BsvPipeSrvConcurrent, RingRecordsFirstThenLiveThenAFreshStreamForTheNextReader) {
    pipe_server srv;
    ASSERT_EQ(srv.path.rfind("/tmp/qelto_pipetest_", 0), 0u) << srv.path;
    log_numbered("early", 0, 5);
    int fd = open_reader(srv.path);
    ASSERT_GE(fd, 0);
    std::string stream;
    pcap_view view = read_packets(fd, stream, 5);
    ASSERT_TRUE(view.header_ok);
    EXPECT_EQ(view.linktype, 147u);
    ASSERT_EQ(view.packets.size(), 5u);
    EXPECT_EQ(msg_of(view.packets[0]), "early 0");
    log_numbered("live", 0, 3);
    view = read_packets(fd, stream, 8);
    ASSERT_EQ(view.packets.size(), 8u);
    EXPECT_EQ(msg_of(view.packets[7]), "live 2");
    leave(fd);

    // Records logged while nobody reads wait for the next reader, none lost.
    log_numbered("between", 0, 20);
    fd = open_reader(srv.path);
    ASSERT_GE(fd, 0);
    stream.clear();
    view = read_packets(fd, stream, 20);
    close(fd);
    ASSERT_TRUE(view.header_ok);
    ASSERT_EQ(view.packets.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(msg_of(view.packets[i]), "between " + std::to_string(i));
}

TEST(BsvPipeSrvConcurrent, ReaderThatStopsReadingNeverBlocksLogging) {
    pipe_server srv;
    int stuck = open_reader(srv.path);
    ASSERT_GE(stuck, 0);
    char part[100];
    std::string filler(1000, 'f');
    bsv_log_record(LOG_INFO, "main", "t.cpp", 1, "fn", filler.c_str());
    // Read into the middle of the stream, then stop reading altogether.
    for (int got = 0; got < static_cast<int>(sizeof part);) {
        ssize_t n = read(stuck, part + got, sizeof part - static_cast<size_t>(got));
        ASSERT_GT(n, 0);
        got += static_cast<int>(n);
    }
    // Several megabytes: far beyond the pipe's buffer and the ring.
    for (int i = 0; i < 5000; ++i) bsv_log_record(LOG_INFO, "main", "t.cpp", i, "fn", filler.c_str());
    leave(stuck);
    log_numbered("after", 0, 1);
    int fd = open_reader(srv.path);
    ASSERT_GE(fd, 0);
    std::string stream;
    pcap_view view;
    // The ring's newest records, then the last one.
    for (int tries = 0; tries < 100; ++tries) {
        view = read_packets(fd, stream, view.packets.size() + 1);
        if (!view.packets.empty() && msg_of(view.packets.back()) == "after 0") break;
    }
    close(fd);
    ASSERT_TRUE(view.header_ok);
    EXPECT_EQ(view.trailing, 0u);
    ASSERT_FALSE(view.packets.empty());
    EXPECT_EQ(msg_of(view.packets.back()), "after 0");
}

TEST(BsvPipeSrv, StopsWhileNoReaderEverCameAndRemovesTheFifo) {
    pipe_server srv;
    log_numbered("unread", 0, 3);
    EXPECT_EQ(access(srv.path.c_str(), F_OK), 0);
}

// Nobody reads: the thread sleeps until a reader opens the FIFO, and that
// reader (a blocking open) is served at once with what waited.
TEST(BsvPipeSrvConcurrent, SleepsWhileNobodyReadsAndServesTheReaderThatComes) {
    pipe_server srv;
    log_numbered("waiting", 0, 2);
    pid_t tid = 0;
    for (int i = 0; i < 500 && !(tid = thread_named("bsv_pipe_srv")); ++i) usleep(10000);
    ASSERT_NE(tid, 0);
    usleep(300000);  // into its wait for a reader
    long before = thread_wakeups(tid);
    usleep(QUIET_WINDOW_MS * 1000);
    long after = thread_wakeups(tid);
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, QUIET_WAKEUPS_MAX) << "woken while nobody read";
    int fd = open_reader(srv.path);
    ASSERT_GE(fd, 0);
    std::string stream;
    pcap_view view = read_packets(fd, stream, 2);
    close(fd);
    ASSERT_TRUE(view.header_ok);
    ASSERT_GE(view.packets.size(), 2u);
    EXPECT_EQ(msg_of(view.packets[view.packets.size() - 2]), "waiting 0");
    EXPECT_EQ(msg_of(view.packets.back()), "waiting 1");
}

}  // namespace
