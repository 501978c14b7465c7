#include "libpal/os/os_proc.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Number after "key:" in /proc/self/status (kB values as written); -1 when absent.
int64_t status_field(const char *key) {
    std::FILE *file = std::fopen("/proc/self/status", "re");
    if (!file) return -1;
    size_t key_len = std::strlen(key);
    char line[256];
    int64_t value = -1;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, key_len) == 0 && line[key_len] == ':') {
            value = std::strtoll(line + key_len + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

int32_t count_fds() {
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int32_t count = 0;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    // The directory's own descriptor was open while counting.
    return count - 1;
}

}  // namespace

void os_proc_stats_get(os_proc_stats *stats) {
    if (!stats) return;
    int64_t rss_kb = status_field("VmRSS");
    stats->rss_bytes = rss_kb < 0 ? -1 : rss_kb * 1024;
    stats->threads = static_cast<int32_t>(status_field("Threads"));
    stats->open_fds = count_fds();
}
