#include "liblog/log_ring.h"

#include <cstring>

void log_ring_append(log_ring *ring, const char *text, size_t n) {
    if (!ring || !text) return;
    // One byte stays for the terminator.
    if (n + 1 > ring->cap) return;
    if (ring->used + n + 1 > ring->cap) {
        // Drop the shortest run of whole lines from the front that frees n
        // bytes, or everything when the lines held are shorter than that.
        size_t drop = 0;
        while (drop < n && drop < ring->used) {
            const void *nl = std::memchr(ring->text + drop, '\n', ring->used - drop);
            drop = nl ? static_cast<size_t>(static_cast<const char *>(nl) - ring->text) + 1 : ring->used;
        }
        std::memmove(ring->text, ring->text + drop, ring->used - drop);
        ring->used -= static_cast<uint32_t>(drop);
    }
    std::memcpy(ring->text + ring->used, text, n);
    ring->used += static_cast<uint32_t>(n);
    ring->text[ring->used] = 0;
}
