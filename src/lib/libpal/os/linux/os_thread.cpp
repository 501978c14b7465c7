#define LOG_TAG "pal"
#include "libpal/os/os_thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libpal/env/malloc.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_thread_hook.h"
#include "libpal/string/str_safe.h"

struct os_thread {
    pthread_t id;
};

namespace {

// Freed by the new thread once it has copied what it needs.
struct start_record {
    char name[256];
    os_thread_func func;
    void *arg;
    os_thread_except_opt opt;
};

void *thread_entry(void *p) {
    auto *rec = static_cast<start_record *>(p);
    os_thread_except_opt opt = rec->opt;
    os_thread_func func = rec->func;
    void *arg = rec->arg;
    os_thread_name_set(rec->name);
    mem_free(rec);
    uint32_t code = os_thread_run_guarded(func, arg, &opt);
    os_thread_name_del();
    return reinterpret_cast<void *>(static_cast<uintptr_t>(code));
}

}  // namespace

os_thread *os_thread_init(const char *name, os_thread_func func, void *arg, void *,
                          const os_thread_except_opt *opt) {
    if (!func) return nullptr;
    auto *rec = static_cast<start_record *>(mem_calloc(sizeof(start_record)));
    if (!rec) return nullptr;
    str_safecopy(rec->name, sizeof rec->name, name ? name : "");
    rec->func = func;
    rec->arg = arg;
    if (opt) rec->opt = *opt;
    auto *t = static_cast<os_thread *>(mem_calloc(sizeof(os_thread)));
    if (!t) {
        mem_free(rec);
        return nullptr;
    }
    if (pthread_create(&t->id, nullptr, thread_entry, rec) != 0) {
        mem_free(rec);
        mem_free(t);
        return nullptr;
    }
    return t;
}

int os_thread_wait_kill_exit(os_thread *t, uint32_t, uint32_t *exit_code) {
    if (!t) return -1;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    void *ret = nullptr;
    int rc = pthread_timedjoin_np(t->id, &ret, &deadline);
    int result = 0;
    if (rc == 0) {
        if (exit_code) *exit_code = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ret));
    } else {
        // No safe forced termination here: the thread is left to end on its own.
        pthread_detach(t->id);
        result = rc == ETIMEDOUT ? -2 : -1;
    }
    mem_free(t);
    return result;
}

void os_thread_close(os_thread *t) {
    if (!t) return;
    pthread_detach(t->id);
    mem_free(t);
}

namespace {
// The id is asked of the kernel once per thread; a forked child asks again.
thread_local uint32_t t_cached_tid = 0;
void forget_tid_in_child() { t_cached_tid = 0; }
[[maybe_unused]] const int g_atfork_registered = pthread_atfork(nullptr, nullptr, forget_tid_in_child);
}  // namespace

uint32_t os_thread_id() {
    if (t_cached_tid == 0) t_cached_tid = static_cast<uint32_t>(gettid());
    return t_cached_tid;
}

void os_sleep_ms(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
