// Counts every malloc of the process (outside the sanitizer builds, which
// own malloc themselves).
#pragma once

#include <cstdint>

bool malloc_counter_works();
uint64_t malloc_counter_calls();
