// The ring of the most recent log lines ("show llog", panic reports).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t LOG_RING_CAP = 1024;

// The lines held are one text of at most LOG_RING_CAP - 1 bytes that starts
// at `start` in a store eight times that size: dropping old lines only moves
// the start, and the text moves back to the front once per seven ring
// lengths of lines, not once per line.
struct log_ring {
    char store[8 * LOG_RING_CAP] = {};
    uint32_t start = 0;
    uint32_t used = 0;
};

// Appends n bytes of whole lines, dropping the oldest whole lines to make room.
// A text that cannot fit even in an empty ring is not stored.
void log_ring_append(log_ring *ring, const char *text, size_t n);
// The lines held, NUL-terminated; valid until the next append.
inline const char *log_ring_text(const log_ring *ring) { return ring->store + ring->start; }
