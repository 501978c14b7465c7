#include "libpal/os/linux/os_dir_walk.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace {

// struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
constexpr size_t RECLEN_AT = 16;
constexpr size_t NAME_AT = 19;

}  // namespace

int os_dir_walk(int dir, char *buf, size_t buf_size, os_dir_visit_fn visit, void *arg) {
    if (dir < 0 || !buf || !visit || lseek(dir, 0, SEEK_SET) != 0) return -1;
    int visited = 0;
    for (;;) {
        long got = syscall(SYS_getdents64, dir, buf, buf_size);
        if (got < 0) return -1;
        if (got == 0) return visited;
        for (long at = 0; at + static_cast<long>(NAME_AT) < got;) {
            unsigned short reclen;
            std::memcpy(&reclen, buf + at + RECLEN_AT, sizeof reclen);
            if (reclen <= NAME_AT) return visited;  // the kernel never gives one; a loop would never end
            const char *name = buf + at + NAME_AT;
            at += reclen;
            ++visited;
            if (!visit(name, arg)) return visited;
        }
    }
}
