// Command lines out of a byte stream (the console's standard input, or the
// remote client's when it is not a terminal): each line is handed out whole,
// or refused with what was wrong, never cut and run in pieces.
#pragma once

#include <cstddef>
#include <string>

// Results of dbgsh_line_next and dbgsh_line_read_fd.
constexpr int DBGSH_LINE_READY = 1;      // a whole line is in buf
constexpr int DBGSH_LINE_MORE = 0;       // the line is not complete yet: feed more
constexpr int DBGSH_LINE_END = -1;       // the input ended (or the reader was stopped)
constexpr int DBGSH_LINE_TOO_LONG = -2;  // longer than the buffer takes; *len is its length
constexpr int DBGSH_LINE_ZERO_BYTE = -3; // holds a byte 0; *len is where

// What a reader keeps between lines. Zero-initialise it (or {}) to start.
struct dbgsh_line_reader {
    std::string pending;  // bytes after the last line handed out
    size_t dropped;       // bytes of an over-long line already thrown away
    bool dropping;        // inside an over-long line, up to its LF
    bool dropped_cr;      // the last byte thrown away was CR
    bool ended;           // no more bytes will be fed
};

// Adds bytes read from the stream.
void dbgsh_line_feed(dbgsh_line_reader *r, const char *bytes, size_t count);
// Marks the end of the stream: a last line without LF is still a line.
void dbgsh_line_end(dbgsh_line_reader *r);
// The next line into buf (at most size - 1 bytes, NUL-terminated, without its
// LF and a CR before it) with its length in *len. An over-long line or one
// with a byte 0 is refused whole, and reading goes on after its LF. Never
// keeps more than about size bytes of an over-long line.
int dbgsh_line_next(dbgsh_line_reader *r, char *buf, size_t size, size_t *len);
// Reads fd until dbgsh_line_next has something other than DBGSH_LINE_MORE.
// stop (may be null) is asked before each wait and whenever dbgsh_line_wake
// is called; when it returns true the result is DBGSH_LINE_END with the
// stream left as it was. Nothing wakes the reader in between.
int dbgsh_line_read_fd(dbgsh_line_reader *r, int fd, char *buf, size_t size, size_t *len, bool (*stop)());

// Makes a reader waiting with a stop callback (dbgsh_line_read_fd,
// dbgsh_line_wait) ask it again now. Call it after making stop true; safe
// from any thread and from a signal handler.
void dbgsh_line_wake();
// Waits without a time limit until fd has bytes (1), or, with watch_wake,
// until dbgsh_line_wake is called (0); -1 when the wait itself fails.
int dbgsh_line_wait(int fd, bool watch_wake);

// The one message for a refused line, ending in LF, into buf.
void dbgsh_line_refusal(int result, size_t len, size_t size, char *buf, size_t buf_size);
