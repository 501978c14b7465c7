// Process-wide xorshift64 state; not for secrets.
#pragma once

#include <cstddef>
#include <cstdint>

void memory_random_seed(uint64_t seed);
// Fills count bytes; returns count, 0 for count 0, -1 for a null buffer.
int memory_random_imp(void *ignored, void *buf, size_t count);
