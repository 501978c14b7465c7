#define LOG_TAG "dbg"
#include "libdbg/shell_line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t READ_CHUNK = 4096;
// How often stop is asked only where the wake pipe could not be made.
constexpr int STOP_POLL_MS = 500;

// A pipe that a stop writes into, so that a reader sleeps until input or a
// stop comes instead of waking to ask. Made before main, so that a signal
// handler never has to make it; -1 when it could not be made.
struct wake_pipe {
    int fds[2] = {-1, -1};
    wake_pipe() {
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
    }
};
const wake_pipe g_wake;

// Forgets what is pending of an over-long line but its length and last byte.
void drop_pending(dbgsh_line_reader *r, size_t count) {
    if (count == 0) return;
    r->dropped += count;
    r->dropped_cr = r->pending[count - 1] == '\r';
    r->pending.erase(0, count);
    r->dropping = true;
}

}  // namespace

void dbgsh_line_feed(dbgsh_line_reader *r, const char *bytes, size_t count) { r->pending.append(bytes, count); }

void dbgsh_line_end(dbgsh_line_reader *r) { r->ended = true; }

int dbgsh_line_next(dbgsh_line_reader *r, char *buf, size_t size, size_t *len) {
    buf[0] = '\0';
    *len = 0;
    size_t max = size - 1;
    size_t end = r->pending.find('\n');
    if (end == std::string::npos) {
        // max bytes and a CR may still end well; anything longer cannot.
        if (r->dropping || r->pending.size() > max + 1) drop_pending(r, r->pending.size());
        if (!r->ended) return DBGSH_LINE_MORE;
        if (!r->dropping && r->pending.empty()) return DBGSH_LINE_END;
        end = r->pending.size();
    }
    bool has_lf = end < r->pending.size();
    if (r->dropping) {
        drop_pending(r, end);
        *len = r->dropped - (r->dropped_cr && has_lf ? 1 : 0);
        r->pending.erase(0, has_lf ? 1 : 0);
        r->dropping = r->dropped_cr = false;
        r->dropped = 0;
        return DBGSH_LINE_TOO_LONG;
    }
    size_t line_len = end;
    if (has_lf && line_len > 0 && r->pending[line_len - 1] == '\r') --line_len;
    int result = DBGSH_LINE_READY;
    size_t zero = r->pending.find('\0');
    if (line_len > max) {
        result = DBGSH_LINE_TOO_LONG;
        *len = line_len;
    } else if (zero < line_len) {
        result = DBGSH_LINE_ZERO_BYTE;
        *len = zero;
    } else {
        std::memcpy(buf, r->pending.data(), line_len);
        buf[line_len] = '\0';
        *len = line_len;
    }
    r->pending.erase(0, has_lf ? end + 1 : end);
    return result;
}

int dbgsh_line_read_fd(dbgsh_line_reader *r, int fd, char *buf, size_t size, size_t *len, bool (*stop)()) {
    for (;;) {
        int result = dbgsh_line_next(r, buf, size, len);
        if (result != DBGSH_LINE_MORE) return result;
        if (stop && stop()) return DBGSH_LINE_END;
        int ready = dbgsh_line_wait(fd, stop != nullptr);
        if (ready < 0) {
            dbgsh_line_end(r);
            continue;
        }
        if (ready == 0) continue;
        char chunk[READ_CHUNK];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            dbgsh_line_end(r);
            continue;
        }
        dbgsh_line_feed(r, chunk, static_cast<size_t>(n));
    }
}

void dbgsh_line_wake() {
    if (g_wake.fds[1] < 0) return;
    int saved = errno;
    // A full pipe is readable already.
    ssize_t n = write(g_wake.fds[1], "w", 1);
    (void)n;
    errno = saved;
}

int dbgsh_line_wait(int fd, bool watch_wake) {
    for (;;) {
        bool woken = watch_wake && g_wake.fds[0] >= 0;
        pollfd fds[2] = {{fd, POLLIN, 0}, {g_wake.fds[0], POLLIN, 0}};
        int ready = poll(fds, woken ? 2 : 1, watch_wake && !woken ? STOP_POLL_MS : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        if (fds[1].revents & POLLIN) {
            // Emptied before the caller asks stop: a later wake is never lost.
            char drained[64];
            while (read(g_wake.fds[0], drained, sizeof drained) > 0) {
            }
            return 0;
        }
        return 1;
    }
}

void dbgsh_line_refusal(int result, size_t len, size_t size, char *buf, size_t buf_size) {
    if (result == DBGSH_LINE_ZERO_BYTE)
        std::snprintf(buf, buf_size, "error: line has a byte 0 at offset %zu (a command line is text)\n", len);
    else
        std::snprintf(buf, buf_size, "error: line too long (%zu bytes, at most %zu)\n", len, size - 1);
}
