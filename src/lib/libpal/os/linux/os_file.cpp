#include "libpal/os/os_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/env/malloc.h"

int os_is_file(const char *path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return 0;
    if (S_ISREG(st.st_mode)) return 1;
    if (S_ISDIR(st.st_mode)) return 2;
    return 0;
}

int os_mkdirs(const char *path) {
    if (!path || !*path) return -1;
    char buf[4096];
    if (std::snprintf(buf, sizeof buf, "%s", path) >= static_cast<int>(sizeof buf)) return -1;
    for (char *p = buf + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = 0;
        if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
        *p = '/';
    }
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
    return os_is_file(buf) == 2 ? 0 : -1;
}

int os_chdir(const char *path) { return path && chdir(path) == 0 ? 0 : -1; }

char *os_getcwd(char *out, size_t size) { return out && size ? getcwd(out, size) : nullptr; }

char *os_exe_dir(char *out, size_t size) {
    if (!out || size == 0) return out;
    out[0] = 0;
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return out;
    buf[n] = 0;
    char *slash = std::strrchr(buf, '/');
    if (slash) *slash = 0;
    std::snprintf(out, size, "%s", slash == buf ? "/" : buf);
    return out;
}

bool os_path_is_absolute(const char *path) {
    if (!path || !*path) return false;
    return path[0] == '/' || path[0] == '~' || std::strstr(path, "://") != nullptr;
}

char *os_file_read_all(const char *path, size_t *len_out) {
    if (len_out) *len_out = 0;
    if (os_is_file(path) != 1) return nullptr;
    FILE *f = std::fopen(path, "rb");
    if (!f) return nullptr;
    size_t cap = 4096, len = 0;
    auto *data = static_cast<char *>(mem_malloc(cap));
    while (data) {
        if (len + 1 >= cap) {
            auto *bigger = static_cast<char *>(mem_realloc(data, cap * 2));
            if (!bigger) {
                mem_free(data);
                data = nullptr;
                break;
            }
            data = bigger;
            cap *= 2;
        }
        size_t got = std::fread(data + len, 1, cap - len - 1, f);
        if (got == 0) break;
        len += got;
    }
    std::fclose(f);
    if (!data) return nullptr;
    data[len] = 0;
    if (len_out) *len_out = len;
    return data;
}
