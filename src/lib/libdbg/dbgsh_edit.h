// Line editing for an operator at a terminal (libedit): arrow keys, Home and
// End, Ctrl+R history search, a history kept in ~/.<app_name>_history across
// runs and Tab completion of commands, show items and set variables. Log
// lines printed while a line is typed clear it first and draw it again after.
#pragma once

#include <cstddef>

// True when standard input and output are terminals, so that editing applies.
bool dbgsh_edit_usable();
// Shows prompt and reads one edited line into buf without its line end: its
// length, 0 for a line too long for buf (dropped), -1 at the end of input or
// when stop (may be null; asked about twice a second) returns true. Each
// non-empty line goes into the history file.
int dbgsh_edit_gets(const char *prompt, char *buf, size_t size, bool (*stop)());
