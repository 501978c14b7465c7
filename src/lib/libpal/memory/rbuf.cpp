// Ring buffer of length-prefixed records in fixed slots. Writers never wait:
// a full ring overwrites its oldest record.
#define LOG_TAG "pal"

#include "libpal/memory/rbuf.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_mutex.h"

namespace {

// Auto-reset event: a successful wait or test consumes the signal.
class auto_event {
public:
    void set() {
        std::lock_guard<std::mutex> guard(lock_);
        signalled_ = true;
        cond_.notify_one();
    }
    bool test() {
        std::lock_guard<std::mutex> guard(lock_);
        return consume();
    }
    bool wait(int ms) {
        std::unique_lock<std::mutex> guard(lock_);
        if (ms < 0) {
            cond_.wait(guard, [this] { return signalled_; });
        } else {
            cond_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return signalled_; });
        }
        return consume();
    }

private:
    bool consume() {
        const bool was = signalled_;
        signalled_ = false;
        return was;
    }
    std::mutex lock_;
    std::condition_variable cond_;
    bool signalled_ = false;
};

void put_prefix(uint8_t *slot, uint32_t width, uint32_t len) {
    for (uint32_t i = 0; i < width; i++) slot[i] = static_cast<uint8_t>(len >> (8 * i));
}

uint32_t get_prefix(const uint8_t *slot, uint32_t width) {
    uint32_t len = 0;
    for (uint32_t i = 0; i < width; i++) len |= uint32_t{slot[i]} << (8 * i);
    return len;
}

}  // namespace

struct rbuf {
    uint32_t all_size = 0;
    uint32_t block_size = 0;  // largest record
    uint32_t bs_byte = 0;     // prefix width
    uint32_t BlockSize = 0;   // slot size: block_size + bs_byte
    uint32_t MaxQueueSize = 0;
    uint8_t *storage = nullptr;

    uint64_t queued = 0;
    uint64_t read_index = 0;
    uint64_t write_index = 0;
    uint64_t write_bytes = 0;
    uint64_t write_count = 0;
    uint64_t drop_count = 0;
    uint64_t drop_bytes = 0;
    std::atomic<uint32_t> pending_bytes{0};

    mutex_t *lock = nullptr;
    auto_event data;
    auto_event space;

    uint8_t *slot_at(uint64_t index) { return storage + ((index - 1) % MaxQueueSize) * BlockSize; }
};

rbuf *rbuf_init(size_t all_size, size_t block_size) {
    PAL_CHECK_RET(all_size > 2, "all_size>2", nullptr);
    PAL_CHECK_RET(block_size > 2, "block_size>2 && block_size<=UINT16_MAX", nullptr);
    PAL_ASSERT_RET(all_size <= UINT32_MAX && block_size < UINT32_MAX - 4, nullptr);
    const uint32_t bs_byte = block_size < 65536 ? 2 : 4;
    const size_t slot_size = block_size + bs_byte;
    const size_t slots = all_size / slot_size;
    if (slots < 2) {
        log2_printf(nullptr, LOG_ERR, "bsv", __FILE__, __LINE__, __func__,
                    "MaxQueueSize=%d <2 error\n", static_cast<int>(slots));
        return nullptr;
    }
    auto *ring = new (std::nothrow) rbuf;
    if (!ring) return nullptr;
    ring->all_size = static_cast<uint32_t>(all_size);
    ring->block_size = static_cast<uint32_t>(block_size);
    ring->bs_byte = bs_byte;
    ring->BlockSize = static_cast<uint32_t>(slot_size);
    ring->MaxQueueSize = static_cast<uint32_t>(slots);
    ring->storage = static_cast<uint8_t *>(mem_malloc(all_size));
    ring->lock = mutex_malloc();
    if (!ring->storage || !ring->lock) {
        rbuf_exit(ring);
        return nullptr;
    }
    return ring;
}

void rbuf_exit(rbuf *ring) {
    PAL_CHECK_RET(ring, "h!=NULL", );
    mutex_free(ring->lock);
    mem_free(ring->storage);
    delete ring;
}

void *rbuf_alloc_lock(rbuf *ring, size_t size) {
    PAL_CHECK_RET(ring, "h!=NULL", nullptr);
    rbuf *ctx = ring;
    PAL_CHECK_RET(size > 0 && size <= ctx->BlockSize - ctx->bs_byte,
                  "size>0 && size<=ctx->BlockSize-ctx->bs_byte", nullptr);
    mutex_lock(ctx->lock);
    if (ctx->queued >= ctx->MaxQueueSize) {
        // Full: the oldest record makes room.
        ctx->read_index++;
        const uint32_t dropped = get_prefix(ctx->slot_at(ctx->read_index), ctx->bs_byte);
        ctx->queued--;
        ctx->drop_count++;
        ctx->drop_bytes += dropped;
        ctx->pending_bytes.fetch_sub(dropped, std::memory_order_relaxed);
    }
    ctx->write_index++;
    uint8_t *slot = ctx->slot_at(ctx->write_index);
    put_prefix(slot, ctx->bs_byte, static_cast<uint32_t>(size));
    ctx->queued++;
    ctx->write_count++;
    ctx->write_bytes += size;
    return slot + ctx->bs_byte;
}

void rbuf_alloc_unlock(rbuf *ring, size_t size) {
    PAL_CHECK_RET(ring, "h!=NULL", );
    ring->pending_bytes.fetch_add(static_cast<uint32_t>(size), std::memory_order_relaxed);
    mutex_unlock(ring->lock);
    ring->data.set();
}

int rbuf_write(rbuf *ring, const void *block, size_t size) {
    PAL_CHECK_RET(ring, "h!=NULL", -1);
    PAL_CHECK_RET(block, "block!=NULL", -1);
    void *area = rbuf_alloc_lock(ring, size);
    if (!area) return -1;
    std::memcpy(area, block, size);
    rbuf_alloc_unlock(ring, size);
    return 0;
}

int rbuf_read_imp(rbuf *ring, void *buf, size_t len) {
    PAL_CHECK_RET(ring, "h!=NULL", -1);
    PAL_CHECK_RET(buf, "buf!=NULL", -1);
    rbuf *ctx = ring;
    PAL_CHECK_RET(len >= ctx->BlockSize, "len>=ctx->BlockSize", -1);
    if (ctx->pending_bytes.load(std::memory_order_relaxed) == 0) {
        const bool signalled = ctx->data.test() || ctx->data.test();
        if (!signalled || ctx->pending_bytes.load(std::memory_order_relaxed) == 0) return 0;
    }
    auto *out = static_cast<uint8_t *>(buf);
    size_t copied = 0;
    {
        mutex_guard guard(ctx->lock);
        while (len - copied >= ctx->BlockSize && ctx->read_index < ctx->write_index) {
            ctx->read_index++;
            const uint8_t *slot = ctx->slot_at(ctx->read_index);
            const uint32_t record = get_prefix(slot, ctx->bs_byte);
            std::memcpy(out + copied, slot, ctx->bs_byte + record);
            copied += ctx->bs_byte + record;
            ctx->pending_bytes.fetch_sub(record, std::memory_order_relaxed);
            ctx->queued--;
        }
    }
    ctx->space.set();
    return static_cast<int>(copied);
}

bool rbuf_wait_data(rbuf *ring, int ms) {
    PAL_CHECK_RET(ring, "h!=NULL", false);
    if (ring->pending_bytes.load(std::memory_order_relaxed) != 0) return true;
    ring->data.wait(ms);
    return ring->pending_bytes.load(std::memory_order_relaxed) != 0;
}

bool rbuf_stats_get(rbuf *ring, rbuf_stats *out) {
    PAL_CHECK_RET(ring, "h!=NULL", false);
    PAL_ASSERT_RET(out, false);
    mutex_guard guard(ring->lock);
    out->all_size = ring->all_size;
    out->block_size = ring->block_size;
    out->bs_byte = ring->bs_byte;
    out->slot_size = ring->BlockSize;
    out->max_queue_size = ring->MaxQueueSize;
    out->queued = ring->queued;
    out->read_index = ring->read_index;
    out->write_index = ring->write_index;
    out->write_bytes = ring->write_bytes;
    out->write_count = ring->write_count;
    out->drop_count = ring->drop_count;
    out->drop_bytes = ring->drop_bytes;
    out->pending_bytes = ring->pending_bytes.load(std::memory_order_relaxed);
    return true;
}
