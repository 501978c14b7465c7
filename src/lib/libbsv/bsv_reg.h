// The registry of record types and their readers. One writer call hands a
// record to every reader attached to its type; each reader drains its own
// ring, so a slow reader only loses its own oldest records.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct rbuf;
struct bsv_value_ctx;
struct bsv_reader;

constexpr int BSV_TYPE_MAXN = 8;
constexpr size_t BSV_ERR_MAXN = 4096;
constexpr size_t BSV_READ_BUF_SIZE = 4096;

struct bsv_type {
    const char *name;
    const char *info;        // type descriptor
    int32_t type_id;
    int32_t big_endian;
    int32_t max_size;        // largest record, the readers' ring block size
    int32_t max_reader;
    bsv_reader **readers;    // max_reader slots, allocated by bsv_reg
    std::atomic<int32_t> reader_count;
};

enum : int32_t { BSV_READER_CLOSED = 0, BSV_READER_OPEN = 1 };

struct bsv_reader {
    rbuf *ring;
    bsv_type *type;
    std::atomic<int32_t> state;
    bsv_value_ctx *value;    // log readers only (bsv_open_log)
    // Batch of length-prefixed records taken from the ring, walked record by record.
    uint8_t buf[BSV_READ_BUF_SIZE];
    int32_t fill;
    int32_t pos;
};

// Adds the type to the registry (a type already present is accepted again);
// 0, or -1 when all slots are taken or memory runs out.
int bsv_reg(bsv_type *type);
// Opens a reader of the named type. The name may carry "?bsv_rbuf_size=SIZE"
// (default "1m"; 0 means 1 MiB). With every reader slot taken the reader is
// still returned, attached to nothing. Null with err (4096 bytes) filled:
// "memory allocation failed" or "name does not exist".
bsv_reader *bsv_open(const char *name, char *err);
// Frees the reader; with detach it is first removed from its type.
void bsv_close(bsv_reader *reader, int detach);
// Copies the record into the ring of every open reader of the type.
void bsv_write(bsv_type *type, const void *rec, size_t len);
// Closes every reader of every type and empties the registry.
void bsv_exit();
// Number of readers attached to the type, read without the lock.
int bsv_reader_count(const bsv_type *type);
