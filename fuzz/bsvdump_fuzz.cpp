// Whatever arrives on the collector port, the dump line stays inside its
// buffer and terminated. The input is tried as it came and, after the
// magic and a valid checksum are put in place, as a packet that passes the
// checks, plain and scrambled, so that the record decoder is reached too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libbsv/bsv_dump.h"
#include "libbsv/bsv_udp_packet.h"

namespace {

void dump_checked(const uint8_t *packet, size_t len) {
    std::vector<char> line(BSV_DUMP_LINE_MAXN + 1, 'Z');
    size_t n = bsv_dump_packet(packet, len, line.data(), BSV_DUMP_LINE_MAXN);
    if (n >= BSV_DUMP_LINE_MAXN || line[n] != 0 || line[BSV_DUMP_LINE_MAXN] != 'Z') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    dump_checked(data, size);
    if (size < BSV_UDP_HEADER_SIZE + 2 || size > BSV_UDP_PACKET_MAXN) return 0;
    std::vector<uint8_t> packet(data, data + size);
    std::memcpy(packet.data(), "bsv", 3);
    packet[3] = static_cast<uint8_t>((packet[3] & ~BSV_UDP_F_SCRAMBLED) | BSV_UDP_F_CRC);
    packet[4] = static_cast<uint8_t>(size & 0xFF);
    packet[5] = static_cast<uint8_t>(size >> 8);
    packet[size - 1] = bsv_crc8(packet.data() + 3, size - 4);
    dump_checked(packet.data(), size);
    // The same packet scrambled must decode to the same line.
    std::vector<char> plain_line(BSV_DUMP_LINE_MAXN), scrambled_line(BSV_DUMP_LINE_MAXN);
    bsv_dump_packet(packet.data(), size, plain_line.data(), plain_line.size());
    // The checksum covers the flags byte, so it is made again with the scrambled flag.
    packet[3] |= BSV_UDP_F_SCRAMBLED;
    packet[size - 1] = bsv_crc8(packet.data() + 3, size - 4);
    bsv_udp_scramble(packet.data() + 4, size - 4);
    bsv_dump_packet(packet.data(), size, scrambled_line.data(), scrambled_line.size());
    // Only the flags field differs between the two lines.
    const char *plain_rest = std::strchr(plain_line.data(), ' ');
    const char *scrambled_rest = std::strchr(scrambled_line.data(), ' ');
    if (!plain_rest || !scrambled_rest || std::strcmp(plain_rest, scrambled_rest) != 0) std::abort();
    return 0;
}
