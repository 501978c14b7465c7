// Binary log records (type "log", id 1): every record the log call accepts
// is encoded once and handed to the pcap log file, the UDP collector sink and
// every reader of "log" (the pipe server, the web console's log view).
//
// Layout, little-endian, at most 1470 bytes: sec u64, usec u32, pid u32,
// tid u32, level u8, then six NUL-terminated texts sharing 1449 bytes:
// tag, tid_name, file, line (decimal), func, msg.
#pragma once

#include <cstddef>
#include <cstdint>

struct bsv_reader;
struct bsv_type;
struct bsv_value_ctx;

constexpr size_t BSV_LOG_REC_MAXN = 1470;
constexpr size_t BSV_LOG_FIXED_SIZE = 21;
constexpr int32_t BSV_LOG_TYPE_MAX_SIZE = 1472;  // ring block size of a log reader
constexpr int32_t BSV_LOG_MAX_READER = 8;
constexpr size_t BSV_LOG_TEXT_MAXN = 1472;       // text of bsv_read_log

// Field indexes of a log record.
enum : int {
    BSV_LOG_SEC = 0,
    BSV_LOG_USEC,
    BSV_LOG_PID,
    BSV_LOG_TID,
    BSV_LOG_LEVEL,
    BSV_LOG_TAG,
    BSV_LOG_TID_NAME,
    BSV_LOG_FILE,
    BSV_LOG_LINE,
    BSV_LOG_FUNC,
    BSV_LOG_MSG,
};

// Registers type "log" once; later calls return 0.
int bsv_reg_log();
// The "log" type record (registered or not).
bsv_type *bsv_log_type();

// Encodes one record into out (BSV_LOG_REC_MAXN bytes) with the current
// time, process, thread and thread name; returns its length. The source file
// loses the build-tree prefix.
size_t bsv_log_encode(uint8_t *out, uint32_t flags, const char *tag, const char *file, int line,
                      const char *func, const char *msg);
// The same into at most max bytes (at most BSV_LOG_REC_MAXN); 0 when max
// does not hold the fixed fields.
size_t bsv_log_encode_max(uint8_t *out, size_t max, uint32_t flags, const char *tag, const char *file, int line,
                          const char *func, const char *msg);
// What the log core hands over for every accepted record: encodes it (tags
// "bsv" and "net" excepted) and delivers it to the sinks and readers.
void bsv_log_record(uint32_t flags, const char *tag, const char *file, int line, const char *func,
                    const char *msg);
// Plugs bsv_log_record into the log core; log2_exit then runs bsv_exit.
void bsv_log_attach();

// Consumers of every encoded record, set by the libraries that own them:
// the pcap log file gets every record; the UDP collector sink only records
// flagged LOG_F_BSV_NET or LOG_F_BSV_ONLY. Null detaches.
using bsv_log_sink_fn = void (*)(uint32_t flags, const uint8_t *rec, size_t len);
void bsv_log_set_file_sink(bsv_log_sink_fn sink);
void bsv_log_set_net_sink(bsv_log_sink_fn sink);
// The web console's log view: every record, on the logging thread, so that
// it keeps up with a flood that would overrun a reader's ring between polls.
void bsv_log_set_view_sink(bsv_log_sink_fn sink);
// The longest record the net sink can carry; a longer one reaches it as
// several records with the message in pieces.
void bsv_log_set_net_room(size_t max);

// A reader of "log" with a 1 MiB ring and a value context; null on failure
// (logged at err). Close it with bsv_close(reader, 1).
bsv_reader *bsv_open_log();
// Length of the next record with *rec pointing to it (valid until the next
// read), 0 when none waits, -1 on a bad call.
int bsv_read_raw_log(bsv_reader *h, const uint8_t **rec);
// The next record as one text line (text holds BSV_LOG_TEXT_MAXN bytes):
// "YYYY-MM-DD hh:mm:ss.mmm LEVEL pid --- [tid_name] tag func(): msg".
// Stores the level; returns the text length, 0 when none waits, -1 on a bad call.
int bsv_read_log(bsv_reader *h, int *log_level, char *text);
// The same line for an encoded record, read with a value context of
// BSV_LOG_INFO; its length, -1 on a bad call.
int bsv_log_text(bsv_value_ctx *ctx, const uint8_t *rec, size_t len, int *log_level, char *text);
