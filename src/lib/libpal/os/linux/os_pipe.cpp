#define LOG_TAG "pal"
#include "libpal/os/os_pipe.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <cstdlib>
#include <string>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_time.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

// FIFOs live in /tmp, or in the service's own runtime folder when systemd
// gives it one (RuntimeDirectory=, e.g. /run/hubd): a private /tmp would
// hide them from the capture tools.
const char *pipe_dir() {
    static const std::string dir = [] {
        const char *runtime = std::getenv("RUNTIME_DIRECTORY");
        if (!runtime || runtime[0] != '/') return std::string("/tmp/");
        // Several folders are separated by ':'; the first one is taken.
        std::string first(runtime, strcspn(runtime, ":"));
        return first + "/";
    }();
    return dir.c_str();
}
// Retry steps while no reader has opened the FIFO, where inotify is not to
// be had: a reader that comes soon is served soon, and the step then doubles
// up to the longest, so that an instance whose pipe nobody reads wakes twice
// a second.
constexpr int CONNECT_RETRY_MS = 50;
constexpr int CONNECT_RETRY_MAX_MS = 500;
// Liveness probe and write-wait steps.
constexpr int PROBE_MS = 10;
constexpr int WRITE_STEP_MS = 200;

// The path may have been swapped since we made it: only our own FIFO will do.
bool own_fifo(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_uid == geteuid();
}

bool reader_gone(short revents) { return (revents & (POLLERR | POLLHUP)) != 0; }

void drop_reader(os_name_pipe_srv *pipe) {
    if (pipe->fd >= 0) {
        int saved = errno;
        close(pipe->fd);
        errno = saved;
        pipe->fd = -1;
    }
    pipe->need_connect.store(1, std::memory_order_relaxed);
}

bool stop_seen(os_name_pipe_srv *pipe) {
    if (!pipe->stop_event.load(std::memory_order_relaxed)) return false;
    pipe->closed.store(1, std::memory_order_relaxed);
    return true;
}

// Opens of the FIFO, and its removal or renaming, end a wait for a reader.
constexpr uint32_t NOTIFY_EVENTS = IN_OPEN | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_DONT_FOLLOW;

void drain(int fd) {
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// Opens our own FIFO at the path without waiting; -1 with errno otherwise
// (EPERM for anything that is not our own FIFO).
int open_own(const char *path, int flags) {
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 && !own_fifo(fd)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

// True while the FIFO at the path is still the one fd is open on.
bool same_fifo(int fd, const char *path) {
    struct stat held, now;
    return fstat(fd, &held) == 0 && lstat(path, &now) == 0 && held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

bool has_reader(int write_fd) {
    pollfd pfd{write_fd, 0, 0};
    return poll(&pfd, 1, 0) >= 0 && (pfd.revents & POLLERR) == 0;
}

bool timed_out(uint64_t start, uint32_t timeout_ms, int *wait_ms) {
    *wait_ms = -1;
    if (timeout_ms == OS_NAME_PIPE_WAIT_FOREVER) return false;
    uint64_t elapsed = os_clock_ms() - start;
    if (elapsed >= timeout_ms) {
        errno = ETIMEDOUT;
        return true;
    }
    *wait_ms = static_cast<int>(timeout_ms - elapsed);
    return false;
}

// Waits for a reader without waking until something happens to the FIFO. A
// write end is held meanwhile (made through a short-lived read-write open):
// a reader's blocking open then returns at once, every open is reported by
// inotify, and the held end tells whether a reader is there (no POLLERR).
// A FIFO removed or swapped from outside is looked at again from the start.
// 1 with pipe->fd attached, 0 when it did not come (errno says why), -1
// when inotify cannot watch the FIFO.
int wait_notified(os_name_pipe_srv *pipe, uint64_t start, uint32_t timeout_ms) {
    for (;;) {
        if (inotify_add_watch(pipe->notify_fd, pipe->path, NOTIFY_EVENTS) < 0) {
            if (errno != ENOENT) return -1;
            if (mkfifo(pipe->path, 0600) != 0) return 0;
            continue;
        }
        int both = open_own(pipe->path, O_RDWR);
        if (both < 0) {
            if (errno == ENOENT && mkfifo(pipe->path, 0600) == 0) continue;
            return 0;
        }
        int fd = open_own(pipe->path, O_WRONLY);
        close(both);
        if (fd < 0) return 0;
        drain(pipe->notify_fd);
        for (;;) {
            if (has_reader(fd)) {
                pipe->fd = fd;
                pipe->need_connect.store(0, std::memory_order_relaxed);
                return 1;
            }
            if (!same_fifo(fd, pipe->path)) break;
            int wait_ms = -1;
            if (stop_seen(pipe) || timed_out(start, timeout_ms, &wait_ms)) {
                if (pipe->closed.load(std::memory_order_relaxed)) errno = ECANCELED;
                int saved = errno;
                close(fd);
                errno = saved;
                return 0;
            }
            // The stop event makes wake_fd readable, and it stays so.
            pollfd fds[2] = {{pipe->notify_fd, POLLIN, 0}, {pipe->wake_fd, POLLIN, 0}};
            poll(fds, 2, wait_ms);
            drain(pipe->notify_fd);
        }
        close(fd);
        if (access(pipe->path, F_OK) != 0 && mkfifo(pipe->path, 0600) != 0) return 0;
    }
}

// A reader that left turns a write into EPIPE; the process must live on.
void ignore_sigpipe() {
    static const bool done = [] {
        signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

}  // namespace

char *os_name_pipe_path(const char *name, char *out, size_t size) {
    PAL_ASSERT_RET(name && out && size > 0, nullptr);
    if (name[0] == '/') {
        if (str_sprintf_s(out, size, "%s", name) >= static_cast<int>(size)) return nullptr;
        return out;
    }
    size_t prefix_len = strlen(OS_NAME_PIPE_PREFIX);
    const char *base = strncmp(name, OS_NAME_PIPE_PREFIX, prefix_len) == 0 ? name + prefix_len
                                                                          : name;
    if (*base == '\0' || strchr(base, '/') || strchr(base, '\\')) return nullptr;
    int n = snprintf(out, size, "%s%s", pipe_dir(), base);
    if (n < 0 || static_cast<size_t>(n) >= size) return nullptr;
    return out;
}

os_name_pipe_srv *os_name_pipe_single_srv_open(const char *name) {
    PAL_ASSERT_RET(name, nullptr);
    ignore_sigpipe();
    char path[OS_NAME_PIPE_PATH_MAXN];
    if (!os_name_pipe_path(name, path, sizeof path)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    struct stat st;
    // The FIFO lives in a world-writable directory under a name others can
    // guess: anything there that is not our own FIFO (a file, a symbolic
    // link, another user's FIFO) is refused rather than written into. Our own
    // FIFO left behind by an earlier run would still carry its old reader's state.
    if (lstat(path, &st) == 0) {
        if (!S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) {
            LOGE("%s exists and is not a FIFO of this user, refused\n", path);
            errno = EEXIST;
            return nullptr;
        }
        unlink(path);
    }
    if (mkfifo(path, 0600) != 0) return nullptr;
    void *mem = mem_calloc(sizeof(os_name_pipe_srv));
    if (!mem) {
        int saved = errno;
        unlink(path);
        errno = saved ? saved : ENOMEM;
        return nullptr;
    }
    auto *pipe = new (mem) os_name_pipe_srv{};
    pipe->fd = -1;
    pipe->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Without it (the user's inotify instances used up) a wait for a reader retries.
    pipe->notify_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    pipe->need_connect.store(1, std::memory_order_relaxed);
    str_safecopy(pipe->path, sizeof pipe->path, path);
    return pipe;
}

void os_name_pipe_srv_close(os_name_pipe_srv *pipe) {
    if (!pipe) return;
    drop_reader(pipe);
    unlink(pipe->path);
    if (pipe->wake_fd >= 0) close(pipe->wake_fd);
    if (pipe->notify_fd >= 0) close(pipe->notify_fd);
    pipe->~os_name_pipe_srv();
    mem_free(pipe);
}

void os_name_pipe_srv_stop(os_name_pipe_srv *pipe) {
    PAL_ASSERT_RET(pipe, );
    pipe->stop_event.store(1, std::memory_order_relaxed);
    if (pipe->wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(pipe->wake_fd, &one, sizeof one);
        (void)n;  // already readable when it cannot count further
    }
}

void os_name_pipe_srv_disconnect(os_name_pipe_srv *pipe) {
    PAL_ASSERT_RET(pipe, );
    drop_reader(pipe);
}

bool os_name_pipe_srv_connect(os_name_pipe_srv *pipe, uint32_t timeout_ms) {
    PAL_ASSERT_RET(pipe, false);
    if (stop_seen(pipe)) return false;
    if (pipe->fd >= 0 && !pipe->need_connect.load(std::memory_order_relaxed)) return true;
    drop_reader(pipe);
    uint64_t start = os_clock_ms();
    // Only a stop that can wake the wait lets it sleep without a limit.
    if (pipe->notify_fd >= 0 && pipe->wake_fd >= 0) {
        int waited = wait_notified(pipe, start, timeout_ms);
        if (waited >= 0) return waited == 1;
    }
    int step = CONNECT_RETRY_MS;
    for (;;) {
        // Opening the write end without blocking fails with ENXIO until a reader exists.
        int fd = open_own(pipe->path, O_WRONLY);
        if (fd < 0 && errno == EPERM) return false;
        if (fd >= 0) {
            pipe->fd = fd;
            pipe->need_connect.store(0, std::memory_order_relaxed);
            return true;
        }
        // Removed from outside (a /tmp cleaner): make it again and keep waiting.
        if (errno == ENOENT && mkfifo(pipe->path, 0600) == 0) continue;
        if (errno != ENXIO && errno != EINTR) return false;
        if (stop_seen(pipe)) return false;
        uint64_t elapsed = os_clock_ms() - start;
        if (timeout_ms != OS_NAME_PIPE_WAIT_FOREVER && elapsed >= timeout_ms) {
            errno = ETIMEDOUT;
            return false;
        }
        int wait = step;
        if (timeout_ms != OS_NAME_PIPE_WAIT_FOREVER && timeout_ms - elapsed < (uint64_t)wait)
            wait = static_cast<int>(timeout_ms - elapsed);
        // The stop event makes wake_fd readable, and it stays so.
        pollfd wake{pipe->wake_fd, POLLIN, 0};
        poll(&wake, pipe->wake_fd >= 0 ? 1 : 0, wait);
        step = step * 2 < CONNECT_RETRY_MAX_MS ? step * 2 : CONNECT_RETRY_MAX_MS;
    }
}

int os_name_pipe_srv_read(os_name_pipe_srv *pipe, void *buf, size_t len, uint32_t timeout_ms) {
    PAL_ASSERT_RET(pipe, -1);
    errno = ENOTSUP;
    return -1;
}

int os_name_pipe_srv_write(os_name_pipe_srv *pipe, const void *buf, size_t len) {
    PAL_ASSERT_RET(pipe, -1);
    if (pipe->fd < 0) {
        pipe->need_connect.store(1, std::memory_order_relaxed);
        errno = EPIPE;
        return -1;
    }
    if (len == 0) {
        pollfd pfd{pipe->fd, 0, 0};
        int r = poll(&pfd, 1, PROBE_MS);
        if (r > 0 && reader_gone(pfd.revents)) {
            errno = EPIPE;
            LOGV_OS("read error: ");
            drop_reader(pipe);
            return -1;
        }
        return 0;
    }
    PAL_ASSERT_RET(buf, -1);
    const auto *bytes = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(pipe->fd, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            drop_reader(pipe);
            return -1;
        }
        // The reader is slow: wait for room, but give up on the stop event.
        if (stop_seen(pipe)) {
            errno = ECANCELED;
            return done > 0 ? static_cast<int>(done) : -1;
        }
        pollfd pfd{pipe->fd, POLLOUT, 0};
        int r = poll(&pfd, 1, WRITE_STEP_MS);
        if (r > 0 && reader_gone(pfd.revents)) {
            errno = EPIPE;
            drop_reader(pipe);
            return -1;
        }
    }
    return static_cast<int>(done);
}

int os_name_pipe_sweep(const char *prefix) {
    PAL_ASSERT_RET(prefix, 0);
    DIR *dir = opendir(pipe_dir());
    if (!dir) return 0;
    size_t prefix_len = strlen(prefix);
    int removed = 0;
    while (dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (strncmp(name, prefix, prefix_len) != 0) continue;
        const char *number = name + prefix_len;
        if (*number == '\0' || strspn(number, "0123456789") != strlen(number)) continue;
        char path[OS_NAME_PIPE_PATH_MAXN];
        char proc[64];
        if (snprintf(path, sizeof path, "%s%s", pipe_dir(), name) >= static_cast<int>(sizeof path)) continue;
        snprintf(proc, sizeof proc, "/proc/%s", number);
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) continue;
        if (access(proc, F_OK) == 0) continue;
        if (unlink(path) == 0) ++removed;
    }
    closedir(dir);
    return removed;
}

int os_name_pipe_cli_open(const char *name) {
    PAL_ASSERT_RET(name, -1);
    ignore_sigpipe();
    char path[OS_NAME_PIPE_PATH_MAXN];
    if (!os_name_pipe_path(name, path, sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // The capture tool created the FIFO and reads it; without a reader this fails (ENXIO).
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int os_name_pipe_cli_write(int fd, const void *buf, size_t len) {
    PAL_ASSERT_RET(fd >= 0 && (buf || len == 0), -1);
    const auto *bytes = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, bytes + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

void os_name_pipe_cli_close(int fd) {
    if (fd >= 0) close(fd);
}
