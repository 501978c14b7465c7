// The set-based poller back end: up to 64 objects (the wake socket included)
// in a list sorted by socket number, read and write interest sets, one
// readiness wait per cycle (poll(2), keeping the select limits), and up to 512
// events recorded and then delivered per pass.
//
// A short internal lock guards the list against inserts and removes from other
// threads while the waiting thread walks it; it is never held across the
// system wait or a callback.
#define LOG_TAG "pal"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_mutex.h"
#include "libpal/os/os_poller_imp.h"
#include "libpal/os/os_time.h"

namespace {

constexpr size_t kMaxObjects = OS_POLLER_MAX_OBJECTS;
constexpr size_t kMaxEvents = OS_POLLER_MAX_EVENTS;

struct poller_entry {
    int64_t fd;
    uint64_t user;   // top bit: pipe object
    uint32_t flags;  // interest as given
};

// A count and up to 64 native sockets in insertion order.
struct socket_set {
    uint32_t count = 0;
    std::array<int, kMaxObjects> fds{};

    bool contains(int fd) const {
        return std::find(fds.begin(), fds.begin() + count, fd) != fds.begin() + count;
    }
    void add(int fd) {
        if (contains(fd) || count >= fds.size()) return;  // a full set drops it silently
        fds[count++] = fd;
    }
    void drop(int fd) {
        auto end = fds.begin() + count;
        auto it = std::find(fds.begin(), end, fd);
        if (it == end) return;
        std::copy(it + 1, end, it);  // close the gap, order kept
        count--;
    }
};

struct poller_event {
    int64_t fd;
    uint64_t user;
    uint32_t events;  // event flags plus the entry's one-shot bit
};

struct select_state {
    mutex_t *lock = nullptr;
    int max_fd = -1;  // highest socket inserted so far (only grows)
    socket_set read_set;
    socket_set write_set;
    uint32_t count = 0;  // registered objects, wake socket included
    std::array<poller_entry, kMaxObjects> list{};
    std::array<pollfd, kMaxObjects> working{};
    std::array<poller_event, kMaxEvents> poller_events{};
};

select_state *state_of(os_poller *poller) { return static_cast<select_state *>(poller->imp); }

// Index of fd in the sorted list, or the position where it would go.
size_t lower_bound_index(const select_state *st, int64_t fd) {
    const auto begin = st->list.begin();
    const auto end = begin + st->count;
    return static_cast<size_t>(
        std::lower_bound(begin, end, fd, [](const poller_entry &e, int64_t v) { return e.fd < v; }) -
        begin);
}

poller_entry *find_entry(select_state *st, int64_t fd) {
    const size_t i = lower_bound_index(st, fd);
    return i < st->count && st->list[i].fd == fd ? &st->list[i] : nullptr;
}

bool check_object(const os_poller_object *object) {
    PAL_CHECK_RET(object->type != OS_POLLER_OBJECT_PROC, "object->type != OS_POLLER_OBJECT_PROC",
                  false);
    PAL_CHECK_RET(object->type != OS_POLLER_OBJECT_PIPE, "object->type != OS_POLLER_OBJECT_PIPE",
                  false);
    PAL_ASSERT_RET(object->handle != OS_SOCKET_NONE, false);
    return true;
}

bool user_ok(const void *ptr) {
    PAL_CHECK_RET(!(reinterpret_cast<uint64_t>(ptr) & OS_POLLER_PIPE_BIT),
                  "!((size_t)ptr & ((size_t)0x1 << (PL_CPU_BITSIZE - 1)))", false);
    return true;
}

void apply_interest(select_state *st, int fd, uint32_t flags, bool drop_missing) {
    if (flags & OS_POLLER_READ) {
        st->read_set.add(fd);
    } else if (drop_missing) {
        st->read_set.drop(fd);
    }
    if (flags & OS_POLLER_WRITE) {
        st->write_set.add(fd);
    } else if (drop_missing) {
        st->write_set.drop(fd);
    }
}

bool remove_locked(select_state *st, int64_t fd) {
    st->read_set.drop(static_cast<int>(fd));
    st->write_set.drop(static_cast<int>(fd));
    const size_t i = lower_bound_index(st, fd);
    if (i >= st->count || st->list[i].fd != fd) return true;
    std::copy(st->list.begin() + i + 1, st->list.begin() + st->count, st->list.begin() + i);
    st->count--;
    return true;
}

bool select_init(os_poller *poller) {
    auto *st = new (std::nothrow) select_state{};
    if (!st) return false;
    st->lock = mutex_malloc();
    if (!st->lock) {
        delete st;
        return false;
    }
    poller->imp = st;
    return true;
}

void select_exit(os_poller *poller) {
    select_state *st = state_of(poller);
    if (!st) return;
    mutex_free(st->lock);
    delete st;
    poller->imp = nullptr;
}

// Insert and modify run the same checks and the same update; only insert
// may add an entry, and only modify drops interest that is no longer asked for.
bool store_entry(os_poller *poller, const os_poller_object *object, uint32_t flags, void *user, bool is_insert) {
    PAL_CHECK_RET(poller && object, "poller && object", false);
    if (!check_object(object) || !user_ok(user)) return false;
    select_state *st = state_of(poller);
    PAL_CHECK_RET(st, "poller->list", false);
    const int fd = os_socket_fd(object->handle);
    mutex_guard guard(st->lock);
    poller_entry *entry = find_entry(st, fd);
    if (!entry) {
        if (!is_insert) return false;
        if (st->count >= kMaxObjects) return false;  // full: the caller reports it
        const size_t i = lower_bound_index(st, fd);
        std::copy_backward(st->list.begin() + i, st->list.begin() + st->count,
                           st->list.begin() + st->count + 1);
        st->count++;
        entry = &st->list[i];
        entry->fd = fd;
    }
    apply_interest(st, fd, flags, !is_insert);
    entry->flags = flags;
    entry->user = reinterpret_cast<uint64_t>(user);
    st->max_fd = std::max(st->max_fd, fd);
    return true;
}

bool select_insert(os_poller *poller, const os_poller_object *object, uint32_t flags, void *user) {
    return store_entry(poller, object, flags, user, true);
}

bool select_remove(os_poller *poller, const os_poller_object *object) {
    PAL_CHECK_RET(poller && object, "poller && object", false);
    select_state *st = state_of(poller);
    PAL_CHECK_RET(st, "poller->list", false);
    mutex_guard guard(st->lock);
    return remove_locked(st, os_socket_fd(object->handle));
}

bool select_modify(os_poller *poller, const os_poller_object *object, uint32_t flags, void *user) {
    return store_entry(poller, object, flags, user, false);
}

// Copies the interest sets into the working set; returns its size.
size_t build_working(select_state *st) {
    mutex_guard guard(st->lock);
    size_t n = 0;
    for (size_t i = 0; i < st->count; i++) {
        const int fd = static_cast<int>(st->list[i].fd);
        short events = 0;
        if (st->read_set.contains(fd)) events |= POLLIN;
        if (st->write_set.contains(fd)) events |= POLLOUT;
        if (!events) continue;
        st->working[n++] = pollfd{fd, events, 0};
    }
    return n;
}

short working_revents(const select_state *st, size_t n, int fd) {
    for (size_t i = 0; i < n; i++) {
        if (st->working[i].fd == fd) return st->working[i].revents;
    }
    return 0;
}

int pending_error(int fd) {
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
}

enum class wake_result { none, stop_after_pass, killed, rebuilt, broken };

wake_result read_wake(os_poller *poller) {
    char byte = 0;
    const int ret = os_socket_recv(poller->wake_read.load(), &byte, 1);
    if (ret == 1) {
        if (byte == OS_POLLER_WAKE_KILL) {
            LOGD("req killed exit\n");
            return wake_result::killed;
        }
        return wake_result::stop_after_pass;
    }
    LOGE_OS("recv ret=%d error: ", ret);
    return os_poller_reset_pair(poller) ? wake_result::rebuilt : wake_result::broken;
}

int select_wait(os_poller *poller, os_poller_func func, int ms) {
    PAL_CHECK_RET(poller && func, "poller && func", -1);
    select_state *st = state_of(poller);
    PAL_CHECK_RET(st, "poller->list", -1);
    const uint64_t start = os_clock_ms();

    for (;;) {
        int timeout = ms < 0 ? -1 : 0;
        if (ms > 0) {
            const uint64_t spent = os_clock_ms() - start;
            if (spent >= static_cast<uint64_t>(ms)) return 0;
            timeout = ms - static_cast<int>(spent);
        }
        const size_t n = build_working(st);
        const int r = poll(st->working.data(), n, timeout);
        if (r == 0) return 0;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }

        // Walk the list in ascending socket order and record what is ready.
        size_t eventn = 0;
        int result = 0;
        bool woken = false;
        {
            mutex_guard guard(st->lock);
            const int wake_fd = os_socket_fd(poller->wake_read.load());
            for (size_t i = 0; i < st->count; i++) {
                const poller_entry entry = st->list[i];
                PAL_ASSERT_RET(entry.fd >= 0, -1);
                const short revents = working_revents(st, n, static_cast<int>(entry.fd));
                if (!revents) continue;
                if (entry.fd == wake_fd) {
                    if (!(revents & (POLLIN | POLLHUP | POLLERR))) continue;
                    const wake_result wake = read_wake(poller);
                    if (wake == wake_result::killed || wake == wake_result::broken) {
                        result = -1;
                        break;
                    }
                    if (wake == wake_result::rebuilt) return 0;
                    woken = true;
                    continue;
                }
                uint32_t events = 0;
                const int fd = static_cast<int>(entry.fd);
                if ((revents & (POLLIN | POLLHUP | POLLERR)) && st->read_set.contains(fd)) {
                    events |= OS_POLLER_READ;
                }
                if ((revents & (POLLOUT | POLLHUP | POLLERR)) && st->write_set.contains(fd)) {
                    events |= OS_POLLER_WRITE;
                }
                if ((revents & (POLLERR | POLLNVAL)) && pending_error(fd) != 0) {
                    events |= OS_POLLER_ERROR;
                }
                if (!events) continue;
                PAL_CHECK_RET(eventn < kMaxEvents, "eventn < pl_arrayn(poller_events)", -1);
                st->poller_events[eventn++] =
                    poller_event{entry.fd, entry.user, events | (entry.flags & OS_POLLER_ONESHOT)};
            }
        }

        // Deliver in list order, outside the lock so that callbacks may change the poller.
        int delivered = 0;
        for (size_t i = 0; i < eventn; i++) {
            const poller_event ev = st->poller_events[i];
            {
                mutex_guard guard(st->lock);
                // An earlier callback of this pass may have removed the object (and
                // freed what the pointer names): deliver only to live registrations.
                const poller_entry *entry = find_entry(st, ev.fd);
                if (!entry || entry->user != ev.user) continue;
                if (ev.events & OS_POLLER_ONESHOT) remove_locked(st, ev.fd);
            }
            const bool pipe = (ev.user & OS_POLLER_PIPE_BIT) != 0;
            const os_poller_object object{pipe ? OS_POLLER_OBJECT_PIPE : OS_POLLER_OBJECT_SOCKET,
                                          os_socket_from_fd(static_cast<int>(ev.fd))};
            void *user = reinterpret_cast<void *>(ev.user & ~OS_POLLER_PIPE_BIT);
            func(poller, &object, ev.events & ~OS_POLLER_ONESHOT, user);
            delivered++;
        }
        if (result < 0) return -1;
        if (delivered > 0) return delivered;
        if (woken) return 0;
        if (ms == 0) return 0;
    }
}

}  // namespace

const os_poller_backend os_poller_select_backend = {
    "select",
    select_init,
    0,  // OS_POLLER_EDGE is not honoured
    {
        select_exit,
        os_poller_generic_kill,
        os_poller_generic_spak,
        select_wait,
        select_insert,
        select_remove,
        select_modify,
        nullptr,  // attach
    },
};
