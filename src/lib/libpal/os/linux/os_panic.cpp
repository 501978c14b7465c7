// Fault handlers: the signals of a crash, caught on an alternate stack,
// turned into an exception record, reported once, and handed to the
// thread's filter or to the process-level handler.
#define LOG_TAG "pal"
#include "libpal/os/os_panic.h"

#include <execinfo.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/env/thread_name.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_thread_capture.h"
#include "libpal/os/os_thread_hook.h"
#include "liblog/log2.h"
#include "liblog/log2_panic.h"

// gcc and clang tell of a sanitizer build in different ways.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PANIC_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PANIC_UNDER_SANITIZER 1
#endif
#endif

namespace {

struct exception_name {
    uint32_t code;
    const char *name;
};

constexpr std::array<exception_name, 21> EXCEPTION_NAMES = {{
    {OS_EXCEPTION_ABORT, "ABORT"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0x80000003, "BREAKPOINT"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0x80000004, "SINGLE_STEP"},
    {0xC00000FD, "STACK_OVERFLOW"},
}};

constexpr std::array<int, 6> FAULT_SIGNALS = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
// Room for the report, the symbol lookups and the log call on the alternate stack.
constexpr size_t ALT_STACK_SIZE = 512 * 1024;
// A stack overflow faults just below the lowest usable address of the stack;
// a large frame may jump further than the guard page.
constexpr uintptr_t OVERFLOW_WINDOW = 256 * 1024;
// The whole crash path must end within this, whatever lock it meets.
constexpr unsigned PANIC_LIMIT_S = 10;
constexpr uint32_t LOG_LOCK_WAIT_MS = 1000;
constexpr size_t REPORT_MAXN = 8192;
constexpr size_t NOTIFY_MAXN = 4096;

std::atomic<bool> g_installed{false};
std::atomic<os_panic_handler> g_handler{nullptr};
std::atomic<uint8_t> g_report_written{0};
// Thread id of the one thread inside the crash path, 0 when none: two faults
// at once give one report and one dump.
std::atomic<uint32_t> g_owner{0};
std::atomic<bool> g_log_held{false};

// A guarded call: the thread's fault options and the place to return to.
struct guard_frame {
    sigjmp_buf jump;
    os_thread_except_opt opt;
    guard_frame *outer;
    uint32_t fault_code;  // the exception code of a handled fault, the call's result
};

thread_local guard_frame *t_guard = nullptr;
thread_local void *t_altstack = nullptr;
thread_local uintptr_t t_stack_lo = 0;

char g_report[REPORT_MAXN];
char g_stack[REPORT_MAXN];

void write_stderr(const char *text) {
    ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

void note_stack_bounds() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void *addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) t_stack_lo = reinterpret_cast<uintptr_t>(addr);
    pthread_attr_destroy(&attr);
}

uint32_t segv_code(uintptr_t fault_addr) {
    uintptr_t lo = t_stack_lo;
    if (lo && fault_addr < lo + 4096 && fault_addr + OVERFLOW_WINDOW >= lo) return OS_EXCEPTION_STACK_OVERFLOW;
    return OS_EXCEPTION_ACCESS_VIOLATION;
}

uint32_t exception_code(int sig, const siginfo_t *si) {
    switch (sig) {
    case SIGSEGV: return segv_code(reinterpret_cast<uintptr_t>(si->si_addr));
    case SIGBUS: return si->si_code == BUS_ADRALN ? 0x80000002 : OS_EXCEPTION_IN_PAGE_ERROR;
    case SIGFPE:
        switch (si->si_code) {
        case FPE_INTDIV: return OS_EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF: return 0xC0000095;
        case FPE_FLTDIV: return 0xC000008E;
        case FPE_FLTOVF: return 0xC0000091;
        case FPE_FLTUND: return 0xC0000093;
        case FPE_FLTRES: return 0xC000008F;
        case FPE_FLTINV: return 0xC0000090;
        case FPE_FLTSUB: return 0xC000008C;
        default: return 0xC0000090;
        }
    case SIGILL: return si->si_code == ILL_PRVOPC ? 0xC0000096 : 0xC000001D;
    case SIGTRAP: return si->si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default: return OS_EXCEPTION_ABORT;
    }
}

void fill_info(os_exception_info *info, int sig, siginfo_t *si, void *uc) {
    std::memset(info, 0, sizeof *info);
    info->code = exception_code(sig, si);
    info->signo = sig;
    info->context = uc;
    auto *ctx = static_cast<ucontext_t *>(uc);
    info->addr = ctx ? reinterpret_cast<void *>(ctx->uc_mcontext.gregs[REG_RIP]) : nullptr;
    info->param_count = 2;
    info->params[0] = static_cast<uintptr_t>(static_cast<intptr_t>(si->si_code));
    info->params[1] = reinterpret_cast<uintptr_t>(si->si_addr);
    // kill(2), sigqueue(3) and tgkill(2) from another process: no fault of this one.
    if (si->si_code <= 0 && si->si_pid != getpid()) info->sender_pid = si->si_pid;
}

void panic_timeout(int) {
    os_panic_dump_abandon();
    write_stderr("panic handling did not end in time\nprocess panic exit\n");
    _exit(254);
}

// One thread at a time in the crash path. A fault inside the path itself
// ends the process at once; a fault on another thread waits for the first,
// which either ends the process or lets go after handling its own.
void claim_crash_path() {
    uint32_t self = os_thread_id();
    for (;;) {
        uint32_t expected = 0;
        if (g_owner.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) break;
        if (expected == self) {
            write_stderr("fault inside the crash handling\nprocess panic exit\n");
            _exit(254);
        }
        timespec pause{0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    struct sigaction timeout{};
    timeout.sa_handler = panic_timeout;
    sigaction(SIGALRM, &timeout, nullptr);
    alarm(PANIC_LIMIT_S);
    g_log_held.store(log2_panic_enter(LOG_LOCK_WAIT_MS) == 0, std::memory_order_relaxed);
}

void release_crash_path() {
    if (g_log_held.exchange(false, std::memory_order_relaxed)) log2_panic_leave();
    alarm(0);
    g_owner.store(0, std::memory_order_release);
}

// Per-thread filter; returns only when the fault goes on to the process handler.
void thread_filter(guard_frame *guard, const os_exception_info *info) {
    os_exception_dump(info);
    if (guard->opt.notify) {
        char name[OS_THREAD_NAME_MAXN];
        os_thread_name_get(name);
        char text[NOTIFY_MAXN];
        std::snprintf(text, sizeof text,
                      "Thread exception: tname=[%s] Code=0x%x Address=0x%lx \nSee the log for more information", name,
                      info->code, reinterpret_cast<unsigned long>(info->addr));
        guard->opt.notify(text);
    }
    if (guard->opt.dump) os_painc_create_mini_dump(info);
    if (guard->opt.handle) {
        os_panic_log(LOG_DBG, "os_thread_exception_filter", "except handle\n");
        guard->fault_code = info->code;
        release_crash_path();
        siglongjmp(guard->jump, 1);
    }
    if (guard->opt.exit) {
        os_panic_log(LOG_CRIT | LOG_F_NO_EXIT | LOG_F_BSV_NET, "os_thread_exception_filter", "thread panic exit\n");
        _exit(254);
    }
    os_panic_log(LOG_ERR, "os_thread_exception_filter", "except continue\n");
    g_report_written.store(1, std::memory_order_relaxed);
}

// Unused in sanitizer builds, which keep the fault signals to themselves.
[[maybe_unused]] void fault_handler(int sig, siginfo_t *si, void *uc) {
    int saved_errno = errno;
    claim_crash_path();
    os_exception_info info;
    fill_info(&info, sig, si, uc);
    if (guard_frame *guard = t_guard) thread_filter(guard, &info);
    if (os_panic_handler handler = g_handler.load(std::memory_order_acquire)) handler(&info);
    if (!g_report_written.load(std::memory_order_relaxed)) os_exception_dump(&info);
    os_panic_log(LOG_CRIT | LOG_F_NO_EXIT | LOG_F_BSV_NET, "app_panic_handle", "process panic exit\n");
    errno = saved_errno;
    _exit(254);
}

// The thread entry's filter: the function runs under a guard frame; a fault
// that the options handle comes back here and ends the call.
[[maybe_unused]] uint32_t guarded_runner(os_thread_func func, void *arg, const os_thread_except_opt *opt) {
    bool own_altstack = !t_altstack && os_panic_altstack_init() == 0;
    if (!t_stack_lo) note_stack_bounds();
    guard_frame frame;
    frame.opt = opt ? *opt : os_thread_except_opt{};
    frame.outer = t_guard;
    frame.fault_code = 0;
    uint32_t code;
    bool abandoned = false;
    if (sigsetjmp(frame.jump, 1) == 0) {
        t_guard = &frame;
        code = func(arg);
    } else {
        code = frame.fault_code;
        abandoned = true;
    }
    t_guard = frame.outer;
    os_thread_call_abandoned_set(abandoned);
    if (own_altstack) os_panic_altstack_exit();
    return code;
}

}  // namespace

void os_panic_log(uint32_t flags, const char *func, const char *text) {
    if (static_cast<int>(flags & LOG_F_LEVEL_MASK) > log2_level_get()) return;
    if (g_log_held.load(std::memory_order_relaxed) || g_owner.load(std::memory_order_relaxed) != os_thread_id()) {
        log2_printf(nullptr, flags, LOG_TAG, __FILE__, __LINE__, func, "%s", text);
        return;
    }
    // Another thread keeps the log lock: the text goes out without it.
    if (flags & LOG_F_BSV_ONLY) return;
    log2_panic_direct(text, std::strlen(text));
}

int os_panic_altstack_init() {
    if (t_altstack) return 0;
    void *mem = mmap(nullptr, ALT_STACK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
                     0);
    if (mem == MAP_FAILED) return -1;
    stack_t st{};
    st.ss_sp = mem;
    st.ss_size = ALT_STACK_SIZE;
    if (sigaltstack(&st, nullptr) != 0) {
        munmap(mem, ALT_STACK_SIZE);
        return -1;
    }
    t_altstack = mem;
    return 0;
}

void os_panic_altstack_exit() {
    if (!t_altstack) return;
    stack_t st{};
    st.ss_flags = SS_DISABLE;
    sigaltstack(&st, nullptr);
    munmap(t_altstack, ALT_STACK_SIZE);
    t_altstack = nullptr;
}

int os_panic_install(os_panic_handler handler) {
    g_handler.store(handler, std::memory_order_release);
    if (g_installed.exchange(true)) return 0;
#ifdef PANIC_UNDER_SANITIZER
    // The sanitizer keeps its own fault handlers and shadow memory; a core of
    // that memory would be terabytes. Crash handling stays with the sanitizer.
    LOGV("crash handling left to the sanitizer\n");
    g_installed.store(false);
    return -1;
#else
    // The first stack capture loads the unwinder, and the symbol library is
    // loaded here too: neither may happen inside a fault.
    void *warm[2];
    backtrace(warm, 2);
    dbghelp_init();
    os_panic_altstack_init();
    note_stack_bounds();
    if (os_thread_capture_install() != 0) LOGW("thread capture for crash dumps not installed\n");
    struct sigaction action{};
    action.sa_sigaction = fault_handler;
    // SA_NODEFER: a fault inside the crash path comes back to the handler,
    // which ends the process, instead of the kernel killing it without a word.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int sig : FAULT_SIGNALS) sigaction(sig, &action, nullptr);
    os_thread_runner_set(guarded_runner);
    return 0;
#endif
}

bool os_panic_report_written() { return g_report_written.load(std::memory_order_relaxed) != 0; }

const char *os_exception_name(uint32_t code, char *out, size_t size) {
    if (!out || size == 0) return out;
    for (const exception_name &row : EXCEPTION_NAMES) {
        if (row.code == code) {
            size_t keep = std::strlen(row.name) < size - 1 ? std::strlen(row.name) : size - 1;
            std::memcpy(out, row.name, keep);
            out[keep] = 0;
            return out;
        }
    }
    char text[32];
    std::snprintf(text, sizeof text, "unkown(%d)", static_cast<int32_t>(code));
    // Cut to 15 characters, as the report has always shown it.
    size_t keep = std::strlen(text) < 15 ? std::strlen(text) : 15;
    if (keep > size - 1) keep = size - 1;
    std::memcpy(out, text, keep);
    out[keep] = 0;
    return out;
}

void os_exception_dump(const os_exception_info *info) {
    if (!info) return;
    char name[32];
    char sym[260];
    size_t used = 0;
    auto add = [&used](const char *fmt, auto... args) {
        if (used >= sizeof g_report - 1) return;
        int n = std::snprintf(g_report + used, sizeof g_report - used, fmt, args...);
        if (n > 0) used += static_cast<size_t>(n) < sizeof g_report - used ? n : sizeof g_report - used - 1;
    };
    g_report[0] = 0;
    add("%s", "--ExptInfo-- \n");
    add("Code: 0x%x\n", info->code);
    if (info->sender_pid > 0)
        add("Cmsg: signal %d sent by pid %d\n", info->signo, info->sender_pid);
    else
        add("Cmsg: %s\n", os_exception_name(info->code, name, sizeof name));
    add("Flag: %d\n", static_cast<int>(info->flags));
    // %p already writes the 0x here; the report keeps its one prefix.
    add("Addr: 0x%lx\n", reinterpret_cast<unsigned long>(info->addr));
    add("ASym: %s\n", GetAddrSym(info->addr, sym, sizeof sym));
    for (uint32_t i = 0; i < info->param_count && i < OS_EXCEPTION_PARAM_MAXN; ++i)
        add("Param[%u]: 0x%lx\n", i + 1, static_cast<unsigned long>(info->params[i]));
    add("[%s]\n", os_dump_stack(g_stack, sizeof g_stack));
    os_panic_log(LOG_CRIT | LOG_F_NO_EXIT | LOG_F_BSV_NET, "os_exception_dump", g_report);
}
