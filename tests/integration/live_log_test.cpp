// The live log: the pipe server's FIFO read by tshark directly and through
// the extcap program, as an operator would.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "hubd_process_util.h"
#include "libbsvf/pcap_parse.h"
#include "tool_run_util.h"

namespace fs = std::filesystem;

namespace {

const std::string EXTCAP = std::string(HUBD_SOURCE_DIR) + "/tools/wireshark/hubd-extcap";

int count_of(const pcap_view &view, const std::string &text) {
    int count = 0;
    for (const pcap_packet &packet : view.packets) count += packet.data.find(text) != std::string::npos;
    return count;
}

// Waits (bounded) until the capture file holds count packets carrying text.
pcap_view wait_for_packets(const std::string &path, const std::string &text, int count) {
    pcap_view view;
    for (int i = 0; i < 400; ++i) {
        view = pcap_parse(read_text(path));
        if (count_of(view, text) >= count) break;
        usleep(50000);
    }
    return view;
}

class LiveLog : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tool_available("tshark")) GTEST_SKIP() << "tshark not installed";
        dir.write_file("hubd.ini", "[log]\nlevel = verb\n");
    }
    // Starts hubd and reads the FIFO's name from show info.
    std::string start(HubdProcess &p) {
        p.send("show info\n");
        EXPECT_TRUE(p.wait_for_out("os_start_time"));
        std::string out = p.out();
        size_t at = out.find("bsv_pipe_name=");
        if (at == std::string::npos) return "";
        at += std::string("bsv_pipe_name=").size();
        return out.substr(at, out.find_first_of("\r\n", at) - at);
    }
    HubdDir dir;
};

TEST_F(LiveLog, TsharkGetsTheRingThenLiveRecordsAndAFreshStreamWhenItComesBack) {
    HubdProcess p(dir, no_servers());
    std::string fifo = start(p);
    EXPECT_EQ(fifo, "/tmp/qelto_hubd_" + std::to_string(p.pid()));
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    p.send("call tlog\n");  // before any reader: these wait in the ring
    ASSERT_TRUE(p.wait_for_err("log_crit2"));
    for (int round = 1; round <= 2; ++round) {
        std::string capture = dir.path() + "/live" + std::to_string(round) + ".pcap";
        ToolProcess tshark({"tshark", "-i", fifo, "-F", "pcap", "-w", capture});
        ASSERT_TRUE(tshark.started());
        if (round == 1) {
            // The ring's records arrive first, then the live ones.
            EXPECT_EQ(count_of(wait_for_packets(capture, "log_crit2", 1), "log_crit2"), 1);
            p.send("call tlog\n");
            pcap_view view = wait_for_packets(capture, "log_crit2", 2);
            EXPECT_EQ(count_of(view, "log_crit2"), 2);
        } else {
            pcap_view view = wait_for_packets(capture, "log_notice", 1);
            EXPECT_EQ(count_of(view, "log_notice"), 1);
        }
        tshark.signal(SIGINT);
        ToolResult r = tshark.wait();
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(pcap_parse(read_text(capture)).linktype, 147u);
        // The next round's records come while nobody reads.
        if (round == 1) {
            p.send("call tlog\n");
            ASSERT_TRUE(p.wait_for_err("log_notice"));
        }
    }
    HubdResult end = p.stop(SIGTERM);
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_NE(access(fifo.c_str(), F_OK), 0) << "FIFO left behind";
}

TEST_F(LiveLog, SigtermWithoutAnyReaderEndsCleanlyAndRemovesTheFifo) {
    HubdProcess p(dir, no_servers());
    std::string fifo = start(p);
    ASSERT_EQ(access(fifo.c_str(), F_OK), 0);
    HubdResult end = p.stop(SIGTERM);
    EXPECT_EQ(end.exit_code, 0) << end.err;
    EXPECT_NE(access(fifo.c_str(), F_OK), 0);
}

TEST_F(LiveLog, ExtcapInterfaceCapturesFiveLiveRecords) {
    std::string home = dir.path() + "/home";
    fs::create_directories(home + "/.config/wireshark/extcap");
    fs::copy_file(EXTCAP, home + "/.config/wireshark/extcap/hubd-extcap");
    EnvOverrides env{{"HOME", home}};
    HubdProcess p(dir, no_servers());
    std::string fifo = start(p);
    std::string interface = fifo.substr(fifo.rfind('/') + 1);

    ToolResult dlts = run_tool({EXTCAP, "--extcap-dlts", "--extcap-interface", interface});
    EXPECT_NE(dlts.out.find("{number=147}"), std::string::npos) << dlts.out;
    ToolResult list = run_tool({"tshark", "-D"}, env);
    EXPECT_NE(list.out.find(interface + " (HUBD live log"), std::string::npos) << list.out << list.err;

    std::string capture = dir.path() + "/extcap.pcap";
    ToolProcess tshark({"tshark", "-i", interface, "-c", "5", "-F", "pcap", "-w", capture}, env);
    p.send("call tlog\n");
    ToolResult r = tshark.wait();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    pcap_view view = pcap_parse(read_text(capture));
    EXPECT_EQ(view.linktype, 147u);
    EXPECT_EQ(view.packets.size(), 5u);
    HubdResult end = p.stop(SIGTERM);
    EXPECT_EQ(end.exit_code, 0);
}

}  // namespace
