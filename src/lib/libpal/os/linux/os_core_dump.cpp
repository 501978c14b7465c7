// The crash dump: an ELF core of the process that gdb opens beside the
// executable. It runs inside the fault handler, so it uses no heap: fixed
// process-wide buffers (one crash path at a time) and raw system calls.
#define LOG_TAG "pal"
#include <asm/prctl.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/procfs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libpal/os/linux/os_dir_walk.h"
#include "libpal/os/os_error.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_panic.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_thread_capture.h"
#include "liblog/log2.h"

namespace {

constexpr int RANGES_MAXN = 4096;
constexpr size_t PAGE = 4096;
constexpr size_t COPY_CHUNK = 64 * 1024;
// Larger readable mappings are reservations, not state worth a dump.
constexpr uintptr_t RANGE_SIZE_MAXN = uintptr_t{4} << 30;

// Register order of the core's NT_PRSTATUS (struct user_regs_struct).
enum core_reg {
    CR_R15, CR_R14, CR_R13, CR_R12, CR_RBP, CR_RBX, CR_R11, CR_R10, CR_R9, CR_R8, CR_RAX, CR_RCX, CR_RDX,
    CR_RSI, CR_RDI, CR_ORIG_RAX, CR_RIP, CR_CS, CR_EFLAGS, CR_RSP, CR_SS, CR_FS_BASE, CR_GS_BASE,
};
struct reg_pair {
    core_reg core;
    int greg;
};
constexpr reg_pair REG_MAP[] = {
    {CR_R15, REG_R15}, {CR_R14, REG_R14}, {CR_R13, REG_R13}, {CR_R12, REG_R12}, {CR_RBP, REG_RBP},
    {CR_RBX, REG_RBX}, {CR_R11, REG_R11}, {CR_R10, REG_R10}, {CR_R9, REG_R9},   {CR_R8, REG_R8},
    {CR_RAX, REG_RAX}, {CR_RCX, REG_RCX}, {CR_RDX, REG_RDX}, {CR_RSI, REG_RSI}, {CR_RDI, REG_RDI},
    {CR_RIP, REG_RIP}, {CR_EFLAGS, REG_EFL}, {CR_RSP, REG_RSP},
};

struct mem_range {
    uintptr_t start;
    uintptr_t end;
    uint32_t flags;  // PF_R | PF_W | PF_X
};

std::atomic<bool> g_dump_on{false};
std::atomic<bool> g_writing{false};  // g_tmp_path names a dump being written
char g_dump_dir[4096];
char g_app_name[64];

mem_range g_ranges[RANGES_MAXN];
int g_range_count = 0;
char g_line[8192];
char g_read[4096];
char g_copy[COPY_CHUNK];
// The process notes and one NT_PRSTATUS for each thread.
char g_notes[(OS_THREAD_CAPTURE_MAXN + 8) * 400 + 8192];
char g_aux[4096];
char g_path[4096];
char g_tmp_path[4200];
ucontext_t g_self_context;
char g_dents[16384];
// The dumps in the folder, and the oldest of them (their names sort by time).
struct dump_census {
    int count;
    char oldest[256];
};
dump_census g_census;
std::atomic<int> g_keep{OS_PANIC_DUMP_KEEP_DEFAULT};
// How long the other threads get to stop and hand over their registers.
constexpr uint32_t THREAD_CAPTURE_WAIT_MS = 1000;

void panic_logf(uint32_t flags, const char *func, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void panic_logf(uint32_t flags, const char *func, const char *fmt, ...) {
    char text[8192];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    os_panic_log(flags, func, text);
}

uintptr_t parse_hex(const char *&p) {
    uintptr_t v = 0;
    for (;; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') v = v * 16 + static_cast<uintptr_t>(c - '0');
        else if (c >= 'a' && c <= 'f') v = v * 16 + static_cast<uintptr_t>(c - 'a' + 10);
        else return v;
    }
}

const char *skip_field(const char *p) {
    while (*p && *p != ' ') ++p;
    while (*p == ' ') ++p;
    return p;
}

// One line of /proc/self/maps: "start-end perms offset dev inode path".
void take_maps_line(const char *line) {
    const char *p = line;
    uintptr_t start = parse_hex(p);
    if (*p++ != '-') return;
    uintptr_t end = parse_hex(p);
    if (*p++ != ' ' || std::strlen(p) < 4) return;
    const char *perms = p;
    p = skip_field(p);  // perms
    p = skip_field(p);  // offset
    p = skip_field(p);  // dev
    bool file_backed = *p && *p != '0';
    p = skip_field(p);  // inode
    const char *path = p;
    if (perms[0] != 'r' || end <= start || end - start > RANGE_SIZE_MAXN) return;
    if (std::strncmp(path, "[vvar", 5) == 0 || std::strncmp(path, "[vsyscall]", 10) == 0) return;
    // Program text is in the files themselves; gdb reads it from there.
    if (file_backed && perms[2] == 'x' && perms[1] != 'w') return;
    if (g_range_count == RANGES_MAXN) return;
    uint32_t flags = PF_R | (perms[1] == 'w' ? PF_W : 0) | (perms[2] == 'x' ? PF_X : 0);
    g_ranges[g_range_count++] = {start, end, flags};
}

bool read_ranges() {
    g_range_count = 0;
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t line_len = 0;
    for (;;) {
        ssize_t n = read(fd, g_read, sizeof g_read);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            char c = g_read[i];
            if (c != '\n') {
                if (line_len < sizeof g_line - 1) g_line[line_len++] = c;
                continue;
            }
            g_line[line_len] = 0;
            take_maps_line(g_line);
            line_len = 0;
        }
    }
    close(fd);
    return g_range_count > 0;
}

size_t read_small_file(const char *path, char *out, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t used = 0;
    while (used < size) {
        ssize_t n = read(fd, out + used, size - used);
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    return used;
}

size_t add_note(size_t used, uint32_t type, const void *desc, size_t desc_len) {
    size_t need = sizeof(Elf64_Nhdr) + 8 + ((desc_len + 3) & ~size_t{3});
    if (used + need > sizeof g_notes) return used;
    Elf64_Nhdr header{5, static_cast<Elf64_Word>(desc_len), type};
    std::memcpy(g_notes + used, &header, sizeof header);
    std::memcpy(g_notes + used + sizeof header, "CORE\0\0\0", 8);
    std::memcpy(g_notes + used + sizeof header + 8, desc, desc_len);
    return used + need;
}

// One thread's NT_PRSTATUS from the general registers of its ucontext.
size_t add_thread_note(size_t used, int tid, int sig, const long long *gregs, unsigned long fs_base) {
    elf_prstatus status;
    std::memset(&status, 0, sizeof status);
    status.pr_info.si_signo = sig;
    status.pr_cursig = static_cast<short>(sig);
    status.pr_pid = tid;
    status.pr_ppid = getppid();
    status.pr_pgrp = getpgrp();
    status.pr_sid = getsid(0);
    for (const reg_pair &pair : REG_MAP) status.pr_reg[pair.core] = static_cast<unsigned long long>(gregs[pair.greg]);
    status.pr_reg[CR_ORIG_RAX] = ~0ULL;
    status.pr_reg[CR_CS] = static_cast<unsigned long long>(gregs[REG_CSGSFS]) & 0xffff;
    status.pr_reg[CR_SS] = 0x2b;
    status.pr_reg[CR_FS_BASE] = fs_base;
    return add_note(used, NT_PRSTATUS, &status, sizeof status);
}

size_t build_notes(const os_exception_info *info) {
    std::memset(g_notes, 0, sizeof g_notes);
    const ucontext_t *uc = info ? static_cast<const ucontext_t *>(info->context) : nullptr;
    if (!uc) {
        getcontext(&g_self_context);
        uc = &g_self_context;
    }
    unsigned long fs_base = 0;
    syscall(SYS_arch_prctl, ARCH_GET_FS, &fs_base);
    // The faulting thread comes first: gdb takes the first one as the current thread.
    size_t used = add_thread_note(0, static_cast<int>(os_thread_id()), info ? info->signo : 0,
                                  reinterpret_cast<const long long *>(uc->uc_mcontext.gregs), fs_base);

    elf_prpsinfo ps;
    std::memset(&ps, 0, sizeof ps);
    ps.pr_sname = 'R';
    ps.pr_pid = getpid();
    ps.pr_ppid = getppid();
    ps.pr_pgrp = getpgrp();
    ps.pr_sid = getsid(0);
    ps.pr_uid = getuid();
    ps.pr_gid = getgid();
    std::memcpy(ps.pr_fname, g_app_name, strnlen(g_app_name, sizeof ps.pr_fname - 1));
    size_t args = read_small_file("/proc/self/cmdline", ps.pr_psargs, sizeof ps.pr_psargs - 1);
    for (size_t i = 0; i + 1 < args; ++i)
        if (ps.pr_psargs[i] == 0) ps.pr_psargs[i] = ' ';
    used = add_note(used, NT_PRPSINFO, &ps, sizeof ps);

    // The auxiliary vector tells gdb where the position-independent program was loaded.
    size_t aux_len = read_small_file("/proc/self/auxv", g_aux, sizeof g_aux);
    if (aux_len) used = add_note(used, NT_AUXV, g_aux, aux_len);
    for (int i = 0; const os_thread_regs *regs = os_thread_capture_get(i); ++i)
        // Every thread carries the signal, as in a core of the kernel: gdb takes it from the last note.
        used = add_thread_note(used, regs->tid, info ? info->signo : 0, regs->gregs, regs->fs_base);
    return used;
}

bool all_zero(const char *bytes, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (bytes[i]) return false;
    return true;
}

bool write_at(int fd, const void *bytes, size_t len, off_t at) {
    auto *p = static_cast<const char *>(bytes);
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, at);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// Copies one range; pages that cannot be read are left as zeros, and runs of
// zeros as holes of a sparse file.
bool copy_range(int out, int mem, const mem_range &range, off_t at) {
    for (uintptr_t addr = range.start; addr < range.end; addr += COPY_CHUNK) {
        size_t chunk = range.end - addr < COPY_CHUNK ? range.end - addr : COPY_CHUNK;
        ssize_t got = pread(mem, g_copy, chunk, static_cast<off_t>(addr));
        size_t kept = got > 0 ? static_cast<size_t>(got) : 0;
        if (kept < chunk) std::memset(g_copy + kept, 0, chunk - kept);
        if (!all_zero(g_copy, chunk) && !write_at(out, g_copy, chunk, at + static_cast<off_t>(addr - range.start)))
            return false;
    }
    return true;
}

bool write_core(int out, const os_exception_info *info) {
    if (!read_ranges()) return false;
    size_t notes_len = build_notes(info);
    size_t phnum = static_cast<size_t>(g_range_count) + 1;
    size_t notes_at = sizeof(Elf64_Ehdr) + phnum * sizeof(Elf64_Phdr);
    off_t data_at = static_cast<off_t>((notes_at + notes_len + PAGE - 1) & ~(PAGE - 1));

    Elf64_Ehdr eh;
    std::memset(&eh, 0, sizeof eh);
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_ident[EI_OSABI] = ELFOSABI_NONE;
    eh.e_type = ET_CORE;
    eh.e_machine = EM_X86_64;
    eh.e_version = EV_CURRENT;
    eh.e_phoff = sizeof(Elf64_Ehdr);
    eh.e_ehsize = sizeof(Elf64_Ehdr);
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = static_cast<Elf64_Half>(phnum);
    if (!write_at(out, &eh, sizeof eh, 0)) return false;

    Elf64_Phdr ph;
    std::memset(&ph, 0, sizeof ph);
    ph.p_type = PT_NOTE;
    ph.p_offset = notes_at;
    ph.p_filesz = notes_len;
    ph.p_align = 4;
    if (!write_at(out, &ph, sizeof ph, sizeof eh)) return false;
    off_t at = data_at;
    for (int i = 0; i < g_range_count; ++i) {
        const mem_range &range = g_ranges[i];
        std::memset(&ph, 0, sizeof ph);
        ph.p_type = PT_LOAD;
        ph.p_flags = range.flags;
        ph.p_offset = static_cast<Elf64_Off>(at);
        ph.p_vaddr = range.start;
        ph.p_filesz = ph.p_memsz = range.end - range.start;
        ph.p_align = PAGE;
        if (!write_at(out, &ph, sizeof ph, static_cast<off_t>(sizeof eh + (i + 1) * sizeof ph))) return false;
        at += static_cast<off_t>(range.end - range.start);
    }
    if (!write_at(out, g_notes, notes_len, static_cast<off_t>(notes_at))) return false;

    int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (mem < 0) return false;
    bool ok = true;
    at = data_at;
    for (int i = 0; i < g_range_count && ok; ++i) {
        ok = copy_range(out, mem, g_ranges[i], at);
        at += static_cast<off_t>(g_ranges[i].end - g_ranges[i].start);
    }
    close(mem);
    // Trailing holes still count: the file ends where the last range ends.
    return ok && ftruncate(out, at) == 0;
}

// A dump file of this program: "<app>-YYYY_MM_DD-hh_mm_ss[-<pid>].dmp".
bool is_dump_name(const char *name) {
    size_t prefix = std::strlen(g_app_name);
    size_t len = std::strlen(name);
    if (len < prefix + 1 + 19 + 4 || std::strncmp(name, g_app_name, prefix) != 0 || name[prefix] != '-') return false;
    if (std::strcmp(name + len - 4, ".dmp") != 0) return false;
    for (size_t i = 0; i < 19; ++i) {
        char c = name[prefix + 1 + i];
        bool digit = c >= '0' && c <= '9';
        if (i == 4 || i == 7 || i == 13 || i == 16 ? c != '_' : i == 10 ? c != '-' : !digit) return false;
    }
    return true;
}

bool count_dump(const char *name, void *arg) {
    auto *census = static_cast<dump_census *>(arg);
    if (!is_dump_name(name)) return true;
    ++census->count;
    size_t len = std::strlen(name);
    if (len < sizeof census->oldest && (!census->oldest[0] || std::strcmp(name, census->oldest) < 0))
        std::memcpy(census->oldest, name, len + 1);
    return true;
}

// Keeps the newest g_keep dumps and removes the rest, oldest first. No heap:
// one pass over the folder per removal.
void prune_dumps() {
    int keep = g_keep.load(std::memory_order_relaxed);
    if (keep <= 0) return;
    int dir = open(g_dump_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    for (;;) {
        g_census.count = 0;
        g_census.oldest[0] = 0;
        if (os_dir_walk(dir, g_dents, sizeof g_dents, count_dump, &g_census) < 0) break;
        if (g_census.count <= keep || !g_census.oldest[0] || unlinkat(dir, g_census.oldest, 0) != 0) break;
    }
    close(dir);
}

// Where the dump folder, or the nearest folder above it that exists, cannot
// take a file: the reason, else null.
const char *dump_dir_problem() {
    char path[sizeof g_dump_dir];
    std::snprintf(path, sizeof path, "%s", g_dump_dir);
    for (;;) {
        struct stat st {};
        if (stat(path, &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return os_strerror(ENOTDIR);
            return access(path, W_OK | X_OK) == 0 ? nullptr : os_strerror(errno);
        }
        if (errno != ENOENT) return os_strerror(errno);
        char *slash = std::strrchr(path, '/');
        if (!slash) return nullptr;  // relative and nothing of it exists: the working directory decides
        if (slash == path) {
            path[1] = 0;
        } else {
            *slash = 0;
        }
    }
}

}  // namespace

void os_panic_dump_set(const char *dir, const char *app_name) {
    g_dump_on.store(false);
    if (!dir || !dir[0]) return;
    std::snprintf(g_dump_dir, sizeof g_dump_dir, "%s", dir);
    std::snprintf(g_app_name, sizeof g_app_name, "%s", app_name ? app_name : "");
    g_dump_on.store(true);
    if (const char *problem = dump_dir_problem())
        LOGW("crash dump folder %s is not writable: %s; a crash will leave no dump\n", g_dump_dir, problem);
    prune_dumps();
}

void os_panic_dump_keep_set(int keep) { g_keep.store(keep, std::memory_order_relaxed); }

bool os_panic_dump_on() { return g_dump_on.load(); }

void CreateMiniDump(const os_exception_info *info, const char *path) {
    if (!path) return;
    // The dump is written beside its final name and renamed when whole, so a
    // failed write never leaves a cut file or spoils an older dump.
    std::snprintf(g_tmp_path, sizeof g_tmp_path, "%s.tmp", path);
    int out = open(g_tmp_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    g_writing.store(out >= 0);
    if (out < 0) {
        panic_logf(LOG_ERR, "CreateMiniDump", "crash dump not written: %s: %s\n", path, os_strerror(errno));
        return;
    }
    // The other threads stand still while their memory is copied.
    os_thread_capture_all(THREAD_CAPTURE_WAIT_MS);
    bool ok = write_core(out, info);
    int write_errno = errno;
    os_thread_capture_release();
    if (int missing = os_thread_capture_missing())
        panic_logf(LOG_WARN, "CreateMiniDump", "%d thread(s) did not stop for the dump and are not in it\n", missing);
    if (close(out) != 0) ok = false;
    bool renamed = ok && rename(g_tmp_path, path) == 0;
    g_writing.store(false);
    if (renamed) {
        panic_logf(LOG_CRIT | LOG_F_NO_EXIT, "CreateMiniDump", "MiniDump %s created\n", path);
        return;
    }
    unlink(g_tmp_path);
    panic_logf(LOG_ERR, "CreateMiniDump", "crash dump not written: %s: %s\n", path,
               os_strerror(write_errno ? write_errno : errno));
}

void os_panic_dump_abandon() {
    if (g_writing.exchange(false)) unlink(g_tmp_path);
}

void os_painc_create_mini_dump(const os_exception_info *info) {
    panic_logf(LOG_DBG, "os_painc_create_mini_dump", "==>\n");
    if (!g_dump_on.load()) return;
    if (os_mkdirs(g_dump_dir) != 0)
        panic_logf(LOG_DBG, "os_painc_create_mini_dump", "os_mkdirs %s error:%s\n", g_dump_dir, os_strerror(errno));
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    // The pid keeps apart two processes that crash in the same second.
    int len = std::snprintf(g_path, sizeof g_path, "%s/%s-%04d_%02d_%02d-%02d_%02d_%02d-%d.dmp", g_dump_dir,
                            g_app_name, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                            local.tm_min, local.tm_sec, static_cast<int>(getpid()));
    if (len < 0 || static_cast<size_t>(len) >= sizeof g_path) {
        panic_logf(LOG_ERR, "os_painc_create_mini_dump", "crash dump not written: %s: path too long\n", g_path);
        return;
    }
    CreateMiniDump(info, g_path);
    prune_dumps();
}
