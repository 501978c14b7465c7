// Size texts such as "4k", "2MB", "1.5G".
#pragma once

#include <cstdint>

// 0 for null, for a text starting with white space, '+' or '-', and for an
// unknown suffix. Suffixes multiply in turn and match case-insensitively in a
// fixed order, so "2k" is 2048 but "2kb" is 2000.
uint64_t str_to_size(const char *text);
