// Line editing for an operator at a terminal (libedit): arrow keys, Home and
// End, Ctrl+R history search, a history kept in ~/.<app_name>_history across
// runs and Tab completion of commands, show items and set variables. Log
// lines printed while a line is typed clear it first and draw it again after.
#pragma once

#include <cstddef>

// True when standard input and output are terminals, so that editing applies.
bool dbgsh_edit_usable();
// Shows prompt and reads one edited line into buf without its line end, with
// the results of dbgsh_line_next (libdbg/shell_line_reader.h): DBGSH_LINE_READY and
// its length in *len; DBGSH_LINE_TOO_LONG with the length typed in *len for a
// line of more than size - 1 bytes (nothing of it kept); DBGSH_LINE_ZERO_BYTE
// for a line with a byte 0 in it; DBGSH_LINE_END at the end of input (Ctrl+D
// on an empty line) or when stop (may be null; asked before each wait for a
// key and on dbgsh_line_wake) returns true. Each non-empty line goes into the
// history file.
int dbgsh_edit_gets(const char *prompt, char *buf, size_t size, bool (*stop)(), size_t *len);
// Between lines the terminal stays without line buffering and echo, so that
// keys typed ahead wait whole for the next line; this gives it back as it
// was (also done at exit). The next dbgsh_edit_gets takes it again.
void dbgsh_edit_end();
// Puts the terminal back as it was before editing began, for a process that
// is about to end (from any thread): the editor is not used again after it.
// Safe to call when editing never began.
void dbgsh_edit_restore_terminal();
