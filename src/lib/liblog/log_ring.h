// The ring of the most recent log lines ("show llog", panic reports).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t LOG_RING_CAP = 1024;

struct log_ring {
    char text[LOG_RING_CAP] = {};
    uint32_t cap = LOG_RING_CAP;
    uint32_t used = 0;
};

// Appends n bytes of whole lines, dropping the oldest whole lines to make room.
// A text that cannot fit even in an empty ring is not stored.
void log_ring_append(log_ring *ring, const char *text, size_t n);
