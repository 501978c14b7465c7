// The packets of the UDP collector: a type-5 header that names the sending
// machine, process and program, one binary record, a CRC-8, and optionally
// the "udps" scrambling. Built by the sender, decoded by tools/bsvdump.
//
// Layout, little-endian: "bsv", flags u8, length u16 (whole packet), version
// u16 (5), then the type-5 fields sid u64, bid u64, stime u64, ver_id u32,
// app_id u16, os_id u8, arch_id u8, type_id u16, hostname (NUL-terminated)
// and the record; last the CRC-8 over bytes 3 to the end of the record.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t BSV_UDP_PACKET_MAXN = 1472;
constexpr size_t BSV_UDP_HEADER_SIZE = 42;
// Host name and record together; the checksum needs one byte more.
constexpr size_t BSV_UDP_BODY_MAXN = 1430;
constexpr uint16_t BSV_UDP_VERSION = 5;
constexpr uint8_t BSV_UDP_F_CRC = 0x02;
constexpr uint8_t BSV_UDP_F_SCRAMBLED = 0x04;
// The key of "udps" scrambling, shared by sender and receivers.
constexpr uint8_t BSV_UDP_KEY[16] = {'H', 'U', 'B', 'D', '-', 'b', 's', 'v',
                                     'l', 'o', 'g', '-', 'u', 'd', 'p', 's'};

struct bsv_udp_header {
    uint8_t flags;
    uint16_t length;
    uint16_t version;
    uint64_t sid;
    uint64_t bid;
    uint64_t stime;
    uint32_t ver_id;
    uint16_t app_id;
    uint8_t os_id;
    uint8_t arch_id;
    uint16_t type_id;
    const char *hostname;  // decode: points into the caller's work buffer
};

// CRC-8/SMBUS: polynomial 0x07, initial value 0, no reflection, no final XOR.
uint8_t bsv_crc8(const uint8_t *data, size_t len);
// XORs data with the RC4 keystream of BSV_UDP_KEY from its start (len at
// most BSV_UDP_PACKET_MAXN; longer data is left alone beyond it).
void bsv_udp_scramble(uint8_t *data, size_t len);

// Packet into out (BSV_UDP_PACKET_MAXN bytes) from the header fields (flags,
// length and version are filled here) and the record; scrambled when asked.
// Its length, or 0 when it would exceed BSV_UDP_PACKET_MAXN.
size_t bsv_udp_packet_build(uint8_t *out, const bsv_udp_header *head, const uint8_t *rec, size_t rec_len,
                            bool scramble);

// Decodes a received packet: copies it into work (BSV_UDP_PACKET_MAXN bytes),
// unscrambles it when flagged, checks length and CRC and splits it. 0 with
// head, *rec and *rec_len set; -1 with a reason in err (at least 128 bytes).
int bsv_udp_packet_decode(const uint8_t *packet, size_t len, uint8_t *work, bsv_udp_header *head,
                          const uint8_t **rec, size_t *rec_len, char *err, size_t err_size);

// The fields of a type-1 log record, texts pointing into the record.
struct bsv_udp_log_fields {
    uint64_t sec;
    uint32_t usec;
    uint32_t pid;
    uint32_t tid;
    uint8_t level;
    // tag, tid_name, file, line, func, msg: bytes and length, without the
    // terminator; empty past the end of the record, cut at its end.
    const char *texts[6];
    size_t text_lens[6];
};
// 0, or -1 when the record is shorter than its fixed fields.
int bsv_udp_log_split(const uint8_t *rec, size_t len, bsv_udp_log_fields *out);
