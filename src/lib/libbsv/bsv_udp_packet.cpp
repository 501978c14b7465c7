#include "libbsv/bsv_udp_packet.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<uint8_t, 256> make_crc_table() {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
        table[static_cast<size_t>(i)] = crc;
    }
    return table;
}
constexpr std::array<uint8_t, 256> CRC_TABLE = make_crc_table();

// Every packet uses the same keystream from its start, so it is made once.
constexpr std::array<uint8_t, BSV_UDP_PACKET_MAXN> make_keystream() {
    std::array<uint8_t, 256> state{};
    for (int i = 0; i < 256; ++i) state[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    for (size_t i = 0, j = 0; i < 256; ++i) {
        j = (j + state[i] + BSV_UDP_KEY[i % sizeof BSV_UDP_KEY]) & 0xFF;
        uint8_t t = state[i];
        state[i] = state[j];
        state[j] = t;
    }
    std::array<uint8_t, BSV_UDP_PACKET_MAXN> stream{};
    for (size_t n = 0, i = 0, j = 0; n < stream.size(); ++n) {
        i = (i + 1) & 0xFF;
        j = (j + state[i]) & 0xFF;
        uint8_t t = state[i];
        state[i] = state[j];
        state[j] = t;
        stream[n] = state[(state[i] + state[j]) & 0xFF];
    }
    return stream;
}
constexpr std::array<uint8_t, BSV_UDP_PACKET_MAXN> KEYSTREAM = make_keystream();

void put_le(uint8_t *at, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t *at, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

int fail(char *err, size_t size, const char *text, size_t a = 0, size_t b = 0) {
    if (err && size) std::snprintf(err, size, text, a, b);
    return -1;
}

}  // namespace

uint8_t bsv_crc8(const uint8_t *data, size_t len) {
    uint8_t crc = 0;
    for (size_t i = 0; i < len; ++i) crc = CRC_TABLE[crc ^ data[i]];
    return crc;
}

void bsv_udp_scramble(uint8_t *data, size_t len) {
    if (len > KEYSTREAM.size()) len = KEYSTREAM.size();
    for (size_t i = 0; i < len; ++i) data[i] ^= KEYSTREAM[i];
}

size_t bsv_udp_packet_build(uint8_t *out, const bsv_udp_header *head, const uint8_t *rec, size_t rec_len,
                            bool scramble) {
    const char *hostname = head->hostname ? head->hostname : "none";
    size_t name_len = std::strlen(hostname) + 1;
    // A cut host name or record would arrive as a different one: such a
    // packet is not sent at all.
    size_t total = BSV_UDP_HEADER_SIZE + name_len + rec_len + 1;
    if (name_len + rec_len >= BSV_UDP_BODY_MAXN || total > BSV_UDP_PACKET_MAXN) return 0;
    std::memcpy(out, "bsv", 3);
    out[3] = static_cast<uint8_t>(BSV_UDP_F_CRC | (scramble ? BSV_UDP_F_SCRAMBLED : 0));
    put_le(out + 4, total, 2);
    put_le(out + 6, BSV_UDP_VERSION, 2);
    put_le(out + 8, head->sid, 8);
    put_le(out + 16, head->bid, 8);
    put_le(out + 24, head->stime, 8);
    put_le(out + 32, head->ver_id, 4);
    put_le(out + 36, head->app_id, 2);
    out[38] = head->os_id;
    out[39] = head->arch_id;
    put_le(out + 40, head->type_id, 2);
    std::memcpy(out + BSV_UDP_HEADER_SIZE, hostname, name_len);
    if (rec_len) std::memcpy(out + BSV_UDP_HEADER_SIZE + name_len, rec, rec_len);
    out[total - 1] = bsv_crc8(out + 3, total - 4);
    if (scramble) bsv_udp_scramble(out + 4, total - 4);
    return total;
}

int bsv_udp_packet_decode(const uint8_t *packet, size_t len, uint8_t *work, bsv_udp_header *head,
                          const uint8_t **rec, size_t *rec_len, char *err, size_t err_size) {
    if (!packet || !work || !head || !rec || !rec_len) return fail(err, err_size, "bad call");
    if (len < BSV_UDP_HEADER_SIZE + 2) return fail(err, err_size, "short packet: %zu bytes", len);
    if (len > BSV_UDP_PACKET_MAXN) return fail(err, err_size, "long packet: %zu bytes", len);
    if (std::memcmp(packet, "bsv", 3) != 0) return fail(err, err_size, "no bsv magic");
    std::memcpy(work, packet, len);
    head->flags = work[3];
    if (head->flags & BSV_UDP_F_SCRAMBLED) bsv_udp_scramble(work + 4, len - 4);
    head->length = static_cast<uint16_t>(get_le(work + 4, 2));
    if (head->length != len) return fail(err, err_size, "length field %zu, packet %zu bytes", head->length, len);
    if (!(head->flags & BSV_UDP_F_CRC)) return fail(err, err_size, "no checksum flag");
    uint8_t crc = bsv_crc8(work + 3, len - 4);
    if (crc != work[len - 1]) return fail(err, err_size, "crc 0x%02zx, expected 0x%02zx", work[len - 1], crc);
    head->version = static_cast<uint16_t>(get_le(work + 6, 2));
    head->sid = get_le(work + 8, 8);
    head->bid = get_le(work + 16, 8);
    head->stime = get_le(work + 24, 8);
    head->ver_id = static_cast<uint32_t>(get_le(work + 32, 4));
    head->app_id = static_cast<uint16_t>(get_le(work + 36, 2));
    head->os_id = work[38];
    head->arch_id = work[39];
    head->type_id = static_cast<uint16_t>(get_le(work + 40, 2));
    const uint8_t *body = work + BSV_UDP_HEADER_SIZE;
    size_t body_len = len - BSV_UDP_HEADER_SIZE - 1;
    const void *name_end = std::memchr(body, 0, body_len);
    if (!name_end) return fail(err, err_size, "host name not terminated");
    head->hostname = reinterpret_cast<const char *>(body);
    size_t name_len = static_cast<size_t>(static_cast<const uint8_t *>(name_end) - body) + 1;
    *rec = body + name_len;
    *rec_len = body_len - name_len;
    return 0;
}

int bsv_udp_log_split(const uint8_t *rec, size_t len, bsv_udp_log_fields *out) {
    constexpr size_t FIXED = 21;
    if (!rec || !out || len < FIXED) return -1;
    out->sec = get_le(rec, 8);
    out->usec = static_cast<uint32_t>(get_le(rec + 8, 4));
    out->pid = static_cast<uint32_t>(get_le(rec + 12, 4));
    out->tid = static_cast<uint32_t>(get_le(rec + 16, 4));
    out->level = rec[20];
    size_t pos = FIXED;
    for (size_t i = 0; i < 6; ++i) {
        const auto *start = reinterpret_cast<const char *>(rec + pos);
        size_t left = len - pos;
        const void *end = left ? std::memchr(start, 0, left) : nullptr;
        size_t text_len = end ? static_cast<size_t>(static_cast<const char *>(end) - start) : left;
        out->texts[i] = start;
        out->text_lens[i] = text_len;
        pos += end ? text_len + 1 : text_len;
    }
    return 0;
}
