#include "libpal/os/os_thread_capture.h"

#include <asm/prctl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "libpal/os/linux/os_dir_walk.h"

namespace {

enum slot_state : int { SLOT_FREE, SLOT_ASKED, SLOT_TAKEN, SLOT_GONE };

struct capture_slot {
    std::atomic<int> tid{0};
    std::atomic<int> state{SLOT_FREE};
    os_thread_regs regs;
};

// One capture at a time: only the thread inside the crash path calls in.
capture_slot g_slots[OS_THREAD_CAPTURE_MAXN];
std::atomic<int> g_slot_count{0};
std::atomic<bool> g_release{true};
// Without the handler the capture signal would end the process.
std::atomic<bool> g_installed{false};
int g_taken_index[OS_THREAD_CAPTURE_MAXN];
int g_taken = 0;
int g_missing = 0;
char g_dents[16384];

int capture_signal() { return SIGRTMIN + 8; }

int own_tid() { return static_cast<int>(syscall(SYS_gettid)); }

void capture_handler(int, siginfo_t *si, void *uc) {
    int saved_errno = errno;
    // Only the crash path of this process asks; anything else is ignored.
    if (si->si_code != SI_TKILL || si->si_pid != getpid()) {
        errno = saved_errno;
        return;
    }
    int tid = own_tid();
    int count = g_slot_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        capture_slot &slot = g_slots[i];
        if (slot.tid.load(std::memory_order_relaxed) != tid) continue;
        int asked = SLOT_ASKED;
        if (slot.state.load(std::memory_order_acquire) != asked) break;
        const auto *ctx = static_cast<const ucontext_t *>(uc);
        slot.regs.tid = tid;
        for (int r = 0; r < OS_THREAD_CAPTURE_GREGS; ++r) slot.regs.gregs[r] = ctx->uc_mcontext.gregs[r];
        slot.regs.fs_base = 0;
        syscall(SYS_arch_prctl, ARCH_GET_FS, &slot.regs.fs_base);
        slot.state.store(SLOT_TAKEN, std::memory_order_release);
        break;
    }
    // Held here, so that the memory in the dump matches these registers.
    while (!g_release.load(std::memory_order_acquire)) {
        timespec pause{0, 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    errno = saved_errno;
}

uint64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

struct thread_census {
    int self;
    int count;
};

// A thread's directory is its id; another name is no thread.
bool add_thread(const char *name, void *arg) {
    auto *census = static_cast<thread_census *>(arg);
    int tid = 0;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9') return true;
        tid = tid * 10 + (*c - '0');
    }
    if (tid <= 0 || tid == census->self) return true;
    if (census->count == OS_THREAD_CAPTURE_MAXN) return false;
    g_slots[census->count].tid.store(tid, std::memory_order_relaxed);
    g_slots[census->count].state.store(SLOT_ASKED, std::memory_order_relaxed);
    ++census->count;
    return true;
}

// The other threads' ids, from /proc/self/task, into the slots.
int list_threads(int self) {
    int dir = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return 0;
    thread_census census{self, 0};
    os_dir_walk(dir, g_dents, sizeof g_dents, add_thread, &census);
    close(dir);
    return census.count;
}

}  // namespace

int os_thread_capture_install() {
    struct sigaction action {};
    action.sa_sigaction = capture_handler;
    // SA_RESTART: a thread let go again resumes the call it was in.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(capture_signal(), &action, nullptr) != 0) return -1;
    g_installed.store(true, std::memory_order_release);
    return 0;
}

int os_thread_capture_all(uint32_t wait_ms) {
    g_taken = 0;
    g_missing = 0;
    if (!g_installed.load(std::memory_order_acquire)) return 0;
    g_release.store(false, std::memory_order_release);
    g_slot_count.store(0, std::memory_order_release);
    int self = own_tid();
    int count = list_threads(self);
    g_slot_count.store(count, std::memory_order_release);
    pid_t pid = getpid();
    for (int i = 0; i < count; ++i) {
        if (syscall(SYS_tgkill, pid, g_slots[i].tid.load(std::memory_order_relaxed), capture_signal()) != 0)
            g_slots[i].state.store(SLOT_GONE, std::memory_order_relaxed);
    }
    uint64_t deadline = now_ms() + wait_ms;
    for (;;) {
        int waiting = 0;
        for (int i = 0; i < count; ++i)
            if (g_slots[i].state.load(std::memory_order_acquire) == SLOT_ASKED) ++waiting;
        if (waiting == 0 || now_ms() >= deadline) break;
        timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    g_taken = 0;
    g_missing = 0;
    for (int i = 0; i < count; ++i) {
        int state = g_slots[i].state.load(std::memory_order_acquire);
        if (state == SLOT_TAKEN) g_taken_index[g_taken++] = i;
        else if (state == SLOT_ASKED) ++g_missing;
    }
    return g_taken;
}

const os_thread_regs *os_thread_capture_get(int i) {
    return i >= 0 && i < g_taken ? &g_slots[g_taken_index[i]].regs : nullptr;
}

int os_thread_capture_missing() { return g_missing; }

void os_thread_capture_release() {
    // A thread that answers late finds its slot no longer asked.
    int count = g_slot_count.exchange(0, std::memory_order_acq_rel);
    for (int i = 0; i < count; ++i) g_slots[i].state.store(SLOT_FREE, std::memory_order_relaxed);
    g_release.store(true, std::memory_order_release);
}
