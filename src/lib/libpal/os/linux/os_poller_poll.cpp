// The set-based poller back end: up to 64 objects (the wake socket included)
// in a list sorted by socket number, read and write interest sets, and one
// readiness wait per cycle (poll(2), keeping the select limits). It reports
// the ready sockets in ascending socket order; the generic layer does the rest.
//
// A short internal lock guards the list and the sets against changes from
// other threads while the waiting thread copies or walks them; it is never
// held across the system wait.
#define LOG_TAG "pal"

#include <poll.h>

#include <algorithm>
#include <array>
#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_mutex.h"
#include "libpal/os/os_poller_imp.h"

namespace {

constexpr size_t kMaxObjects = OS_POLLER_MAX_OBJECTS;

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

struct select_state {
    mutex_t *lock = nullptr;
    int max_fd = -1;  // highest socket inserted so far (only grows)
    socket_set read_set;
    socket_set write_set;
    uint32_t count = 0;  // registered objects, wake socket included
    std::array<int64_t, kMaxObjects> list{};  // sorted socket numbers
    std::array<pollfd, kMaxObjects> working{};
};

select_state *state_of(os_poller *poller) { return static_cast<select_state *>(poller->imp); }

// Index of fd in the sorted list, or the position where it would go.
size_t lower_bound_index(const select_state *st, int64_t fd) {
    const auto begin = st->list.begin();
    return static_cast<size_t>(std::lower_bound(begin, begin + st->count, fd) - begin);
}

void apply_interest(select_state *st, int fd, uint32_t flags) {
    if (flags & OS_POLLER_READ) {
        st->read_set.add(fd);
    } else {
        st->read_set.drop(fd);
    }
    if (flags & OS_POLLER_WRITE) {
        st->write_set.add(fd);
    } else {
        st->write_set.drop(fd);
    }
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

bool select_insert(os_poller *poller, int64_t fd, uint32_t flags) {
    select_state *st = state_of(poller);
    PAL_CHECK_RET(st, "poller->list", false);
    mutex_guard guard(st->lock);
    if (st->count >= kMaxObjects) return false;  // full: the caller reports it
    const size_t i = lower_bound_index(st, fd);
    std::copy_backward(st->list.begin() + i, st->list.begin() + st->count,
                       st->list.begin() + st->count + 1);
    st->list[i] = fd;
    st->count++;
    apply_interest(st, static_cast<int>(fd), flags);
    st->max_fd = std::max(st->max_fd, static_cast<int>(fd));
    return true;
}

bool select_modify(os_poller *poller, int64_t fd, uint32_t flags) {
    select_state *st = state_of(poller);
    PAL_CHECK_RET(st, "poller->list", false);
    mutex_guard guard(st->lock);
    apply_interest(st, static_cast<int>(fd), flags);
    return true;
}

bool select_remove(os_poller *poller, int64_t fd) {
    select_state *st = state_of(poller);
    PAL_CHECK_RET(st, "poller->list", false);
    mutex_guard guard(st->lock);
    st->read_set.drop(static_cast<int>(fd));
    st->write_set.drop(static_cast<int>(fd));
    const size_t i = lower_bound_index(st, fd);
    if (i >= st->count || st->list[i] != fd) return true;
    std::copy(st->list.begin() + i + 1, st->list.begin() + st->count, st->list.begin() + i);
    st->count--;
    return true;
}

// Copies the interest sets into the working set; returns its size.
size_t build_working(select_state *st) {
    mutex_guard guard(st->lock);
    size_t n = 0;
    for (size_t i = 0; i < st->count; i++) {
        const int fd = static_cast<int>(st->list[i]);
        short events = 0;
        if (st->read_set.contains(fd)) events |= POLLIN;
        if (st->write_set.contains(fd)) events |= POLLOUT;
        if (!events) continue;
        st->working[n++] = pollfd{fd, events, 0};
    }
    return n;
}

int select_wait(os_poller *poller, os_poller_ready *ready, size_t max, int ms) {
    select_state *st = state_of(poller);
    PAL_CHECK_RET(st, "poller->list", -1);
    const size_t n = build_working(st);
    const int r = poll(st->working.data(), n, ms);
    if (r <= 0) return r;
    // The working set was built in ascending socket order: report in that order.
    size_t count = 0;
    for (size_t i = 0; i < n && count < max; i++) {
        const pollfd &entry = st->working[i];
        PAL_ASSERT_RET(entry.fd >= 0, -1);
        if (!entry.revents) continue;
        uint32_t events = 0;
        if (entry.revents & (POLLIN | POLLHUP | POLLERR)) events |= OS_POLLER_READ;
        if (entry.revents & (POLLOUT | POLLHUP | POLLERR)) events |= OS_POLLER_WRITE;
        if (entry.revents & (POLLERR | POLLNVAL)) events |= OS_POLLER_ERROR;
        ready[count++] = os_poller_ready{entry.fd, events};
    }
    return static_cast<int>(count);
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
