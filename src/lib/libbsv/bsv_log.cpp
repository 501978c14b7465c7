#define LOG_TAG "bsv"
#include "libbsv/bsv_log.h"

#include <ctime>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "libbsv/bsv_reg.h"
#include "libbsv/bsv_type.h"
#include "libbsv/bsv_value.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/thread_name.h"
#include "libpal/memory/rbuf.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_cache.h"

#ifndef HUBD_SOURCE_PREFIX
#define HUBD_SOURCE_PREFIX ""
#endif

namespace {

bsv_type g_log_type{"log", BSV_LOG_INFO, BSV_TYPE_LOG, 0, BSV_LOG_TYPE_MAX_SIZE, BSV_LOG_MAX_READER, nullptr, {0}};
std::atomic<bool> g_log_registered{false};
std::atomic<size_t> g_prefix_len{0};
std::atomic<bsv_log_sink_fn> g_file_sink{nullptr};
std::atomic<bsv_log_sink_fn> g_net_sink{nullptr};
std::atomic<bsv_log_sink_fn> g_view_sink{nullptr};
std::atomic<size_t> g_net_room{BSV_LOG_REC_MAXN};

// Set while this thread is inside the binary layer: a record logged by a
// sink or a reader's ring would otherwise re-enter it and deadlock or loop.
thread_local bool t_inside = false;

void exit_bin() {
    bsv_exit();
    g_log_registered.store(false, std::memory_order_relaxed);
}

const log2_bin_ops BIN_OPS{bsv_log_record, exit_bin};

// Packs text with its terminator while room remains; a text that does not
// fit is cut and terminated in the last byte. False once the room is used up.
bool pack_text(uint8_t *&at, size_t &room, const char *text) {
    if (room == 0) return false;
    size_t len = std::strlen(text);
    if (len + 1 <= room) {
        std::memcpy(at, text, len + 1);
        at += len + 1;
        room -= len + 1;
        return true;
    }
    std::memcpy(at, text, room - 1);
    at[room - 1] = 0;
    at += room;
    room = 0;
    return false;
}

void put_le(uint8_t *at, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The build names sources by absolute path or relative to the object folder
// ("../../../../src/..."): either way the record keeps the path from the
// top of the source tree.
const char *cut_prefix(const char *file) {
    size_t prefix_len = g_prefix_len.load(std::memory_order_relaxed);
    if (prefix_len && std::strncmp(file, HUBD_SOURCE_PREFIX, prefix_len) == 0) return file + prefix_len;
    while (file[0] == '.') {
        if (file[1] == '/') {
            file += 2;
        } else if (file[1] == '.' && file[2] == '/') {
            file += 3;
        } else {
            break;
        }
    }
    return file;
}

// The net sink's records must fit its packet: a longer one goes as several
// records, each with a piece of the message, cut at a line end when one is
// in the piece's second half and never inside a UTF-8 character, so that
// the whole text (a crash report with its stack) reaches the collector.
void send_net(bsv_log_sink_fn net, const uint8_t *rec, size_t len, uint32_t flags, const char *tag,
              const char *file, int line, const char *func, const char *msg) {
    size_t room = g_net_room.load(std::memory_order_relaxed);
    size_t msg_len = msg ? std::strlen(msg) : 0;
    if (len <= room && len < BSV_LOG_REC_MAXN) {
        net(flags, rec, len);
        return;
    }
    uint8_t piece_rec[BSV_LOG_REC_MAXN];
    size_t base = bsv_log_encode_max(piece_rec, room, flags, tag, file, line, func, "");
    constexpr size_t PIECE_MIN = 64;
    if (base + PIECE_MIN > room) {
        net(flags, rec, len);  // cannot be split; the sink counts it lost
        return;
    }
    size_t piece_max = room - base;
    char piece[BSV_LOG_REC_MAXN];
    const char *at = msg;
    while (msg_len > 0) {
        size_t take = msg_len;
        if (take > piece_max) {
            take = piece_max;
            const auto *nl = static_cast<const char *>(memrchr(at, '\n', take));
            if (nl && static_cast<size_t>(nl - at) + 1 >= take / 2) {
                take = static_cast<size_t>(nl - at) + 1;
            } else {
                while (take > 0 && (static_cast<unsigned char>(at[take]) & 0xC0) == 0x80) --take;
                if (take == 0) take = piece_max;
            }
        }
        std::memcpy(piece, at, take);
        piece[take] = 0;
        net(flags, piece_rec, bsv_log_encode_max(piece_rec, room, flags, tag, file, line, func, piece));
        at += take;
        msg_len -= take;
    }
}

}  // namespace

int bsv_reg_log() {
    if (g_log_registered.load(std::memory_order_acquire)) return 0;
    g_prefix_len.store(std::strlen(HUBD_SOURCE_PREFIX), std::memory_order_relaxed);
    if (bsv_reg(&g_log_type) != 0) return -1;
    g_log_registered.store(true, std::memory_order_release);
    return 0;
}

bsv_type *bsv_log_type() { return &g_log_type; }

size_t bsv_log_encode(uint8_t *out, uint32_t flags, const char *tag, const char *file, int line,
                      const char *func, const char *msg) {
    return bsv_log_encode_max(out, BSV_LOG_REC_MAXN, flags, tag, file, line, func, msg);
}

size_t bsv_log_encode_max(uint8_t *out, size_t max, uint32_t flags, const char *tag, const char *file, int line,
                          const char *func, const char *msg) {
    if (max > BSV_LOG_REC_MAXN) max = BSV_LOG_REC_MAXN;
    if (max <= BSV_LOG_FIXED_SIZE) return 0;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    put_le(out, static_cast<uint64_t>(now.tv_sec), 8);
    put_le(out + 8, static_cast<uint64_t>(now.tv_nsec / 1000), 4);
    put_le(out + 12, log_cached_pid(), 4);
    put_le(out + 16, log_cached_tid(), 4);
    out[20] = static_cast<uint8_t>(flags & LOG_F_LEVEL_MASK);

    char line_text[16];
    char *end = line_text;
    if (line < 0) *end++ = '-';
    end = log_put_uint(end, line < 0 ? 0u - static_cast<uint32_t>(line) : static_cast<uint32_t>(line));
    *end = 0;
    size_t name_len;
    const char *thread_name = os_thread_name_view(&name_len);
    const char *texts[] = {tag ? tag : "", thread_name, cut_prefix(file ? file : ""), line_text, func ? func : "",
                           msg ? msg : ""};
    uint8_t *at = out + BSV_LOG_FIXED_SIZE;
    size_t room = max - BSV_LOG_FIXED_SIZE;
    for (const char *text : texts) {
        if (!pack_text(at, room, text)) break;
    }
    return static_cast<size_t>(at - out);
}

void bsv_log_record(uint32_t flags, const char *tag, const char *file, int line, const char *func,
                    const char *msg) {
    if (tag && (std::strcmp(tag, "bsv") == 0 || std::strcmp(tag, "net") == 0)) return;
    if (t_inside) return;
    t_inside = true;
    bsv_reg_log();
    uint8_t rec[BSV_LOG_REC_MAXN];
    size_t len = bsv_log_encode(rec, flags, tag, file, line, func, msg);
    if (flags & (LOG_F_BSV_NET | LOG_F_BSV_ONLY)) {
        if (bsv_log_sink_fn net = g_net_sink.load(std::memory_order_acquire))
            send_net(net, rec, len, flags, tag, file, line, func, msg);
    }
    if (bsv_log_sink_fn file_sink = g_file_sink.load(std::memory_order_acquire)) file_sink(flags, rec, len);
    if (bsv_log_sink_fn view_sink = g_view_sink.load(std::memory_order_acquire)) view_sink(flags, rec, len);
    bsv_write(&g_log_type, rec, len);
    t_inside = false;
}

void bsv_log_attach() { log2_attach_bin(&BIN_OPS); }

void bsv_log_set_file_sink(bsv_log_sink_fn sink) { g_file_sink.store(sink, std::memory_order_release); }
void bsv_log_set_net_sink(bsv_log_sink_fn sink) { g_net_sink.store(sink, std::memory_order_release); }
void bsv_log_set_view_sink(bsv_log_sink_fn sink) { g_view_sink.store(sink, std::memory_order_release); }
void bsv_log_set_net_room(size_t max) {
    g_net_room.store(max < BSV_LOG_REC_MAXN ? max : BSV_LOG_REC_MAXN, std::memory_order_relaxed);
}

bsv_reader *bsv_open_log() {
    bsv_reg_log();
    char err[BSV_ERR_MAXN];
    bsv_reader *reader = bsv_open("log", err);
    if (!reader) {
        LOGE("bsv_open(log), error: %s\n", err);
        return nullptr;
    }
    reader->value = bsv_value_init(BSV_LOG_INFO, 0);
    if (!reader->value) {
        LOGE("bsv_value_init(log) [%s], failed\n", BSV_LOG_INFO);
        bsv_close(reader, 1);
        return nullptr;
    }
    return reader;
}

int bsv_read_raw_log(bsv_reader *h, const uint8_t **rec) {
    PAL_CHECK_RET(h != NULL && rec != NULL, "h != NULL", -1);
    if (h->pos >= h->fill) {
        int got = rbuf_read_imp(h->ring, h->buf, sizeof h->buf);
        if (got <= 0) return got;
        h->fill = got;
        h->pos = 0;
    }
    // The ring hands out 16-bit length prefixes for records below 64 KiB.
    int vlen = h->buf[h->pos] | (h->buf[h->pos + 1] << 8);
    h->pos += 2;
    if (vlen == 0 || h->pos + vlen > h->fill) {
        h->pos = h->fill;
        PAL_CHECK_RET(false, "vlen != 0", -1);
    }
    *rec = h->buf + h->pos;
    h->pos += vlen;
    return vlen;
}

int bsv_read_log(bsv_reader *h, int *log_level, char *text) {
    PAL_CHECK_RET(h != NULL && h->value != NULL, "h != NULL", -1);
    PAL_CHECK_RET(log_level != NULL && text != NULL, "log_level != NULL", -1);
    const uint8_t *rec = nullptr;
    int len = bsv_read_raw_log(h, &rec);
    if (len <= 0) return len;
    return bsv_log_text(h->value, rec, static_cast<size_t>(len), log_level, text);
}

int bsv_log_text(bsv_value_ctx *ctx, const uint8_t *rec, size_t n, int *log_level, char *text) {
    PAL_CHECK_RET(ctx != NULL && rec != NULL, "ctx != NULL", -1);
    PAL_CHECK_RET(log_level != NULL && text != NULL, "log_level != NULL", -1);
    bsv_value sec = bsv_value_get_n(ctx, rec, n, BSV_LOG_SEC);
    bsv_value usec = bsv_value_get_n(ctx, rec, n, BSV_LOG_USEC);
    bsv_value pid = bsv_value_get_n(ctx, rec, n, BSV_LOG_PID);
    bsv_value level = bsv_value_get_n(ctx, rec, n, BSV_LOG_LEVEL);
    time_t when = static_cast<time_t>(sec.u64);
    tm local{};
    localtime_r(&when, &local);
    *log_level = level.u8;
    int written = std::snprintf(text, BSV_LOG_TEXT_MAXN, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s %d --- [%s] %s %s(): %s",
                                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                local.tm_sec, static_cast<int>(usec.u32 / 1000), log2_level_file_name(level.u8),
                                static_cast<int>(pid.u32), bsv_value_get_str_n(ctx, rec, n, BSV_LOG_TID_NAME),
                                bsv_value_get_str_n(ctx, rec, n, BSV_LOG_TAG), bsv_value_get_str_n(ctx, rec, n, BSV_LOG_FUNC),
                                bsv_value_get_str_n(ctx, rec, n, BSV_LOG_MSG));
    if (written < 0) return -1;
    return written < static_cast<int>(BSV_LOG_TEXT_MAXN) ? written : static_cast<int>(BSV_LOG_TEXT_MAXN) - 1;
}
