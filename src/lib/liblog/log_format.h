// The log call's own printf for the conversions log lines use most (d i u x
// X c s %, with '-' and '0' flags, a width, a precision for s and the length
// modifiers l ll z). It produces what vsnprintf produces; anything else it
// leaves to vsnprintf.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr int LOG_FORMAT_UNSUPPORTED = -2;  // use vsnprintf (args then consumed in part)
constexpr int LOG_FORMAT_NO_ROOM = -3;      // the text needs size bytes or more

// Formats into out (size bytes, NUL-terminated on success): the length, or
// one of the two codes above.
int log_vformat(char *out, size_t size, const char *fmt, va_list args);
