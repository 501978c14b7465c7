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
// Looks at standard error again at the next write (after it or the environment changed).
void log_console_journal_recheck();
// Syslog priority of a level: crit 2 ... dbg and verb 7.
int log_console_priority(int level);
// Writes one line to standard error, counted as a console line. Never waits
// long: when standard error (a pipe whose reader stopped) takes nothing for
// a short while, the line is dropped and counted lost; false then.
bool log_console_write(uint32_t fmt_flags, int level, const char *line, size_t len);
// The same for a text of the log about itself, not counted; false when dropped.
bool log_console_say(const char *text);
// True while the console drops lines: the last write found no room.
bool log_console_stalled();
