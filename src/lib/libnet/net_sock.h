// One byte stream over a TCP socket, the console, a named pipe, a serial port
// or a memory buffer. Socket reads and writes run against a total time limit,
// notice an orderly close by the peer and can be cut short from another thread
// through the abort flag or the stop hook.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libpal/os/os_socket.h"

struct os_name_pipe_srv;
struct os_serial;

// Stream kinds; a negative kind is closed/unusable.
constexpr int32_t NET_SOCK_KIND_CLOSED = -1;
constexpr int32_t NET_SOCK_KIND_SOCKET = 0;
constexpr int32_t NET_SOCK_KIND_SOCKET1 = 1;  // also a socket
constexpr int32_t NET_SOCK_KIND_CONSOLE = 2;  // standard input and output
constexpr int32_t NET_SOCK_KIND_PIPE = 3;     // named-pipe server
constexpr int32_t NET_SOCK_KIND_SERIAL = 4;
constexpr int32_t NET_SOCK_KIND_MEMORY = 5;

// Line buffers of net_gets and net_gets_nul.
constexpr size_t NET_GETS_MAXN = 4096;
constexpr size_t NET_GETS_NUL_MAXN = 16384;
// Buffer of net_printf.
constexpr size_t NET_PRINTF_MAXN = 4096;

// Stop hook shared with the TCP client: another thread sets stop, or func
// answers true, and the waiting call gives up.
struct sock_stop_hook {
    std::atomic<uint8_t> stop;
    bool (*func)(void *user, uint32_t timeout);  // may be null
    void *user;
    // May be none. A socket that turns readable once a stop is requested:
    // socket waits watch it and need not wake every few hundred ms to ask.
    os_socket wake;
};

struct net_sock;
// TLS read/write: byte count or negative.
using net_sock_io_proc = int (*)(net_sock *ns, void *buf, size_t len);

// Growable byte array of the memory kind. data is kept NUL-terminated.
struct net_mem_buf {
    uint8_t *data;
    size_t len;      // bytes held
    size_t cap;      // bytes allocated
    size_t rpos;     // read position
    size_t written;  // bytes written since the last read
};

// Plain record embedded in its user's context; zero it before use (kind 0 is
// a socket stream), or fill it with one of the net_sock_init_* calls.
struct net_sock {
    int32_t kind;
    union {
        os_socket sock;
        os_name_pipe_srv *pipe;
        os_serial *serial;
        net_mem_buf *mem;
    };
    uint8_t tls;       // socket I/O goes through the TLS procedures
    uint32_t timeout;  // total ms one read or write call may take
    std::atomic<int32_t> abort;  // set: a socket call that would wait returns -1
    sock_stop_hook *stop;        // may be null
    net_sock_io_proc tls_read;   // per-stream; wins over g_ssl_read_proc
    net_sock_io_proc tls_write;
    uint8_t disconnected;  // the peer closed; later socket I/O fails at once
};

// Process-wide TLS procedures; nothing in this system installs them.
extern net_sock_io_proc g_ssl_read_proc;
extern net_sock_io_proc g_ssl_write_proc;

// Fill a stream record of the given kind (previous contents are overwritten,
// nothing is closed). The memory form allocates its buffer: 0, or -1 when it cannot.
void net_sock_init_socket(net_sock *ns, os_socket sock, uint32_t timeout);
void net_sock_init_console(net_sock *ns);
void net_sock_init_pipe(net_sock *ns, os_name_pipe_srv *pipe, uint32_t timeout);
void net_sock_init_serial(net_sock *ns, os_serial *serial, uint32_t timeout);
int net_sock_init_memory(net_sock *ns);
// The memory kind's bytes not yet read (NUL-terminated) and their count; null otherwise.
const char *net_sock_mem_data(const net_sock *ns, size_t *len);

// Bytes read, 0 when nothing arrived in time, -1 on error or a negative kind.
int net_read(net_sock *ns, void *buf, size_t len);
// Bytes written (a short count when time ran out), or -1.
int net_write(net_sock *ns, const void *buf, size_t len);
// Socket kinds: read exactly len bytes unless time runs out or the peer closes.
int net_sock_read(net_sock *ns, void *buf, size_t len);
// Socket kinds: write every byte unless time runs out.
int net_sock_write(net_sock *ns, const void *buf, size_t len);

// Whatever has arrived, up to len bytes, in one receive: waits for the first
// byte up to wait_ms (< 0: until data, a stop or an abort). Bytes read, 0 when
// nothing came in time, -1 on error, stop or when the peer has closed. Other
// kinds than a plain socket read one byte through net_read.
int net_sock_read_some(net_sock *ns, void *buf, size_t len, int wait_ms);
// The same without a time limit, asleep in the receive itself when the socket
// is in blocking mode: one system call per read. Only the socket's end (the
// peer's close, or a shutdown of its input by a stop) wakes it, so the stop
// must shut the input down. Bytes read, or -1 as above; a socket that is not
// in blocking mode, or another kind, waits as net_sock_read_some does.
int net_sock_read_wait(net_sock *ns, void *buf, size_t len);

// Next byte 0..255 with *got = 1; 0 with *got = 0 when nothing came; -1 on error.
int net_getc(net_sock *ns, int *got);
// Line up to LF or NUL into buf (NET_GETS_MAXN bytes), CRs dropped, terminator
// not stored. Length, 1 for a bare terminator, 0 when nothing came, -1 on
// error or a line of 4095 bytes or more.
int net_gets(net_sock *ns, char *buf);
// Same, ended only by NUL, into NET_GETS_NUL_MAXN bytes (limit 16383).
int net_gets_nul(net_sock *ns, char *buf);
// Formats into 4096 bytes and writes; the net_write result, -1 for a negative kind.
int net_printf(net_sock *ns, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Clears abort and disconnected; closes the socket kinds, frees the memory
// buffer, leaves console and pipe alone. 0, or -1 for a negative or serial kind.
int net_close(net_sock *ns);
