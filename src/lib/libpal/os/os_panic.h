// Crash handling: fault handlers, the exception report with its call stack,
// and the crash dump file. The fault handlers run on an alternate signal
// stack; everything they call avoids the heap where it can and never waits
// for long.
#pragma once

#include <cstddef>
#include <cstdint>

// Exception codes of the reports.
constexpr uint32_t OS_EXCEPTION_ACCESS_VIOLATION = 0xC0000005;
constexpr uint32_t OS_EXCEPTION_IN_PAGE_ERROR = 0xC0000006;
constexpr uint32_t OS_EXCEPTION_STACK_OVERFLOW = 0xC00000FD;
constexpr uint32_t OS_EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094;
constexpr uint32_t OS_EXCEPTION_ABORT = 0x40000015;
constexpr int OS_EXCEPTION_PARAM_MAXN = 2;

// One fault as the report sees it. params[0] is si_code, params[1] the fault address.
struct os_exception_info {
    uint32_t code;
    uint32_t flags;
    void *addr;  // instruction pointer of the fault
    uint32_t param_count;
    uintptr_t params[OS_EXCEPTION_PARAM_MAXN];
    int signo;
    int sender_pid;  // the process that sent the signal (kill), 0 for a fault of this one
    void *context;  // ucontext_t of the fault; null for a dump taken on request
};

// The process-level handler; it must not return.
using os_panic_handler = void (*)(const os_exception_info *info);

// Installs the fault handlers once (later calls return 0 at once) and gives
// the calling thread its alternate stack; -1 when they cannot be installed.
int os_panic_install(os_panic_handler handler);
// Gives the calling thread an alternate signal stack; os_thread_init does it
// for its threads. 0 or -1.
int os_panic_altstack_init();
void os_panic_altstack_exit();

// Switches dump writing on with the directory and the file name prefix
// (both copied, cut at 4095 and 63 bytes); null or empty dir switches it off.
// Warns at once when the folder (or the nearest one above it that exists)
// cannot take a file, and removes dumps beyond the newest keep.
void os_panic_dump_set(const char *dir, const char *app_name);
bool os_panic_dump_on();
// How many dumps the folder keeps, newest first: older ones are removed when
// dumps are switched on and after each dump. 0 or less keeps every dump.
constexpr int OS_PANIC_DUMP_KEEP_DEFAULT = 5;
void os_panic_dump_keep_set(int keep);
// True once a thread filter has logged a report and passed the fault on.
bool os_panic_report_written();

// Logs one text of the crash path as it is (function name func); when another
// thread keeps the log lock, the text goes straight to standard error and the
// log file instead.
void os_panic_log(uint32_t flags, const char *func, const char *text);

// "ACCESS_VIOLATION" ... or "unkown(%d)" cut to 15 characters; returns out (at least 16 bytes).
const char *os_exception_name(uint32_t code, char *out, size_t size);
// Logs the exception report at crit (the process goes on).
void os_exception_dump(const os_exception_info *info);
// Writes <dir>/<app>-YYYY_MM_DD-hh_mm_ss-<pid>.dmp when dumps are on, with the
// registers of every thread; a dump that cannot be written is logged at err
// ("crash dump not written: <path>: <reason>").
void os_painc_create_mini_dump(const os_exception_info *info);
// Removes the part of a dump still being written; safe in a signal handler.
void os_panic_dump_abandon();
// Writes an ELF core of the process to path; info may be null (registers of the caller).
// The other threads are stopped meanwhile and their registers go in too.
void CreateMiniDump(const os_exception_info *info, const char *path);

// Call stack helpers. Symbols and source lines come from libdw, loaded by
// dbghelp_init (0, or -1 when it cannot be had: frames are then module+offset).
// GetAddrSym loads it on first use; dbghelp_exit unloads it.
int dbghelp_init();
void dbghelp_exit();
// The address in words: "module!symbol+0xoff [file @ line]" or "module+0xoff"; returns out.
char *GetAddrSym(const void *addr, char *out, size_t size);
// One GetAddrSym line per frame, up to 128 frames; returns buf.
char *os_dump_stack(char *buf, size_t size);
