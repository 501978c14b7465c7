// The pcap log file and the Wireshark dissector, read back with Debian's
// tshark and capinfos.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "hubd_process_util.h"
#include "libbsvf/pcap_parse.h"
#include "tool_run_util.h"

namespace {

const std::string DISSECTOR = std::string(HUBD_SOURCE_DIR) + "/tools/wireshark/hubd_log.lua";

// tshark's stderr without the notice it prints for every run as root.
std::string warnings(const std::string &err) {
    std::istringstream lines(err);
    std::string line, out;
    while (std::getline(lines, line)) {
        if (line.find("Running as user") == std::string::npos && !line.empty()) out += line + "\n";
    }
    return out;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class PcapLogFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tool_available("tshark") || !tool_available("capinfos")) GTEST_SKIP() << "tshark/capinfos not installed";
    }
    // Runs hubd once with the shell input; returns the parsed log file.
    pcap_view run(const std::string &ini_log, const std::string &input) {
        dir.write_file("hubd.ini", "[log]\nfile = hubd.pcap\nlevel = verb\n" + ini_log);
        HubdResult r = run_hubd(dir, no_servers(), {}, input + "exit\n");
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return pcap_parse(dir.read_file("hubd.pcap"));
    }
    std::string path() const { return dir.path() + "/hubd.pcap"; }
    // The file is whole, and tshark reads every packet of it without a warning.
    void expect_tshark_reads_whole(const pcap_view &view) {
        ASSERT_TRUE(view.header_ok);
        EXPECT_EQ(view.trailing, 0u);
        ToolResult read = run_tool({"tshark", "-r", path()});
        EXPECT_EQ(read.exit_code, 0);
        EXPECT_EQ(warnings(read.err), "");
        EXPECT_EQ(split_lines(read.out).size(), view.packets.size());
    }
    HubdDir dir;
};

TEST_F(PcapLogFile, CaptureToolsReadOnePacketPerRecordAtTheRecordsTime) {
    pcap_view view = run("", "call tlog\n");
    ASSERT_TRUE(view.header_ok);
    EXPECT_EQ(view.trailing, 0u);
    ASSERT_GT(view.packets.size(), 7u);

    ToolResult info = run_tool({"capinfos", "-c", "-E", path()});
    EXPECT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.out.find("USER 0"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Number of packets:   " + std::to_string(view.packets.size()) + "\n"), std::string::npos)
        << info.out;

    ToolResult read = run_tool({"tshark", "-r", path(), "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.len"});
    EXPECT_EQ(read.exit_code, 0);
    EXPECT_EQ(warnings(read.err), "");
    std::vector<std::string> lines = split_lines(read.out);
    ASSERT_EQ(lines.size(), view.packets.size());
    bool saw_warn = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const pcap_packet &packet = view.packets[i];
        char expected[64];
        std::snprintf(expected, sizeof expected, "%u.%06u000\t%zu", packet.sec, packet.usec, packet.data.size());
        EXPECT_EQ(lines[i], expected);
        // Data starts at the record's pid; every packet ends with its message's terminator.
        EXPECT_EQ(packet.data.back(), '\0');
        saw_warn = saw_warn || packet.data.find(std::string("log_warn\n\0", 10)) != std::string::npos;
    }
    EXPECT_TRUE(saw_warn);
}

TEST_F(PcapLogFile, AppendModeAddsPacketsWithoutASecondHeader) {
    size_t first = run("file_mode = a\n", "").packets.size();
    pcap_view view = run("file_mode = a\n", "call tlog\n");
    EXPECT_GT(view.packets.size(), first + 7);
    expect_tshark_reads_whole(view);
}

TEST_F(PcapLogFile, CapKeepsTheHeaderAndTheNewestWholePackets) {
    std::string input;
    for (int i = 0; i < 30; ++i) input += "call tlog\n";
    pcap_view view = run("file_size = 8k\n", input);
    std::string bytes = dir.read_file("hubd.pcap");
    EXPECT_LT(bytes.size(), 8192u);
    EXPECT_GT(bytes.size(), 4096u - 1500u);
    expect_tshark_reads_whole(view);
}

TEST_F(PcapLogFile, DissectorNamesTheFieldsAndFiltersByLevel) {
    run("", "call tlog\n");
    ToolResult fields = run_tool({"tshark", "-X", "lua_script:" + DISSECTOR, "-r", path(), "-Y", "hubd.level <= 4",
                                  "-T", "fields", "-e", "hubd.level", "-e", "hubd.tag", "-e", "hubd.func", "-e",
                                  "hubd.file", "-e", "hubd.msg"});
    EXPECT_EQ(fields.exit_code, 0);
    EXPECT_EQ(warnings(fields.err), "");
    EXPECT_EQ(fields.out,
              "4\tmish2\tfvar_tlog_func\tsrc/lib/libsh/sh_items.cpp\tlog_warn\\n\n"
              "3\tmish2\tfvar_tlog_func\tsrc/lib/libsh/sh_items.cpp\tlog_error\\n\n"
              "2\tmish2\tfvar_tlog_func\tsrc/lib/libsh/sh_items.cpp\tlog_crit2\\n\n");
    ToolResult summary = run_tool({"tshark", "-X", "lua_script:" + DISSECTOR, "-r", path(), "-Y",
                                   "hubd.msg contains \"log_notice\"", "-T", "fields", "-e", "_ws.col.Info", "-e",
                                   "hubd.thread", "-e", "hubd.line"});
    std::vector<std::string> lines = split_lines(summary.out);
    ASSERT_EQ(lines.size(), 1u) << summary.out << summary.err;
    EXPECT_EQ(lines[0].rfind("NOTI mish2: log_notice\tmain_", 0), 0u) << lines[0];
    // The line field is the number of the source line that logged it.
    std::istringstream source(read_text(std::string(HUBD_SOURCE_DIR) + "/src/lib/libsh/sh_items.cpp"));
    int number = 0;
    std::string text;
    while (std::getline(source, text) && text.find("LOGN(\"log_notice") == std::string::npos) ++number;
    EXPECT_EQ(lines[0].substr(lines[0].rfind('\t') + 1), std::to_string(number + 1));
}

}  // namespace
