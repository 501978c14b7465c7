#include "liblog/log_sink_console.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "liblog/log2_ctl.h"
#include "liblog/log_sink_file.h"
#include "libpal/os/os_time.h"

namespace {
constexpr const char *COLOUR_RESET = "\033[0m";
// -1 not looked up yet, 0 no, 1 yes.
std::atomic<int> g_journal{-1};

// What standard error is decides how a write may wait. A file always takes
// the bytes; a pipe, a socket or a terminal may be full when its reader
// stopped, and a blocking write there would stall every logging thread.
enum console_kind : int { KIND_FILE, KIND_TERMINAL, KIND_STREAM, KIND_SOCKET };
std::atomic<int> g_kind{-1};

// How long a line may wait for room while the console takes lines: a
// terminal that is slow but reading loses nothing; a pipe reader gets a
// moment. Once a line was dropped, later lines do not wait at all until
// the console takes one again, so a reader that stopped costs a poll.
constexpr int TERMINAL_WAIT_MS = 200;
constexpr int STREAM_WAIT_MS = 20;

// A journal line gets "<N>" before each of its lines: at most four times a
// line of newlines.
constexpr size_t OUT_MAXN = 4 * LOG_LINE_MAXN + 16;

// The bytes of the line being written. A line that a pipe took only in part
// keeps its rest here; it goes first, and no new line starts before it has
// gone, so that the console never shows two lines mixed.
struct console_out {
    std::mutex lock;  // standard error is the process's, whichever context logs
    char bytes[OUT_MAXN];
    size_t len = 0;
    size_t sent = 0;
    bool stalled = false;
    void add(const char *text, size_t n) {
        if (n > OUT_MAXN - len) n = OUT_MAXN - len;
        std::memcpy(bytes + len, text, n);
        len += n;
    }
    void add(const char *text) { add(text, std::strlen(text)); }
};
console_out g_out;
std::atomic<bool> g_stalled{false};

bool stderr_is_journal() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

int stderr_kind() {
    int known = g_kind.load(std::memory_order_relaxed);
    if (known >= 0) return known;
    struct stat st {};
    if (fstat(STDERR_FILENO, &st) != 0)
        known = KIND_STREAM;  // closed: the write says why
    else if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
        known = KIND_FILE;
    else if (S_ISSOCK(st.st_mode))
        known = KIND_SOCKET;
    else
        known = isatty(STDERR_FILENO) == 1 ? KIND_TERMINAL : KIND_STREAM;
    g_kind.store(known, std::memory_order_relaxed);
    return known;
}

// True when standard error can take bytes before the deadline (or says why
// not through the write).
bool room_before(uint64_t deadline_ms) {
    for (;;) {
        uint64_t now = os_clock_ms();
        int wait = now >= deadline_ms ? 0 : static_cast<int>(deadline_ms - now);
        pollfd p{STDERR_FILENO, POLLOUT, 0};
        int ready = poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

enum drain_result { DRAINED, NO_ROOM, FAILED };

// Writes the rest of out. POLLOUT promises a pipe PIPE_BUF bytes only, so
// no single write is longer: a longer one could block for the remainder.
drain_result drain(console_out &out, int kind, uint64_t deadline_ms) {
    while (out.sent < out.len) {
        size_t take = out.len - out.sent;
        if (kind != KIND_FILE) {
            if (!room_before(deadline_ms)) return NO_ROOM;
            if (take > PIPE_BUF) take = PIPE_BUF;
        }
        const char *from = out.bytes + out.sent;
        // A socket takes a flag for this one call; the open file description,
        // shared with the parent, stays blocking.
        ssize_t n = kind == KIND_SOCKET ? send(STDERR_FILENO, from, take, MSG_DONTWAIT | MSG_NOSIGNAL)
                                        : write(STDERR_FILENO, from, take);
        if (n < 0 && errno == ENOTSOCK) {
            kind = KIND_STREAM;
            g_kind.store(-1, std::memory_order_relaxed);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            if (kind == KIND_FILE) return NO_ROOM;
            continue;  // the next poll waits out the rest of the deadline
        }
        if (n <= 0) return FAILED;
        out.sent += static_cast<size_t>(n);
    }
    return DRAINED;
}

// Writes the text that compose puts into the buffer, unless the rest of an
// earlier line cannot go now. True when the text went whole, or its start
// went and its rest waits.
template <typename Compose>
bool console_put(Compose compose) {
    std::lock_guard<std::mutex> guard(g_out.lock);
    console_out &out = g_out;
    int kind = stderr_kind();
    int wait = kind == KIND_FILE || out.stalled ? 0 : kind == KIND_TERMINAL ? TERMINAL_WAIT_MS : STREAM_WAIT_MS;
    uint64_t deadline = os_clock_ms() + static_cast<uint64_t>(wait);
    drain_result result = out.sent < out.len ? drain(out, kind, deadline) : DRAINED;
    if (result == NO_ROOM) {
        out.stalled = true;
        g_stalled.store(true, std::memory_order_relaxed);
        return false;
    }
    out.len = 0;
    out.sent = 0;
    compose(out);
    result = drain(out, kind, deadline);
    bool taken = result == DRAINED || (result == NO_ROOM && out.sent > 0);
    if (!taken) out.len = out.sent = 0;
    out.stalled = result != DRAINED;
    g_stalled.store(out.stalled, std::memory_order_relaxed);
    return taken;
}

// journald takes the priority from the start of each line it reads.
void add_journal_lines(console_out &out, int level, const char *line, size_t len) {
    char prefix[8];
    int prefix_len = std::snprintf(prefix, sizeof prefix, "<%d>", log_console_priority(level));
    size_t start = 0;
    while (start < len) {
        size_t end = start;
        while (end < len && line[end] != '\n') ++end;
        if (end < len) ++end;
        out.add(prefix, static_cast<size_t>(prefix_len));
        out.add(line + start, end - start);
        start = end;
    }
}
}  // namespace

bool log_console_is_journal() {
    int known = g_journal.load(std::memory_order_relaxed);
    if (known < 0) {
        known = stderr_is_journal() ? 1 : 0;
        g_journal.store(known, std::memory_order_relaxed);
    }
    return known == 1;
}

void log_console_journal_recheck() {
    g_journal.store(-1, std::memory_order_relaxed);
    g_kind.store(-1, std::memory_order_relaxed);
}

int log_console_priority(int level) {
    if (level < LOG_CRIT) return LOG_CRIT;
    return level > LOG_DBG ? LOG_DBG : level;
}

const char *log_console_colour(int level) {
    switch (level) {
        case LOG_CRIT: return "\033[1;31m";
        case LOG_ERR: return "\033[31m";
        case LOG_WARN: return "\033[1;33m";
        case LOG_NOTI: return "\033[1;37m";
        case LOG_DBG: return "\033[36m";
        case LOG_VERB: return "\033[32m";
        default: return nullptr;
    }
}

bool log_console_is_colour_tty() {
    const char *no_colour = std::getenv("NO_COLOR");
    return isatty(STDERR_FILENO) == 1 && !no_colour;
}

bool log_console_write(uint32_t fmt_flags, int level, const char *line, size_t len) {
    const char *colour = (fmt_flags & LOG_FMT_COLOUR) ? log_console_colour(level) : nullptr;
    bool journal = log_console_is_journal();
    bool coloured = !journal && colour && log_console_is_colour_tty();
    bool taken = console_put([&](console_out &out) {
        if (journal) {
            add_journal_lines(out, level, line, len);
        } else if (coloured) {
            out.add(colour);
            out.add(line, len);
            out.add(COLOUR_RESET);
        } else {
            out.add(line, len);
        }
    });
    log2_sink_count(LOG2_SINK_CONSOLE, !taken);
    return taken;
}

bool log_console_say(const char *text) {
    if (!text || !*text) return true;
    return console_put([&](console_out &out) { out.add(text); });
}

bool log_console_stalled() { return g_stalled.load(std::memory_order_relaxed); }
