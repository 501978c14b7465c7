// The poller's generic layer: creation with its wake pair, the registrations
// (user pointers, interest, one-shot), the checks every back end shares, and
// the wait that turns the back end's readiness into delivered events. A back
// end only adds, changes and drops descriptors and makes the system wait.
#define LOG_TAG "pal"

#include "libpal/os/os_poller.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_poller_imp.h"
#include "libpal/os/os_time.h"

namespace {

constexpr char kWakeKill = 'k';
constexpr char kWakeSpak = 'p';
constexpr size_t kMaxEvents = OS_POLLER_MAX_EVENTS;
constexpr uint32_t kInterest = OS_POLLER_READ | OS_POLLER_WRITE;
constexpr size_t kRegistryStart = 1024;

constexpr const os_poller_backend *kBackends[] = {&os_poller_epoll_backend,
                                                  &os_poller_select_backend};
std::atomic<const os_poller_backend *> g_default_backend{&os_poller_epoll_backend};

const os_poller_backend *find_backend(const char *name) {
    if (!name) return nullptr;
    for (const os_poller_backend *backend : kBackends) {
        if (std::strcmp(backend->name, name) == 0) return backend;
    }
    return nullptr;
}

}  // namespace

// One registration per native socket number.
struct os_poller_entry {
    uint64_t user = 0;   // top bit: pipe object
    uint32_t flags = 0;  // interest as given
    uint32_t gen = 0;    // tells a new registration of a reused number from the old one
    bool used = false;
};

struct os_poller_event {
    int64_t fd;
    uint64_t user;
    uint32_t gen;
    uint32_t events;  // event flags plus the entry's one-shot bit
};

// Guarded by its own short lock: other threads insert and remove while the
// waiting thread records and delivers. Never held across the system wait or
// a callback.
struct os_poller_registry {
    std::mutex lock;
    std::vector<os_poller_entry> by_fd;
    size_t count = 0;  // registered objects, wake socket included
    uint32_t next_gen = 0;
    std::array<os_poller_ready, kMaxEvents> ready{};
    std::array<os_poller_event, kMaxEvents> events{};

    os_poller_entry *find(int64_t fd) {
        if (fd < 0 || static_cast<size_t>(fd) >= by_fd.size()) return nullptr;
        os_poller_entry &entry = by_fd[static_cast<size_t>(fd)];
        return entry.used ? &entry : nullptr;
    }
};

namespace {

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

// Registers or updates fd; false when the back end refuses (full) or fails.
bool store_entry(os_poller *poller, int64_t fd, uint32_t flags, void *user, bool may_add) {
    os_poller_registry *reg = poller->reg;
    PAL_CHECK_RET(reg, "poller->list", false);
    PAL_ASSERT_RET(fd >= 0, false);
    std::lock_guard guard(reg->lock);
    os_poller_entry *entry = reg->find(fd);
    if (entry) {
        if (!poller->ops.modify(poller, fd, flags)) return false;
    } else {
        if (!may_add) return false;
        if (!poller->ops.insert(poller, fd, flags)) return false;
        const size_t index = static_cast<size_t>(fd);
        if (index >= reg->by_fd.size()) reg->by_fd.resize(index + 1);
        entry = &reg->by_fd[index];
        entry->used = true;
        entry->gen = ++reg->next_gen;
        reg->count++;
    }
    entry->flags = flags;
    entry->user = reinterpret_cast<uint64_t>(user);
    return true;
}

// Under the registry lock.
void drop_entry(os_poller *poller, os_poller_entry *entry, int64_t fd) {
    poller->ops.remove(poller, fd);
    entry->used = false;
    poller->reg->count--;
}

void close_pair(os_poller *poller) {
    const os_socket write_end = poller->wake_write.exchange(OS_SOCKET_NONE);
    const os_socket read_end = poller->wake_read.exchange(OS_SOCKET_NONE);
    if (write_end != OS_SOCKET_NONE) os_socket_exit(write_end);
    if (read_end != OS_SOCKET_NONE) os_socket_exit(read_end);
}

// Makes a new pair and registers its read end; false (pair closed) on failure.
bool open_pair(os_poller *poller) {
    os_socket pair[2] = {OS_SOCKET_NONE, OS_SOCKET_NONE};
    if (!os_socket_pair(pair)) {
        LOGE_OS("os_socket_pair error: ");
        return false;
    }
    poller->wake_write.store(pair[0]);
    poller->wake_read.store(pair[1]);
    if (!store_entry(poller, os_socket_fd(pair[1]), OS_POLLER_READ, nullptr, true)) {
        LOGE_OS("os_poller_%s_insert error: ", poller->backend);
        close_pair(poller);
        return false;
    }
    return true;
}

bool wake_send(os_poller *poller, char byte) {
    const os_socket write_end = poller->wake_write.load();
    if (write_end == OS_SOCKET_NONE) return false;
    return os_socket_send(write_end, &byte, 1) == 1;
}

enum class wake_result { stop_after_pass, killed, rebuilt, broken };

wake_result read_wake(os_poller *poller) {
    char byte = 0;
    const int ret = os_socket_recv(poller->wake_read.load(), &byte, 1);
    if (ret == 1) {
        if (byte == kWakeKill) {
            LOGD("req killed exit\n");
            return wake_result::killed;
        }
        return wake_result::stop_after_pass;
    }
    LOGE_OS("recv ret=%d error: ", ret);
    return os_poller_reset_pair(poller) ? wake_result::rebuilt : wake_result::broken;
}

// Turns one system wait's readiness into recorded events; sets wake_seen
// when the wake socket is readable. Returns the number recorded.
size_t record_events(os_poller *poller, int ready_count, bool *wake_seen) {
    os_poller_registry *reg = poller->reg;
    const int64_t wake_fd = os_socket_fd(poller->wake_read.load());
    size_t eventn = 0;
    std::lock_guard guard(reg->lock);
    for (int i = 0; i < ready_count; i++) {
        const os_poller_ready ready = reg->ready[static_cast<size_t>(i)];
        if (ready.fd == wake_fd) {
            if (ready.events & OS_POLLER_READ) *wake_seen = true;
            continue;
        }
        const os_poller_entry *entry = reg->find(ready.fd);
        if (!entry) continue;  // removed after the system wait
        uint32_t events = ready.events & entry->flags & kInterest;
        if ((ready.events & OS_POLLER_ERROR) &&
            os_socket_error(os_socket_from_fd(static_cast<int>(ready.fd))) != 0) {
            events |= OS_POLLER_ERROR;
        }
        if (!events) continue;
        PAL_CHECK_RET(eventn < kMaxEvents, "eventn < pl_arrayn(poller_events)", eventn);
        reg->events[eventn++] = os_poller_event{ready.fd, entry->user, entry->gen,
                                                events | (entry->flags & OS_POLLER_ONESHOT)};
    }
    return eventn;
}

// Delivers in the recorded order, outside the lock so that callbacks may
// change the poller. An earlier callback of this pass may have removed an
// object (and freed what its pointer names): only live registrations get
// their event.
int deliver_events(os_poller *poller, os_poller_func func, size_t eventn) {
    os_poller_registry *reg = poller->reg;
    int delivered = 0;
    for (size_t i = 0; i < eventn; i++) {
        const os_poller_event ev = reg->events[i];
        {
            std::lock_guard guard(reg->lock);
            os_poller_entry *entry = reg->find(ev.fd);
            if (!entry || entry->gen != ev.gen) continue;
            if (ev.events & OS_POLLER_ONESHOT) drop_entry(poller, entry, ev.fd);
        }
        const bool pipe = (ev.user & OS_POLLER_PIPE_BIT) != 0;
        const os_poller_object object{pipe ? OS_POLLER_OBJECT_PIPE : OS_POLLER_OBJECT_SOCKET,
                                      os_socket_from_fd(static_cast<int>(ev.fd))};
        void *user = reinterpret_cast<void *>(ev.user & ~OS_POLLER_PIPE_BIT);
        func(poller, &object, ev.events & ~OS_POLLER_ONESHOT, user);
        delivered++;
    }
    return delivered;
}

}  // namespace

bool os_poller_backend_set(const char *name) {
    const os_poller_backend *backend = find_backend(name);
    if (!backend) return false;
    g_default_backend.store(backend, std::memory_order_relaxed);
    return true;
}

const char *os_poller_backend_name(const os_poller *poller) {
    if (poller) return poller->backend;
    return g_default_backend.load(std::memory_order_relaxed)->name;
}

const char *os_poller_backend_names() { return "epoll|select"; }

os_poller *os_poller_init() {
    return os_poller_init_backend(g_default_backend.load(std::memory_order_relaxed)->name);
}

os_poller *os_poller_init_backend(const char *name) {
    const os_poller_backend *backend = find_backend(name);
    PAL_CHECK_RET(backend, "poller", nullptr);
    auto *poller = new (std::nothrow) os_poller{};
    auto *reg = poller ? new (std::nothrow) os_poller_registry{} : nullptr;
    if (!reg) {
        delete poller;
        PAL_ASSERT_REPORT("poller");
        return nullptr;
    }
    // Sized for the usual descriptor limit, so that a busy loop does not
    // regrow it; higher descriptors grow it once to their high-water mark.
    reg->by_fd.resize(kRegistryStart);
    poller->ops = backend->ops;
    poller->support = backend->support;
    poller->backend = backend->name;
    poller->reg = reg;
    poller->wake_write.store(OS_SOCKET_NONE);
    poller->wake_read.store(OS_SOCKET_NONE);
    if (!backend->init(poller)) {
        LOGE_OS("os_poller_%s init error: ", backend->name);
        delete reg;
        delete poller;
        PAL_ASSERT_REPORT("poller");
        return nullptr;
    }
    if (!open_pair(poller)) {
        poller->ops.exit(poller);
        delete reg;
        delete poller;
        PAL_ASSERT_REPORT("poller");
        return nullptr;
    }
    return poller;
}

void os_poller_exit(os_poller *poller) {
    PAL_ASSERT_RET(poller, );
    os_poller_kill(poller);
    close_pair(poller);
    poller->ops.exit(poller);
    delete poller->reg;
    delete poller;
}

bool os_poller_kill(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    return poller->ops.kill(poller);
}

bool os_poller_spak(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    return poller->ops.spak(poller);
}

bool os_poller_support(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    return (poller->support & OS_POLLER_EDGE) != 0;
}

bool os_poller_insert(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user) {
    PAL_CHECK_RET(poller && poller->ops.insert && object, "poller && poller->insert && object",
                  false);
    if (!check_object(object) || !user_ok(user)) return false;
    return store_entry(poller, os_socket_fd(object->handle), flags, user, true);
}

bool os_poller_remove(os_poller *poller, const os_poller_object *object) {
    PAL_CHECK_RET(poller && poller->ops.remove && object, "poller && poller->remove && object",
                  false);
    os_poller_registry *reg = poller->reg;
    PAL_CHECK_RET(reg, "poller->list", false);
    const int64_t fd = os_socket_fd(object->handle);
    std::lock_guard guard(reg->lock);
    os_poller_entry *entry = reg->find(fd);
    if (entry) drop_entry(poller, entry, fd);
    return true;
}

bool os_poller_modify(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user) {
    PAL_CHECK_RET(poller && object, "poller && object", false);
    PAL_ASSERT_RET(poller->ops.modify, false);
    if (!check_object(object) || !user_ok(user)) return false;
    return store_entry(poller, os_socket_fd(object->handle), flags, user, false);
}

size_t os_poller_count(os_poller *poller) {
    PAL_ASSERT_RET(poller && poller->reg, 0);
    std::lock_guard guard(poller->reg->lock);
    return poller->reg->count;
}

int os_poller_wait(os_poller *poller, os_poller_func func, int ms) {
    PAL_CHECK_RET(poller && poller->ops.wait && func, "poller && poller->wait && func", -1);
    os_poller_registry *reg = poller->reg;
    PAL_CHECK_RET(reg, "poller->list", -1);
    const uint64_t start = os_clock_ms();
    for (;;) {
        int timeout = ms < 0 ? -1 : 0;
        if (ms > 0) {
            const uint64_t spent = os_clock_ms() - start;
            if (spent >= static_cast<uint64_t>(ms)) return 0;
            timeout = ms - static_cast<int>(spent);
        }
        const int ready_count = poller->ops.wait(poller, reg->ready.data(), kMaxEvents, timeout);
        if (ready_count == 0) return 0;
        if (ready_count < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        bool wake_seen = false;
        const size_t eventn = record_events(poller, ready_count, &wake_seen);
        // Events recorded in the pass that brought a kill are still delivered.
        int result = 0;
        bool woken = false;
        if (wake_seen) {
            const wake_result wake = read_wake(poller);
            if (wake == wake_result::killed || wake == wake_result::broken) result = -1;
            woken = true;
        }
        const int delivered = deliver_events(poller, func, eventn);
        if (result < 0) return -1;
        if (delivered > 0) return delivered;
        if (woken || ms == 0) return 0;
    }
}

bool os_poller_attach(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    if (!poller->ops.attach) return true;
    return poller->ops.attach(poller);
}

bool os_poller_reset_pair(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    const os_socket old_read = poller->wake_read.load();
    if (old_read != OS_SOCKET_NONE) {
        const os_poller_object object = os_poller_socket_object(old_read);
        os_poller_remove(poller, &object);
    }
    close_pair(poller);
    return open_pair(poller);
}

// Generic wake operations the back ends put into their tables.
bool os_poller_generic_kill(os_poller *poller) { return wake_send(poller, kWakeKill); }
bool os_poller_generic_spak(os_poller *poller) { return wake_send(poller, kWakeSpak); }
