// Named pipes. On Linux a pipe name maps to a FIFO under /tmp (mode 0600):
// the server creates it and writes, a capture tool opens it and reads. Data
// travels one way, from the server to its reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Pipe namespace prefix as the rest of the system writes names.
constexpr const char OS_NAME_PIPE_PREFIX[] = "\\\\.\\pipe\\";
constexpr size_t OS_NAME_PIPE_PATH_MAXN = 256;
// Time-out meaning "wait without limit".
constexpr uint32_t OS_NAME_PIPE_WAIT_FOREVER = 0xFFFFFFFF;

// Server record. need_connect is set at creation and whenever the reader
// went away; closed is set once the stop event was seen.
struct os_name_pipe_srv {
    std::atomic<uint32_t> state;
    std::atomic<uint8_t> closed;
    std::atomic<uint8_t> need_connect;
    int fd;                          // write end, -1 while no reader is attached
    std::atomic<uint8_t> stop_event;  // set by os_name_pipe_srv_stop from any thread
    int wake_fd;                      // eventfd that ends a wait for a reader at the stop, or -1
    int notify_fd;                    // inotify descriptor that reports opens of the FIFO, or -1
    char path[OS_NAME_PIPE_PATH_MAXN];
};

// Maps "\\.\pipe\NAME" (or a bare NAME) to "/tmp/NAME"; a name that already is
// an absolute path is kept. Returns out, or null when it does not fit.
char *os_name_pipe_path(const char *name, char *out, size_t size);

// Creates the FIFO (replacing a stale one) without waiting for a reader.
// The record starts needing a client. Null on failure (errno kept).
os_name_pipe_srv *os_name_pipe_single_srv_open(const char *name);
// Drops the reader, removes the FIFO and frees the record; null is ignored.
void os_name_pipe_srv_close(os_name_pipe_srv *pipe);
// Fires the stop event: a waiting connect gives up and marks the record closed.
void os_name_pipe_srv_stop(os_name_pipe_srv *pipe);
// Drops the current reader; the next connect waits for a new one.
void os_name_pipe_srv_disconnect(os_name_pipe_srv *pipe);

// True when a reader is attached. An attached reader counts at once; otherwise
// waits up to timeout_ms (OS_NAME_PIPE_WAIT_FOREVER: no limit) without waking
// until the FIFO is opened (or, without inotify, retrying after 50 ms, then
// less often up to every 500 ms). While it waits the server holds a write end,
// so a reader's blocking open returns at once. The stop event ends the wait at
// once, marks the record closed and gives false; a time-out gives false.
bool os_name_pipe_srv_connect(os_name_pipe_srv *pipe, uint32_t timeout_ms);
// Always -1 with errno ENOTSUP: nothing flows from the reader to the server.
int os_name_pipe_srv_read(os_name_pipe_srv *pipe, void *buf, size_t len, uint32_t timeout_ms);
// Bytes written, or -1 with need_connect set when the reader is gone. A length
// of 0 probes the reader for 10 ms: 0 alive, -1 gone ("read error: " at verb).
int os_name_pipe_srv_write(os_name_pipe_srv *pipe, const void *buf, size_t len);

// Removes the FIFOs "/tmp/<prefix><number>" of this user whose thread
// <number> no longer runs: an instance that was killed could not remove its
// own. Returns how many went.
int os_name_pipe_sweep(const char *prefix);

// Client mode: opens an existing FIFO made by a capture tool, for writing.
// Returns the descriptor or -1 (errno kept).
int os_name_pipe_cli_open(const char *name);
// Bytes written, or -1.
int os_name_pipe_cli_write(int fd, const void *buf, size_t len);
void os_name_pipe_cli_close(int fd);
