// The epoll poller back end: one epoll set per poller, no object limit beyond
// the process's descriptor limit, up to 512 ready descriptors per wait.
//
// Entries are level-triggered unless the caller adds OS_POLLER_EDGE, which
// this back end honours as edge-triggered (EPOLLET); see the drain rule in
// os_poller.h. An entry without read or write interest is kept out of the
// set, since epoll reports hang-ups and errors even to an entry that asked
// for nothing, and a level-triggered hang-up would end every wait at once.
// The epoll set needs no lock: the kernel orders changes from other threads
// against a wait in progress, and the wake byte makes the wait pick them up.
#define LOG_TAG "pal"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_poller_imp.h"

namespace {

struct epoll_state {
    int epfd = -1;
};

int epfd_of(os_poller *poller) {
    auto *st = static_cast<epoll_state *>(poller->imp);
    return st ? st->epfd : -1;
}

uint32_t epoll_events_of(uint32_t flags) {
    uint32_t events = 0;
    if (flags & OS_POLLER_READ) events |= EPOLLIN | EPOLLRDHUP;
    if (flags & OS_POLLER_WRITE) events |= EPOLLOUT;
    if (events && (flags & OS_POLLER_EDGE)) events |= EPOLLET;
    return events;
}

// op ADD or MOD, falling back to the other when the kernel's view differs
// (a descriptor closed while registered has left the set by itself).
bool ctl_set(int epfd, int fd, uint32_t events, int op) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(epfd, op, fd, &ev) == 0) return true;
    if (op == EPOLL_CTL_MOD && errno == ENOENT) return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
    if (op == EPOLL_CTL_ADD && errno == EEXIST) return epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev) == 0;
    return false;
}

void ctl_drop(int epfd, int fd) {
    // ENOENT and EBADF: not in the set (never added, or closed already).
    epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
}

bool epoll_init(os_poller *poller) {
    auto *st = new (std::nothrow) epoll_state{};
    if (!st) return false;
    st->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (st->epfd < 0) {
        delete st;
        return false;
    }
    poller->imp = st;
    return true;
}

void epoll_exit(os_poller *poller) {
    auto *st = static_cast<epoll_state *>(poller->imp);
    if (!st) return;
    if (st->epfd >= 0) close(st->epfd);
    delete st;
    poller->imp = nullptr;
}

bool epoll_insert(os_poller *poller, int64_t fd, uint32_t flags) {
    const int epfd = epfd_of(poller);
    PAL_CHECK_RET(epfd >= 0, "poller->list", false);
    PAL_ASSERT_RET(fd >= 0 && fd <= INT_MAX, false);
    const uint32_t events = epoll_events_of(flags);
    if (!events) return true;
    return ctl_set(epfd, static_cast<int>(fd), events, EPOLL_CTL_ADD);
}

bool epoll_modify(os_poller *poller, int64_t fd, uint32_t flags) {
    const int epfd = epfd_of(poller);
    PAL_CHECK_RET(epfd >= 0, "poller->list", false);
    PAL_ASSERT_RET(fd >= 0 && fd <= INT_MAX, false);
    const uint32_t events = epoll_events_of(flags);
    if (!events) {
        ctl_drop(epfd, static_cast<int>(fd));
        return true;
    }
    return ctl_set(epfd, static_cast<int>(fd), events, EPOLL_CTL_MOD);
}

bool epoll_remove(os_poller *poller, int64_t fd) {
    const int epfd = epfd_of(poller);
    PAL_CHECK_RET(epfd >= 0, "poller->list", false);
    ctl_drop(epfd, static_cast<int>(fd));
    return true;
}

int epoll_wait_ready(os_poller *poller, os_poller_ready *ready, size_t max, int ms) {
    const int epfd = epfd_of(poller);
    PAL_CHECK_RET(epfd >= 0, "poller->list", -1);
    epoll_event events[OS_POLLER_MAX_EVENTS];
    if (max > OS_POLLER_MAX_EVENTS) max = OS_POLLER_MAX_EVENTS;
    const int n = epoll_wait(epfd, events, static_cast<int>(max), ms);
    if (n <= 0) return n;
    for (int i = 0; i < n; i++) {
        const uint32_t got = events[i].events;
        uint32_t flags = 0;
        if (got & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) flags |= OS_POLLER_READ;
        if (got & (EPOLLOUT | EPOLLHUP | EPOLLERR)) flags |= OS_POLLER_WRITE;
        if (got & EPOLLERR) flags |= OS_POLLER_ERROR;
        ready[i] = os_poller_ready{events[i].data.fd, flags};
    }
    return n;
}

}  // namespace

const os_poller_backend os_poller_epoll_backend = {
    "epoll",
    epoll_init,
    OS_POLLER_EDGE,  // edge-triggered reading (and writing) on request
    {
        epoll_exit,
        os_poller_generic_kill,
        os_poller_generic_spak,
        epoll_wait_ready,
        epoll_insert,
        epoll_remove,
        epoll_modify,
        nullptr,  // attach: the epoll set belongs to the process from its creation
    },
};
