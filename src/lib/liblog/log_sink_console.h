// The console sink: standard error, coloured by level on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>

// ANSI colour of a level; null for info and unknown levels (plain write).
const char *log_console_colour(int level);
// True when standard error is a terminal and NO_COLOR is unset.
bool log_console_is_colour_tty();
// Writes one line to standard error and flushes it.
void log_console_write(uint32_t fmt_flags, int level, const char *line, size_t len);
