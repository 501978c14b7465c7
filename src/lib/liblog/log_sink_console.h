// The console sink: standard error, coloured by level on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>

// ANSI colour of a level; null for info and unknown levels (plain write).
const char *log_console_colour(int level);
// True when standard error is a terminal and NO_COLOR is unset.
bool log_console_is_colour_tty();
// True when standard error is the journal's stream (JOURNAL_STREAM names its
// device and inode); then every line starts with "<priority>". Looked up once.
bool log_console_is_journal();
// Looks again at the next write (after standard error or the environment changed).
void log_console_journal_recheck();
// Syslog priority of a level: crit 2 ... dbg and verb 7.
int log_console_priority(int level);
// Writes one line to standard error and flushes it.
void log_console_write(uint32_t fmt_flags, int level, const char *line, size_t len);
