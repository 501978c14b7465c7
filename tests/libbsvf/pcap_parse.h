// Reads a little-endian classic pcap image the way a capture tool does, so
// that tests can check what the writers produced; and the scratch folder
// those tests write into.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct temp_folder {
    std::string path;
    temp_folder() {
        char pattern[] = "/tmp/pcap_test_XXXXXX";
        path = mkdtemp(pattern);
    }
    ~temp_folder() { std::system(("rm -rf " + path).c_str()); }
    std::string file(const char *name) const { return path + "/" + name; }
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

struct pcap_packet {
    uint32_t sec;
    uint32_t usec;
    std::string data;
};

struct pcap_view {
    bool header_ok = false;
    uint32_t linktype = 0;
    std::vector<pcap_packet> packets;
    size_t trailing = 0;  // bytes after the last whole packet
};

inline uint32_t pcap_le32(const std::string &bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
    return value;
}

inline pcap_view pcap_parse(const std::string &bytes) {
    pcap_view view;
    if (bytes.size() < 24 || pcap_le32(bytes, 0) != 0xA1B2C3D4 || pcap_le32(bytes, 16) != 65536) return view;
    view.header_ok = true;
    view.linktype = pcap_le32(bytes, 20);
    size_t at = 24;
    while (at + 16 <= bytes.size()) {
        uint32_t caplen = pcap_le32(bytes, at + 8);
        if (pcap_le32(bytes, at + 12) != caplen || at + 16 + caplen > bytes.size()) break;
        view.packets.push_back({pcap_le32(bytes, at), pcap_le32(bytes, at + 4), bytes.substr(at + 16, caplen)});
        at += 16 + caplen;
    }
    view.trailing = bytes.size() - at;
    return view;
}
