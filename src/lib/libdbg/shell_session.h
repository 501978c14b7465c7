// Shell sessions over a byte stream: the console and the debug shell
// server's TCP connections share this session engine and output path.
#pragma once

#include "libnet/net_sock.h"
#include "libsh/libsh.h"

constexpr size_t DBGSH_PRINT_SIZE = 8192;  // print output is cut at 8191 bytes
constexpr uint32_t DBGSH_TIMEOUT_MS = 1000;

// Fills ctx for a session on stream. STDIO_MODE makes a console stream and,
// when no command string is set, waits 300 ms and prints the help hint on
// standard output; NET_MODE makes a socket stream on sock. Any other mode:
// "mode=%d invalid\n" and -1. Returns 0.
int dbgsh_srv_ctx_init(shell_ctx *ctx, net_sock *stream, int mode, os_socket sock);
// Session loop: reads commands from the stream and runs them until the
// stream fails or a command sets exit_flag; the stream is closed then.
// Returns 0, or -1 for an unknown mode.
int dbgsh_srv_imp(shell_ctx *ctx);

// The three output operations of a session; out is the net_sock.
int dbgsh_print(void *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int dbgsh_write(void *out, const char *text, size_t len);
// Writes the end-of-reply byte 0; -1 when the stream has no valid kind.
int dbgsh_flush(void *out);
// 1 once the session should end: its stream is closed or aborted, its server
// stops, or the client at the other end of a socket has gone.
int dbgsh_stopped(void *out);

// Writes text with every LF as CR LF and trailing blanks, tabs, VT and FF
// removed (CR, LF and bytes of 0x80 or more stop the removal). Returns the
// stream's result, -1 when the copy cannot be made.
int dbgout_write_imp(net_sock *stream, const char *text);
