// Ring buffer: a fixed-slot queue of variable-length records between threads.
// The writer never blocks: when the ring is full the oldest record is dropped,
// so a slow or absent reader costs only lost old records.
#pragma once

#include <cstddef>
#include <cstdint>

struct rbuf;

// Output of rbuf_read_imp: a run of length-prefixed records.
constexpr size_t RBUF_READ_MAXN = 4096;

// Counters of one ring, read under its mutex.
struct rbuf_stats {
    uint32_t all_size;        // storage bytes, as requested
    uint32_t block_size;      // largest record
    uint32_t bs_byte;         // length-prefix width: 2, or 4 for blocks of 64 KiB and more
    uint32_t slot_size;       // block_size + bs_byte
    uint32_t max_queue_size;  // slots
    uint64_t queued;          // records waiting
    uint64_t read_index;
    uint64_t write_index;
    uint64_t write_bytes;
    uint64_t write_count;
    uint64_t drop_count;
    uint64_t drop_bytes;
    uint32_t pending_bytes;
};

// New ring of all_size bytes whose records are at most block_size bytes;
// null on a bad size or when fewer than 2 slots fit.
rbuf *rbuf_init(size_t all_size, size_t block_size);
void rbuf_exit(rbuf *ring);

// Claims the next slot for a record of size bytes (dropping the oldest record
// when full) and returns its data area with the ring's mutex held; release it
// with rbuf_alloc_unlock. Null (mutex not held) for a bad size.
void *rbuf_alloc_lock(rbuf *ring, size_t size);
// Publishes the record claimed by rbuf_alloc_lock and releases the mutex.
void rbuf_alloc_unlock(rbuf *ring, size_t size);
// Copies one record in; 0, or -1 for a null record or a refused size.
int rbuf_write(rbuf *ring, const void *block, size_t size);

// Non-blocking batch read of whole records into buf of len bytes (the readers
// use RBUF_READ_MAXN; len below one slot is a bad call). Bytes copied, 0 when
// nothing waits, -1 on a bad call.
int rbuf_read_imp(rbuf *ring, void *buf, size_t len);
// Waits up to ms (< 0: no limit) for a write since the last read; true when data waits.
bool rbuf_wait_data(rbuf *ring, int ms);

// Snapshot of the counters; false on a bad call.
bool rbuf_stats_get(rbuf *ring, rbuf_stats *out);
