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
#include <thread>

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

// libdw is loaded at run time: without it the program still runs, and its
// stacks read module+offset.
struct dw_api {
    decltype(&dwfl_begin) begin;
    decltype(&dwfl_end) end;
    decltype(&dwfl_linux_proc_find_elf) find_elf;
    decltype(&dwfl_standard_find_debuginfo) find_debuginfo;
    decltype(&dwfl_linux_proc_report) proc_report;
    decltype(&dwfl_report_begin_add) report_begin_add;
    decltype(&dwfl_report_end) report_end;
    decltype(&dwfl_addrmodule) addrmodule;
    decltype(&dwfl_module_addrinfo) module_addrinfo;
    decltype(&dwfl_module_getsrc) module_getsrc;
    decltype(&dwfl_lineinfo) lineinfo;
    decltype(&dwfl_module_info) module_info;
    decltype(&dwfl_errmsg) errmsg;
};

// The library, its entry points and one symbol session for the process.
// libdw is not safe for concurrent use of one session, hence the lock.
std::mutex g_session_lock;
void *g_dw_lib = nullptr;
bool g_dw_tried = false;  // loaded once on demand; after dbghelp_exit only dbghelp_init loads again
dw_api g_dw{};
Dwfl_Callbacks g_callbacks{};
Dwfl *g_session = nullptr;
bool g_session_failed = false;

// Polled rather than a timed lock: the thread sanitizer of this toolchain
// misses the timed lock call and then reports its unlock as a fault. The
// wait is rare (another thread is symbolising) and short.
bool lock_within(std::unique_lock<std::mutex> &lock, std::chrono::milliseconds wait) {
    auto until = std::chrono::steady_clock::now() + wait;
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

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

template <typename Fn>
bool resolve(Fn *slot, const char *name) {
    *slot = reinterpret_cast<Fn>(dlsym(g_dw_lib, name));
    return *slot != nullptr;
}

int load_locked() {
    g_dw_tried = true;
    if (g_dw_lib) return 0;
    void *lib = dlopen("libdw.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        stack_logf(LOG_VERB, "dbghelp_init", "LoadLibrary libdw.so.1 error\n");
        return -1;
    }
    g_dw_lib = lib;
    if (!resolve(&g_dw.begin, "dwfl_begin")) {
        stack_logf(LOG_DBG, "dbghelp_init", "GetProcAddress dwfl_begin failed\n");
    } else if (resolve(&g_dw.end, "dwfl_end") && resolve(&g_dw.find_elf, "dwfl_linux_proc_find_elf") &&
               resolve(&g_dw.find_debuginfo, "dwfl_standard_find_debuginfo") &&
               resolve(&g_dw.proc_report, "dwfl_linux_proc_report") &&
               resolve(&g_dw.report_begin_add, "dwfl_report_begin_add") &&
               resolve(&g_dw.report_end, "dwfl_report_end") && resolve(&g_dw.addrmodule, "dwfl_addrmodule") &&
               resolve(&g_dw.module_addrinfo, "dwfl_module_addrinfo") &&
               resolve(&g_dw.module_getsrc, "dwfl_module_getsrc") && resolve(&g_dw.lineinfo, "dwfl_lineinfo") &&
               resolve(&g_dw.module_info, "dwfl_module_info") && resolve(&g_dw.errmsg, "dwfl_errmsg")) {
        g_callbacks = Dwfl_Callbacks{g_dw.find_elf, g_dw.find_debuginfo, nullptr, nullptr};
        g_session_failed = false;
        return 0;
    } else {
        stack_logf(LOG_DBG, "dbghelp_init", "GetProcAddress dwfl entry points failed\n");
    }
    dlclose(lib);
    g_dw_lib = nullptr;
    g_dw = dw_api{};
    return -1;
}

Dwfl *session_locked() {
    if (!g_dw_tried) load_locked();
    if (g_session || g_session_failed || !g_dw_lib) return g_session;
    Dwfl *dwfl = g_dw.begin(&g_callbacks);
    if (!dwfl) {
        g_session_failed = true;
        return nullptr;
    }
    if (g_dw.proc_report(dwfl, getpid()) != 0 || g_dw.report_end(dwfl, nullptr, nullptr) != 0) {
        stack_logf(LOG_DBG, "dbghelp_init", "SymInitialize error: %s\n", g_dw.errmsg(-1));
        g_dw.end(dwfl);
        g_session_failed = true;
        return nullptr;
    }
    g_session = dwfl;
    return g_session;
}

// Libraries opened after the session was built are added on demand.
Dwfl_Module *module_of(Dwfl *dwfl, Dwarf_Addr addr) {
    Dwfl_Module *mod = g_dw.addrmodule(dwfl, addr);
    if (mod) return mod;
    g_dw.report_begin_add(dwfl);
    g_dw.proc_report(dwfl, getpid());
    g_dw.report_end(dwfl, nullptr, nullptr);
    return g_dw.addrmodule(dwfl, addr);
}

void demangled(const char *name, char *out, size_t size) {
    int status = -1;
    char *plain = name && name[0] == '_' && name[1] == 'Z' ? abi::__cxa_demangle(name, nullptr, nullptr, &status)
                                                            : nullptr;
    std::snprintf(out, size, "%s", status == 0 && plain ? plain : name);
    std::free(plain);
}

// Read once, under the guard of a static's initialisation: concurrent
// callers must not fill the buffer at the same time.
const char *exe_path() {
    static const struct exe_path_text {
        char path[512] = {};
        exe_path_text() {
            ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
            path[n > 0 ? n : 0] = 0;
        }
    } text;
    return text.path;
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
    std::unique_lock<std::mutex> session(g_session_lock, std::defer_lock);
    bool locked = lock_within(session, SESSION_WAIT);
    Dwfl *dwfl = locked ? session_locked() : nullptr;
    // A session kept by a faulted thread still leaves the exported names.
    bool symbols = !locked || g_dw_lib != nullptr;
    if (dwfl) {
        auto where = reinterpret_cast<Dwarf_Addr>(addr);
        if (Dwfl_Module *mod = module_of(dwfl, where)) {
            GElf_Off offset = 0;
            GElf_Sym sym;
            const char *name = g_dw.module_addrinfo(mod, where, &offset, &sym, nullptr, nullptr, nullptr);
            if (name) {
                demangled(name, symbol, sizeof symbol);
                symbol_offset = offset;
            } else {
                stack_logf(LOG_VERB, "GetAddrSym", "SymFromAddr error: %s\n", g_dw.errmsg(-1));
            }
            int line = 0;
            const char *file = nullptr;
            if (Dwfl_Line *src = g_dw.module_getsrc(mod, reinterpret_cast<Dwarf_Addr>(lookup)))
                file = g_dw.lineinfo(src, nullptr, &line, nullptr, nullptr, nullptr);
            if (file)
                std::snprintf(source, sizeof source, " [%s @ %u]", file, static_cast<unsigned>(line));
            else
                stack_logf(LOG_VERB, "GetAddrSym", "SymGetLineFromAddr addr=%p error: %s\n", addr, g_dw.errmsg(-1));
            if (!module) {
                const char *mod_name = nullptr;
                Dwarf_Addr start = 0;
                mod_name = g_dw.module_info(mod, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
                module = mod_name;
                module_base = start;
            }
        }
    }
    // Without the symbol library the frame is its module and offset alone.
    if (!symbol[0] && info.dli_sname && symbols) {
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

int dbghelp_init() {
    std::lock_guard<std::mutex> guard(g_session_lock);
    return load_locked();
}

void dbghelp_exit() {
    std::lock_guard<std::mutex> guard(g_session_lock);
    if (g_session) g_dw.end(g_session);
    g_session = nullptr;
    g_session_failed = false;
    if (g_dw_lib) dlclose(g_dw_lib);
    g_dw_lib = nullptr;
    g_dw = dw_api{};
}

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
