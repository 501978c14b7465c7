#define LOG_TAG "mish2"
#include "libsh/sh_env.h"

#include <cstring>
#include <mutex>

#include "liblog/log2.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_builder.h"

extern char **environ;

namespace {

std::mutex g_env_lock;
char **g_shell_env = nullptr;  // NULL-terminated
size_t g_env_count = 0;

// Index of the first entry that begins with name followed by '=', or -1.
long find_locked(const char *name) {
    size_t len = std::strlen(name);
    for (size_t i = 0; i < g_env_count; ++i)
        if (std::strncmp(g_shell_env[i], name, len) == 0 && g_shell_env[i][len] == '=')
            return static_cast<long>(i);
    return -1;
}

bool append_locked(char *entry) {
    auto *grown = static_cast<char **>(mem_realloc(g_shell_env, (g_env_count + 2) * sizeof(char *)));
    if (!grown) return false;
    g_shell_env = grown;
    g_shell_env[g_env_count++] = entry;
    g_shell_env[g_env_count] = nullptr;
    return true;
}

void free_locked() {
    for (size_t i = 0; i < g_env_count; ++i) mem_free(g_shell_env[i]);
    mem_free(g_shell_env);
    g_shell_env = nullptr;
    g_env_count = 0;
}

}  // namespace

int init_envv() {
    std::lock_guard<std::mutex> lock(g_env_lock);
    free_locked();
    for (char **e = environ; e && *e; ++e) {
        char *copy = mem_strdup(*e);
        if (!copy) {
            LOGE("strdup error\n");
            return -1;
        }
        if (!append_locked(copy)) {
            mem_free(copy);
            LOGE("strdup error\n");
            return -1;
        }
    }
    return 0;
}

void libsh_env_free() {
    std::lock_guard<std::mutex> lock(g_env_lock);
    free_locked();
}

int libsh_setenv(const char *name, const char *value) {
    if (!name || !value) return -1;
    char *entry = nullptr;
    if (os_asprintf(&entry, "%s=%s", name, value) < 0) return -1;
    std::lock_guard<std::mutex> lock(g_env_lock);
    long i = find_locked(name);
    if (i >= 0) {
        mem_free(g_shell_env[i]);
        g_shell_env[i] = entry;
        return 0;
    }
    if (!append_locked(entry)) {
        mem_free(entry);
        return -1;
    }
    return 0;
}

int libsh_unsetenv(const char *name) {
    if (!name) return -1;
    std::lock_guard<std::mutex> lock(g_env_lock);
    long i = find_locked(name);
    if (i < 0) return -1;
    mem_free(g_shell_env[i]);
    std::memmove(&g_shell_env[i], &g_shell_env[i + 1], (g_env_count - static_cast<size_t>(i)) * sizeof(char *));
    --g_env_count;
    return 0;
}

int libsh_getenv_copy(const char *name, char *buf, size_t size) {
    if (!name) return -1;
    std::lock_guard<std::mutex> lock(g_env_lock);
    long i = find_locked(name);
    if (i < 0) return -1;
    const char *value = g_shell_env[i] + std::strlen(name) + 1;
    if (buf && size) str_copy_trunc(buf, size, value);
    return static_cast<int>(std::strlen(value));
}

char *libsh_env_text() {
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    {
        std::lock_guard<std::mutex> lock(g_env_lock);
        for (size_t i = 0; i < g_env_count; ++i) {
            str_buf_add_str(b, g_shell_env[i]);
            str_buf_add(b, "\n", 1);
        }
    }
    return str_buf_take(b);
}
