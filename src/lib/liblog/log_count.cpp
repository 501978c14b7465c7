// Records accepted per level, for the metrics views. Each thread counts in a
// block of its own, so that threads logging at once do not pass one cache
// line back and forth on every record; a reader adds the blocks up.
#include <array>
#include <atomic>

#include "liblog/log2_ctl.h"

namespace {

constexpr size_t LEVELS = LOG_VERB + 1;
// Blocks for this many threads at once; further threads share one more.
constexpr size_t BLOCKS = 256;

struct alignas(64) count_block {
    std::array<std::atomic<uint64_t>, LEVELS> counts{};
    std::atomic<bool> taken{false};
};

// A block outlives its thread: the next thread that takes it adds on, so
// the sums never go back. No heap is used, so the first record of a thread
// allocates nothing either.
std::array<count_block, BLOCKS> g_blocks;
count_block g_shared;  // counted with atomic additions

thread_local count_block *t_block = nullptr;

// Gives the block back when its thread ends; a record logged later in the
// thread's teardown is counted in the shared block.
struct block_owner {
    ~block_owner() {
        if (t_block && t_block != &g_shared) t_block->taken.store(false, std::memory_order_release);
        t_block = &g_shared;
    }
};
thread_local block_owner t_owner;

count_block *take_block() {
    for (count_block &block : g_blocks) {
        bool expected = false;
        if (!block.taken.load(std::memory_order_relaxed) &&
            block.taken.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            t_block = &block;
            (void)&t_owner;  // registers the release at thread end
            return t_block;
        }
    }
    t_block = &g_shared;
    return t_block;
}

}  // namespace

void log2_count_record(int level) {
    if (level < 0 || level > LOG_VERB) return;
    count_block *block = t_block ? t_block : take_block();
    std::atomic<uint64_t> &count = block->counts[static_cast<size_t>(level)];
    if (block == &g_shared) {
        count.fetch_add(1, std::memory_order_relaxed);
    } else {
        // Only this thread writes its block: no locked instruction is needed.
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
}

uint64_t log2_record_count(int level) {
    if (level < 0 || level > LOG_VERB) return 0;
    auto index = static_cast<size_t>(level);
    uint64_t total = g_shared.counts[index].load(std::memory_order_relaxed);
    for (const count_block &block : g_blocks) total += block.counts[index].load(std::memory_order_relaxed);
    return total;
}
