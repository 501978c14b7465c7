// Request framing of a network shell session, apart from its socket: the
// byte stream is cut into requests, and each request gets exactly one reply.
#pragma once

#include <cstddef>

#include "libsh/libsh.h"

// A request whose text starts with this byte sets a session option instead of
// running a line; a plain client never sends one, so its replies never change.
constexpr char DBGSH_OPTION_LEAD = '\x01';
// Session option: after it, every reply ends with DBGSH_OPTION_LEAD and the
// decimal status of its line (0: every command ran and returned 0) before the
// end byte. The option's own reply is the bare status "\x01" "0".
constexpr char DBGSH_OPTION_STATUS[] = "\x01status";

// Collects one request: it ends at a byte 0 or a LF; CRs are dropped. Of a
// request longer than LIBSH_LINE_MAX bytes only the count is kept, and its
// bytes are taken and dropped up to its end.
struct dbgsh_request {
    char line[LIBSH_LINE_SIZE];
    size_t len;    // bytes kept in line
    size_t total;  // bytes the request has had (CRs not counted)
    bool ended;    // the request is complete
};

// Empties r for the next request.
void dbgsh_request_reset(dbgsh_request *r);
// Takes bytes of data until r ends: the number of bytes taken. The rest of
// data belongs to the next request.
size_t dbgsh_request_take(dbgsh_request *r, const char *data, size_t size);

// Answers a complete request on ctx with exactly one reply (one ctx->flush):
// the session option, "error: line too long (N bytes, at most 4095)", or the
// shell line. *status_on holds the session's status option. Returns the
// line's result (-1 for the two errors).
int dbgsh_request_answer(shell_ctx *ctx, dbgsh_request *r, bool *status_on);
