#include "libpal/os/os_mutex.h"

#include <pthread.h>

#include <new>

#include "libpal/env/malloc.h"

struct os_mutex {
    pthread_mutex_t m;
};

mutex_t *mutex_malloc() {
    void *block = mem_malloc(sizeof(os_mutex));
    if (!block) return nullptr;
    auto *mx = new (block) os_mutex;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // Recursive, like the critical sections the rest of the system expects.
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&mx->m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        mem_free(block);
        return nullptr;
    }
    return mx;
}

void mutex_lock(mutex_t *m) {
    if (m) pthread_mutex_lock(&m->m);
}

bool mutex_trylock(mutex_t *m) { return m && pthread_mutex_trylock(&m->m) == 0; }

void mutex_unlock(mutex_t *m) {
    if (m) pthread_mutex_unlock(&m->m);
}

void mutex_free(mutex_t *m) {
    if (!m) return;
    pthread_mutex_destroy(&m->m);
    mem_free(m);
}
