#include "libbsv/bsv_dump.h"

#include <cinttypes>
#include <string>
#include <cstdarg>
#include <cstdio>

#include "libbsv/bsv_type.h"
#include "libbsv/bsv_udp_packet.h"

namespace {

struct line_out {
    char *text;
    size_t size;
    size_t len = 0;

    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (len + 1 >= size) return;
        va_list args;
        va_start(args, fmt);
        int n = std::vsnprintf(text + len, size - len, fmt, args);
        va_end(args);
        if (n > 0) len = len + static_cast<size_t>(n) < size ? len + static_cast<size_t>(n) : size - 1;
    }
    // Printable bytes as they are; backslash, newline and other controls escaped.
    void add_text(const char *name, const char *bytes, size_t n) {
        add(" %s=", name);
        for (size_t i = 0; i < n; ++i) {
            auto c = static_cast<unsigned char>(bytes[i]);
            if (c == '\\') {
                add("\\\\");
            } else if (c == '\n') {
                add("\\n");
            } else if (c < 0x20 || c == 0x7F) {
                add("\\x%02x", c);
            } else {
                add("%c", c);
            }
        }
    }
};

}  // namespace

size_t bsv_dump_packet(const uint8_t *packet, size_t len, char *out, size_t size) {
    if (!out || size == 0) return 0;
    out[0] = 0;
    line_out line{out, size};
    uint8_t work[BSV_UDP_PACKET_MAXN];
    bsv_udp_header head{};
    const uint8_t *rec = nullptr;
    size_t rec_len = 0;
    char err[128];
    if (bsv_udp_packet_decode(packet, len, work, &head, &rec, &rec_len, err, sizeof err) != 0) {
        line.add("bad packet (%zu bytes): %s", len, err);
        return line.len;
    }
    line.add("flags=0x%02x len=%u version=%u sid=0x%016" PRIx64 " bid=%" PRIu64 " stime=%" PRIu64
             " ver_id=0x%08x app_id=%u os_id=%u arch_id=%u type_id=%u",
             head.flags, head.length, head.version, head.sid, head.bid, head.stime, head.ver_id, head.app_id,
             head.os_id, head.arch_id, head.type_id);
    line.add_text("hostname", head.hostname, std::char_traits<char>::length(head.hostname));
    bsv_udp_log_fields fields{};
    if (head.type_id != BSV_TYPE_LOG || bsv_udp_log_split(rec, rec_len, &fields) != 0) {
        line.add(" data=%zu bytes", rec_len);
        return line.len;
    }
    line.add(" | sec=%" PRIu64 " usec=%u pid=%u tid=%u level=%u", fields.sec, fields.usec, fields.pid, fields.tid,
             fields.level);
    static constexpr const char *NAMES[6] = {"tag", "tid_name", "file", "line", "func", "msg"};
    for (size_t i = 0; i < 6; ++i) {
        size_t n = fields.text_lens[i];
        // The message's own line end is not part of it.
        if (i == 5 && n > 0 && fields.texts[i][n - 1] == '\n') --n;
        line.add_text(NAMES[i], fields.texts[i], n);
    }
    return line.len;
}
