#include "libpal/os/os_host.h"

#include <dirent.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// First line of a file that starts with key, value part trimmed of quotes.
std::string file_value(const char *path, const char *key, char sep) {
    FILE *f = std::fopen(path, "r");
    if (!f) return {};
    char line[1024];
    std::string value;
    size_t key_len = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, key_len) != 0) continue;
        const char *p = std::strchr(line + key_len, sep);
        if (!p) continue;
        ++p;
        while (*p == ' ' || *p == '\t' || *p == '"') ++p;
        value = p;
        while (!value.empty() && (value.back() == '\n' || value.back() == '"' || value.back() == ' '))
            value.pop_back();
        break;
    }
    std::fclose(f);
    return value;
}

bool is_pci_interface(const char *name) {
    char path[512], target[512];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/device/subsystem", name);
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = 0;
    const char *base = std::strrchr(target, '/');
    return base && std::strcmp(base + 1, "pci") == 0;
}

uint64_t mac_to_number(const unsigned char *mac) {
    uint64_t v = 0;
    for (int i = 5; i >= 0; --i) v = (v << 8) | mac[i];
    return v;
}

uint64_t interface_address(const char *name) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    uint64_t result = 0;
    alignas(ethtool_perm_addr) unsigned char buf[sizeof(ethtool_perm_addr) + 32] = {};
    auto *perm = reinterpret_cast<ethtool_perm_addr *>(buf);
    perm->cmd = ETHTOOL_GPERMADDR;
    perm->size = 32;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name);
    ifr.ifr_data = reinterpret_cast<char *>(perm);
    if (ioctl(fd, SIOCETHTOOL, &ifr) == 0 && perm->size == 6) result = mac_to_number(perm->data);
    if (result == 0) {
        ifreq cur{};
        std::snprintf(cur.ifr_name, sizeof cur.ifr_name, "%s", name);
        if (ioctl(fd, SIOCGIFHWADDR, &cur) == 0)
            result = mac_to_number(reinterpret_cast<unsigned char *>(cur.ifr_hwaddr.sa_data));
    }
    close(fd);
    return result;
}

}  // namespace

uint64_t os_host_id() {
    DIR *dir = opendir("/sys/class/net");
    if (!dir) return 0;
    std::string first;
    // Directory order is arbitrary; the smallest PCI name keeps the id stable.
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.' || !is_pci_interface(e->d_name)) continue;
        if (first.empty() || first > e->d_name) first = e->d_name;
    }
    closedir(dir);
    return first.empty() ? 0 : interface_address(first.c_str());
}

int64_t os_boot_time() { return std::atoll(file_value("/proc/stat", "btime", ' ').c_str()); }

int os_is_root() { return geteuid() == 0 ? 1 : 0; }

bool os_debugger_attached() { return std::atoi(file_value("/proc/self/status", "TracerPid", ':').c_str()) != 0; }

char *os_info_desc(char *out, size_t size) {
    std::string pretty = file_value("/etc/os-release", "PRETTY_NAME", '=');
    if (pretty.empty()) pretty = "Linux";
    utsname u{};
    uname(&u);
    int major = 0, minor = 0;
    std::sscanf(u.release, "%d.%d", &major, &minor);
    std::snprintf(out, size, "%s [%d.%d Build %s]", pretty.c_str(), major, minor, u.release);
    return out;
}

char *os_hw_info(char *out, size_t size) {
    std::string model = file_value("/proc/cpuinfo", "model name", ':');
    if (model.empty()) model = "unknown";
    double gib = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
                 (1024.0 * 1024.0 * 1024.0);
    std::snprintf(out, size, "%s|%.1fG|%llx", model.c_str(), gib,
                  static_cast<unsigned long long>(os_host_id()));
    return out;
}
