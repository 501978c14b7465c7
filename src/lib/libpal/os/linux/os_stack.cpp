// Call stacks in words: module, demangled symbol and offset from dladdr and
// the ELF symbol tables, source file and line from the DWARF data (libdw).
#define LOG_TAG "pal"
#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <execinfo.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_panic.h"
#include "liblog/log2.h"

namespace {

constexpr int STACK_FRAMES_MAXN = 128;
constexpr size_t ASSERT_STACK_MAXN = 16384;
constexpr size_t ADDR_SYM_MAXN = 260;
// A thread that faulted while holding the symbol session must not stall the
// reports of the others for long; they then go without source lines.
constexpr auto SESSION_WAIT = std::chrono::milliseconds(1000);

const Dwfl_Callbacks g_callbacks = {
    dwfl_linux_proc_find_elf,
    dwfl_standard_find_debuginfo,
    nullptr,
    nullptr,
};

// One symbol session for the process, built on first use. libdw is not safe
// for concurrent use of one session, hence the lock.
std::timed_mutex g_session_lock;
Dwfl *g_session = nullptr;
bool g_session_failed = false;

// Stacks are also taken inside the crash path, where the log lock may be
// out of reach: the panic module's log call knows what to do then.
void stack_logf(uint32_t flags, const char *func, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void stack_logf(uint32_t flags, const char *func, const char *fmt, ...) {
    if (static_cast<int>(flags & LOG_F_LEVEL_MASK) > log2_level_get()) return;
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    os_panic_log(flags, func, text);
}

Dwfl *session_locked() {
    if (g_session || g_session_failed) return g_session;
    Dwfl *dwfl = dwfl_begin(&g_callbacks);
    if (!dwfl) {
        g_session_failed = true;
        return nullptr;
    }
    if (dwfl_linux_proc_report(dwfl, getpid()) != 0 || dwfl_report_end(dwfl, nullptr, nullptr) != 0) {
        dwfl_end(dwfl);
        g_session_failed = true;
        return nullptr;
    }
    g_session = dwfl;
    return g_session;
}

// Libraries opened after the session was built are added on demand.
Dwfl_Module *module_of(Dwfl *dwfl, Dwarf_Addr addr) {
    Dwfl_Module *mod = dwfl_addrmodule(dwfl, addr);
    if (mod) return mod;
    dwfl_report_begin_add(dwfl);
    dwfl_linux_proc_report(dwfl, getpid());
    dwfl_report_end(dwfl, nullptr, nullptr);
    return dwfl_addrmodule(dwfl, addr);
}

void demangled(const char *name, char *out, size_t size) {
    int status = -1;
    char *plain = name && name[0] == '_' && name[1] == 'Z' ? abi::__cxa_demangle(name, nullptr, nullptr, &status)
                                                            : nullptr;
    std::snprintf(out, size, "%s", status == 0 && plain ? plain : name);
    std::free(plain);
}

const char *exe_path() {
    static char path[512];
    if (!path[0]) {
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        path[n > 0 ? n : 0] = 0;
    }
    return path;
}

// addr is printed; lookup is the address used for the source line (a return
// address belongs to the call before it).
char *addr_sym(const void *addr, const void *lookup, char *out, size_t size) {
    out[0] = 0;
    const char *module = nullptr;
    uintptr_t module_base = 0;
    Dl_info info{};
    if (dladdr(addr, &info) && info.dli_fname) {
        module = info.dli_fname;
        module_base = reinterpret_cast<uintptr_t>(info.dli_fbase);
    } else {
        stack_logf(LOG_DBG, "GetAddrSym", "kernel32->GetModuleHandleExW addr=%p error: no module\n", addr);
    }
    // The main program's map carries only the name it was started by.
    if (module && module[0] != '/') module = exe_path();

    char symbol[ADDR_SYM_MAXN] = "";
    uintptr_t symbol_offset = 0;
    char source[ADDR_SYM_MAXN] = "";
    std::unique_lock<std::timed_mutex> session(g_session_lock, std::defer_lock);
    Dwfl *dwfl = session.try_lock_for(SESSION_WAIT) ? session_locked() : nullptr;
    if (dwfl) {
        auto where = reinterpret_cast<Dwarf_Addr>(addr);
        if (Dwfl_Module *mod = module_of(dwfl, where)) {
            GElf_Off offset = 0;
            GElf_Sym sym;
            const char *name = dwfl_module_addrinfo(mod, where, &offset, &sym, nullptr, nullptr, nullptr);
            if (name) {
                demangled(name, symbol, sizeof symbol);
                symbol_offset = offset;
            } else {
                stack_logf(LOG_VERB, "GetAddrSym", "SymFromAddr error: %s\n", dwfl_errmsg(-1));
            }
            int line = 0;
            const char *file = nullptr;
            if (Dwfl_Line *src = dwfl_module_getsrc(mod, reinterpret_cast<Dwarf_Addr>(lookup)))
                file = dwfl_lineinfo(src, nullptr, &line, nullptr, nullptr, nullptr);
            if (file)
                std::snprintf(source, sizeof source, " [%s @ %u]", file, static_cast<unsigned>(line));
            else
                stack_logf(LOG_VERB, "GetAddrSym", "SymGetLineFromAddr addr=%p error: %s\n", addr, dwfl_errmsg(-1));
            if (!module) {
                const char *mod_name = nullptr;
                Dwarf_Addr start = 0;
                mod_name = dwfl_module_info(mod, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
                module = mod_name;
                module_base = start;
            }
        }
    }
    if (!symbol[0] && info.dli_sname) {
        demangled(info.dli_sname, symbol, sizeof symbol);
        symbol_offset = reinterpret_cast<uintptr_t>(addr) - reinterpret_cast<uintptr_t>(info.dli_saddr);
    }
    if (!module) module = "";
    if (symbol[0])
        std::snprintf(out, size, "%s!%s+0x%lx%s", module, symbol, static_cast<unsigned long>(symbol_offset), source);
    else
        std::snprintf(out, size, "%s+0x%lx", module,
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(addr) - module_base));
    return out;
}

}  // namespace

char *GetAddrSym(const void *addr, char *out, size_t size) {
    if (!out || size == 0) return out;
    return addr_sym(addr, addr, out, size);
}

char *os_dump_stack(char *buf, size_t size) {
    if (!buf || size == 0) return buf;
    buf[0] = 0;
    void *frames[STACK_FRAMES_MAXN];
    int count = backtrace(frames, STACK_FRAMES_MAXN);
    if (count <= 0) {
        stack_logf(LOG_ERR, "os_dump_stack", "CaptureStackBackTrace frames=%d\n", count);
        return buf;
    }
    size_t used = 0;
    for (int i = 0; i < count && used + 1 < size; ++i) {
        char line[ADDR_SYM_MAXN];
        const void *lookup = i == 0 ? frames[i] : static_cast<char *>(frames[i]) - 1;
        addr_sym(frames[i], lookup, line, sizeof line);
        int n = std::snprintf(buf + used, size - used, "%s\n", line);
        if (n < 0) break;
        used += static_cast<size_t>(n) < size - used ? static_cast<size_t>(n) : size - used - 1;
    }
    return buf;
}

void assert_dump_stack() {
    if (log2_level_get() < LOG_ERR) return;
    char stack[ASSERT_STACK_MAXN];
    os_dump_stack(stack, sizeof stack);
    log2_printf(nullptr, LOG_ERR, "pal", __FILE__, __LINE__, "assert_dump_stack", "[%s]\n", stack);
}
