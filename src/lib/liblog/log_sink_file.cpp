#include "liblog/log_sink_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "liblog/log2_ctl.h"
#include "liblog/log_cache.h"
#include "liblog/log_ctx.h"
#include "libpal/env/malloc.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_file.h"
#include "libpal/string/str_tool.h"

namespace {

// "a+": read for the cap, every write at the end.
int open_text(const char *path, bool truncate) {
    int flags = O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd;
    do {
        fd = open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void close_fd(log_file_sink *sink) {
    if (sink->fd >= 0) close(sink->fd);
    sink->fd = -1;
}

// No thread of this process is ever cancelled: the bare system call spares
// each line the C library's cancellation bookkeeping. On a file opened with
// O_APPEND, Linux's pwrite appends whatever the offset says, and it skips
// the file position lock that write takes in a process with threads; a
// pipe or terminal refuses it (ESPIPE) and gets write.
ssize_t raw_write(log_file_sink *sink, const char *bytes, size_t len) {
    if (!sink->stream) {
        ssize_t n = syscall(SYS_pwrite64, sink->fd, bytes, len, 0);
        if (n >= 0 || errno != ESPIPE) return n;
        sink->stream = true;
    }
    return syscall(SYS_write, sink->fd, bytes, len);
}

// Writes all len bytes; false on an error or when nothing moves, with
// *written (may be null) the bytes that did go out.
bool write_all(log_file_sink *sink, const char *bytes, size_t len, size_t *written = nullptr) {
    size_t done = 0;
    bool ok = true;
    while (done < len) {
        ssize_t n = raw_write(sink, bytes + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written) *written = done;
    return ok;
}

// A line the file took only in part (a full disk) is cut off again, so
// that the file holds whole lines only; errno is kept for the report.
bool write_line(log_file_sink *sink, const char *bytes, size_t len) {
    size_t written = 0;
    if (write_all(sink, bytes, len, &written)) return true;
    int saved = errno;
    struct stat st;
    if (written > 0 && !sink->stream && fstat(sink->fd, &st) == 0 &&
        static_cast<uint64_t>(st.st_size) >= written) {
        if (ftruncate(sink->fd, st.st_size - static_cast<off_t>(written)) != 0)
            log2_trace("log_file_write: cannot cut back a part line\n");
    }
    errno = saved;
    return false;
}

uint64_t realtime_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// A failure is said at once, then at most once a minute while it lasts,
// and its end with the lines lost meanwhile. A disk that is all but full
// fails one line and takes the next: a failure that starts within a minute
// of the last report is not said again, and its losses go into the next.
// line_lost is false for an open that failed.
void note_failure(log_file_sink *sink, const char *what, int err, uint64_t now_ms, bool line_lost) {
    if (line_lost) {
        log2_sink_count(LOG2_SINK_FILE, true);
        ++sink->lost_while_failing;
    }
    bool first = !sink->failing;
    sink->failing = true;
    if (first) sink->reported = false;
    if (now_ms < sink->next_report_ms) return;
    char reason[128];
    const char *text = strerror_r(err, reason, sizeof reason);
    sink->next_report_ms = now_ms + LOG_FILE_REPORT_EVERY_MS;
    sink->reported = true;
    if (first || sink->lost_while_failing == 0)
        std::snprintf(sink->notice, sizeof sink->notice, "error: log file %s: %s failed: %s\n", sink->name, what, text);
    else
        std::snprintf(sink->notice, sizeof sink->notice,
                      "error: log file %s: %s still fails: %s (%llu lines lost so far)\n", sink->name, what, text,
                      static_cast<unsigned long long>(sink->lost_while_failing));
}

void note_recovered(log_file_sink *sink) {
    sink->failing = false;
    if (!sink->reported) return;
    sink->reported = false;
    std::snprintf(sink->notice, sizeof sink->notice, "log file %s: writing works again (%llu lines lost meanwhile)\n",
                  sink->name, static_cast<unsigned long long>(sink->lost_while_failing));
    sink->lost_while_failing = 0;
}

void note_written(log_file_sink *sink) {
    log2_sink_count(LOG2_SINK_FILE, false);
    if (sink->failing) note_recovered(sink);
}

// Remembers which file the descriptor holds and how big it is; false when
// the descriptor cannot be asked.
bool note_open_file(log_file_sink *sink) {
    sink->stream = false;
    struct stat st;
    if (fstat(sink->fd, &st) != 0) return false;
    sink->dev = static_cast<uint64_t>(st.st_dev);
    sink->ino = static_cast<uint64_t>(st.st_ino);
    sink->size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool reopen(log_file_sink *sink) {
    close_fd(sink);
    if (!sink->name[0]) return false;
    sink->fd = open_text(sink->name, false);
    if (sink->fd < 0 || !note_open_file(sink)) {
        close_fd(sink);
        return false;
    }
    return true;
}

// True when the path no longer leads to the open file: it was deleted,
// renamed away (logrotate) or replaced. Every line is checked, except in a
// millisecond that has already had its share of checks, so that a burst of
// lines pays one system call per line and still notices a rotation within
// that millisecond.
bool path_moved(log_file_sink *sink, uint64_t now_us) {
    uint64_t now_ms = now_us / 1000;
    if (now_ms != sink->check_ms) {
        sink->check_ms = now_ms;
        sink->checks_in_ms = 0;
    }
    if (sink->checks_in_ms >= LOG_FILE_CHECKS_PER_MS) return false;
    ++sink->checks_in_ms;
    struct stat st;
    if (stat(sink->name, &st) != 0 || !S_ISREG(st.st_mode)) return true;
    return static_cast<uint64_t>(st.st_dev) != sink->dev || static_cast<uint64_t>(st.st_ino) != sink->ino;
}

// Keeps the newest half of the file, starting at a line start.
void apply_cap(log_file_sink *sink, uint64_t size) {
    size_t half = sink->max_size / 2;
    auto *tail = static_cast<char *>(mem_malloc(half));
    if (!tail) return;
    ssize_t got = pread(sink->fd, tail, half, static_cast<off_t>(size - half));
    if (got > 0) {
        auto *nl = static_cast<char *>(std::memchr(tail, '\n', static_cast<size_t>(got)));
        char *keep = nl ? nl + 1 : tail + 1;
        size_t keep_len = static_cast<size_t>(tail + got - keep);
        if (ftruncate(sink->fd, 0) == 0) {
            sink->size = 0;
            if (keep_len > 0 && !write_line(sink, keep, keep_len)) {
                log2_trace("log_file_write: fwrite error\n");
                close_fd(sink);
            } else {
                sink->size = keep_len;
            }
        }
    }
    mem_free(tail);
}

// The counted size has reached the cap: the file itself decides, since
// someone may have truncated it meanwhile (then lines go on at its new end).
void enforce_cap(log_file_sink *sink) {
    struct stat st;
    if (fstat(sink->fd, &st) != 0) return;
    sink->size = static_cast<uint64_t>(st.st_size);
    if (sink->size >= sink->max_size) apply_cap(sink, sink->size);
}

// The level column: the file name of the level, padded to 5, and a space.
char *put_level_column(char *p, int level) {
    const char *level_name = log2_level_file_name(level);
    size_t level_len = strnlen(level_name, 16);
    std::memcpy(p, level_name, level_len);
    p += level_len;
    for (size_t pad = level_len; pad < 5; ++pad) *p++ = ' ';
    *p++ = ' ';
    return p;
}

struct level_column {
    char text[24];  // a name of up to 16 bytes (strnlen above), padding and the space
    size_t len;
};

// Made once: a line copies its level's column instead of looking it up.
const std::array<level_column, LOG_VERB + 1> &level_columns() {
    static const auto columns = [] {
        std::array<level_column, LOG_VERB + 1> made{};
        for (int level = 0; level <= LOG_VERB; ++level) {
            level_column &column = made[static_cast<size_t>(level)];
            column.len = static_cast<size_t>(put_level_column(column.text, level) - column.text);
        }
        return made;
    }();
    return columns;
}

}  // namespace

size_t log_file_header(char *out, size_t size, int level, const char *tag, size_t tag_len, const log_time &t) {
    size_t name_len;
    const char *name = os_thread_name_view(&name_len);
    if (!tag || tag_len > 255) tag_len = tag ? 255 : 0;
    // Date, time, level, pid and separators take under 64 bytes; the level
    // and the pid are copied in whole fixed-size blocks.
    if (size < 96 + name_len + tag_len) return 0;
    char *p = out;
    std::memcpy(p, t.stamp, LOG_STAMP_LEN);
    p += LOG_STAMP_LEN;
    *p++ = '.';
    p = log_put_digits(p, t.usec, 6);
    *p++ = ' ';
    if (level >= 0 && level <= LOG_VERB) {
        const level_column &column = level_columns()[static_cast<size_t>(level)];
        std::memcpy(p, column.text, sizeof column.text);
        p += column.len;
    } else {
        p = put_level_column(p, level);
    }
    size_t pid_len;
    const char *pid = log_cached_pid_text(&pid_len);
    std::memcpy(p, pid, LOG_ID_TEXT_MAXN);
    p += pid_len;
    std::memcpy(p, " --- [", 6);
    p += 6;
    log_copy(p, name, name_len);
    p += name_len;
    *p++ = ']';
    *p++ = ' ';
    log_copy(p, tag, tag_len);
    p += tag_len;
    *p++ = ' ';
    return static_cast<size_t>(p - out);
}

bool log_file_resolve(const char *dir, const char *name, char *out, size_t size) {
    char joined[LOG_FILE_NAME_MAXN];
    int n;
    if (os_path_is_absolute(name) || !dir || !dir[0]) {
        n = std::snprintf(joined, sizeof joined, "%s", name);
    } else {
        size_t dir_len = std::strlen(dir);
        const char *sep = dir[dir_len - 1] == '/' ? "" : "/";
        n = std::snprintf(joined, sizeof joined, "%s%s%s", dir, sep, name);
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof joined) return false;
    const char *home = std::getenv("HOME");
    if ((joined[0] == '~' && (joined[1] == '/' || joined[1] == 0)) && home && *home) {
        n = std::snprintf(out, size, "%s%s", home, joined + 1);
    } else if (joined[0] == '/' || std::strstr(joined, "://")) {
        n = std::snprintf(out, size, "%s", joined);
    } else {
        char cwd[LOG_FILE_NAME_MAXN];
        if (!getcwd(cwd, sizeof cwd)) return false;
        const char *sep = cwd[std::strlen(cwd) - 1] == '/' ? "" : "/";
        n = std::snprintf(out, size, "%s%s%s", cwd, sep, joined);
    }
    return n >= 0 && static_cast<size_t>(n) < size;
}

void log_file_close(log_file_sink *sink) {
    close_fd(sink);
    if (sink->pcap_open) {
        if (const log2_pcap_ops *ops = log_attach_pcap(); ops && ops->close) ops->close();
        sink->pcap_open = false;
    }
}

int log_file_open(log_file_sink *sink, const char *name) {
    log_file_close(sink);
    if (!name || !*name) {
        log2_trace("fopen %s err\n", name ? name : "");
        return -1;
    }
    char path[LOG_FILE_NAME_MAXN];
    if (!log_file_resolve(sink->dir, name, path, sizeof path)) {
        log2_trace("fopen %s err\n", name);
        return -1;
    }
    std::memcpy(sink->name, path, std::strlen(path) + 1);
    if (str_ends_with(path, ".pcap")) {
        sink->type = LOG_FILE_PCAP;
        const log2_pcap_ops *ops = log_attach_pcap();
        if (!ops || !ops->open) log2_trace("pcap writer not attached\n");
        if (!ops || !ops->open || ops->open(path, sink->mode[0] == 'a', sink->max_size) != 0) {
            log2_trace("bsvf_pcap_file %s err\n", path);
            return -1;
        }
        sink->pcap_open = true;
        return 0;
    }
    sink->type = LOG_FILE_TEXT;
    sink->fd = open_text(path, sink->mode[0] != 'a');
    if (sink->fd < 0 || !note_open_file(sink)) {
        int err = errno;
        close_fd(sink);
        log2_trace("fopen %s err\n", path);
        // A new path starts a new report.
        sink->failing = false;
        sink->next_report_ms = 0;
        note_failure(sink, "open", err, realtime_ms(), false);
        return -1;
    }
    if (sink->failing) note_recovered(sink);
    return 0;
}

int log_file_write(log_file_sink *sink, const char *text, size_t len, uint64_t now_us) {
    if (sink->type != LOG_FILE_TEXT) return 0;
    if ((sink->fd < 0 || path_moved(sink, now_us)) && !reopen(sink)) {
        note_failure(sink, "open", errno, now_us / 1000, true);
        return -1;
    }
    if (!write_line(sink, text, len)) {
        log2_trace("log_file_write: fwrite error\n");
        int err = errno;
        if (!reopen(sink) || !write_line(sink, text, len)) {
            if (sink->fd >= 0) err = errno;
            close_fd(sink);
            note_failure(sink, "write", err, now_us / 1000, true);
            return -1;
        }
    }
    note_written(sink);
    sink->size += len;
    if (sink->size >= sink->max_size) enforce_cap(sink);
    return 0;
}
