#define LOG_TAG "pal"
#include "libpal/env/random.h"

#include <atomic>
#include <cstring>

#include "libpal/basic/pal_assert.h"

namespace {
// Shared without a lock by design: concurrent callers may see equal values.
std::atomic<uint64_t> g_state{88172645463325252ULL};

uint64_t step() {
    uint64_t x = g_state.load(std::memory_order_relaxed);
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    g_state.store(x, std::memory_order_relaxed);
    return x;
}
}  // namespace

void memory_random_seed(uint64_t seed) { g_state.store(seed ? seed : 1, std::memory_order_relaxed); }

int memory_random_imp(void *, void *buf, size_t count) {
    PAL_ASSERT_RET(buf != nullptr, -1);
    if (count == 0) return 0;
    auto *out = static_cast<unsigned char *>(buf);
    size_t words = count / 8;
    for (size_t i = 0; i < words; ++i) {
        uint64_t v = step();
        std::memcpy(out + i * 8, &v, 8);
    }
    if (size_t tail = count % 8) {
        uint64_t v = step();
        std::memcpy(out + words * 8, &v, tail);  // low-order bytes first on x86-64
    }
    return static_cast<int>(count);
}
