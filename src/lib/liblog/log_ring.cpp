#include "liblog/log_ring.h"

#include <cstring>

void log_ring_append(log_ring *ring, const char *text, size_t n) {
    if (!ring || !text) return;
    // One byte stays for the terminator.
    if (n + 1 > LOG_RING_CAP) return;
    if (ring->used + n + 1 > LOG_RING_CAP) {
        // Drop the shortest run of whole lines from the front that frees n
        // bytes, or everything when the lines held are shorter than that.
        // That run ends at the first line end at or after byte n - 1.
        const char *held = ring->store + ring->start;
        size_t drop = ring->used;
        if (n > 0 && n - 1 < ring->used) {
            const void *nl = std::memchr(held + n - 1, '\n', ring->used - (n - 1));
            if (nl) drop = static_cast<size_t>(static_cast<const char *>(nl) - held) + 1;
        } else if (n == 0) {
            drop = 0;
        }
        ring->start += static_cast<uint32_t>(drop);
        ring->used -= static_cast<uint32_t>(drop);
    }
    if (ring->start + ring->used + n + 1 > sizeof ring->store) {
        std::memmove(ring->store, ring->store + ring->start, ring->used);
        ring->start = 0;
    }
    char *end = ring->store + ring->start + ring->used;
    std::memcpy(end, text, n);
    end[n] = 0;
    ring->used += static_cast<uint32_t>(n);
}
