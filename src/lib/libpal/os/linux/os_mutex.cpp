#include "libpal/os/os_mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "libpal/env/malloc.h"
#include "libpal/os/os_thread.h"

// Recursive, like the critical sections the rest of the system expects. A
// lock word on a futex rather than a recursive pthread mutex: taking and
// giving back a free lock is one atomic operation each, without the
// library's type dispatch, and the log takes one for every line.
struct os_mutex {
    // 0 free, 1 held, 2 held and a thread may be sleeping on it.
    std::atomic<uint32_t> word{0};
    std::atomic<uint32_t> owner{0};  // thread id of the holder, 0 when free
    uint32_t depth = 0;              // the holder's count; only it touches this
};

namespace {

void futex_wait(std::atomic<uint32_t> *word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_one(std::atomic<uint32_t> *word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The lock word's other holder can only be another thread: a thread finds
// its own id in owner only when it set it.
bool held_by_caller(const os_mutex *m, uint32_t self) { return m->owner.load(std::memory_order_relaxed) == self; }

void take(os_mutex *m, uint32_t self) {
    m->owner.store(self, std::memory_order_relaxed);
    m->depth = 1;
}

}  // namespace

mutex_t *mutex_malloc() {
    void *block = mem_malloc(sizeof(os_mutex));
    if (!block) return nullptr;
    return new (block) os_mutex;
}

void mutex_lock(mutex_t *m) {
    if (!m) return;
    uint32_t self = os_thread_id();
    if (held_by_caller(m, self)) {
        ++m->depth;
        return;
    }
    uint32_t seen = 0;
    if (!m->word.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        // Marked as contended before sleeping, so that the unlock wakes a sleeper.
        if (seen != 2) seen = m->word.exchange(2, std::memory_order_acquire);
        while (seen != 0) {
            futex_wait(&m->word, 2);
            seen = m->word.exchange(2, std::memory_order_acquire);
        }
    }
    take(m, self);
}

bool mutex_trylock(mutex_t *m) {
    if (!m) return false;
    uint32_t self = os_thread_id();
    if (held_by_caller(m, self)) {
        ++m->depth;
        return true;
    }
    uint32_t seen = 0;
    if (!m->word.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed)) return false;
    take(m, self);
    return true;
}

void mutex_unlock(mutex_t *m) {
    if (!m || !held_by_caller(m, os_thread_id())) return;
    if (--m->depth > 0) return;
    m->owner.store(0, std::memory_order_relaxed);
    if (m->word.exchange(0, std::memory_order_release) == 2) futex_wake_one(&m->word);
}

void mutex_free(mutex_t *m) {
    if (!m) return;
    m->~os_mutex();
    mem_free(m);
}
