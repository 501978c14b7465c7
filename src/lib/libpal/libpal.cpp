#define LOG_TAG "pal"
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#include "libpal/env/malloc.h"
#include "libpal/env/random.h"
#include "libpal/os/os_host.h"
#include "libpal/os/os_service.h"
#include "libpal/os/os_socket.h"
#include "libpal/os/os_time.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {

std::atomic<bool> g_pl_done{false};

void set_homedoc() {
    const char *docs = std::getenv("XDG_DOCUMENTS_DIR");
    std::string path;
    if (docs && *docs) {
        path = docs;
    } else if (const char *home = std::getenv("HOME")) {
        path = std::string(home) + "/Documents";
    }
    if (!path.empty()) setenv("HOMEDOC", path.c_str(), 1);
}

}  // namespace

int pl_init() {
    if (g_pl_done.exchange(true)) return 0;
    g_app.os_name = "linux";
    g_app.os_arch = "x86_64";
    g_app.os_id = 2;
    g_app.arch_id = 1;
    g_app.host_id = os_host_id();
    if (gethostname(g_app.host_name, sizeof g_app.host_name - 1) != 0 || !g_app.host_name[0])
        std::strcpy(g_app.host_name, "none");
    g_app.boot_time = os_boot_time();
    os_timespec now;
    os_clock_realtime(&now);
    g_app.start_time = now.sec;
    g_app.start_tick = os_clock_ms();
    if (!os_socket_init_env()) LOGE("os_socket_init_env failed\n");
    mem_init();
    os_privileges_init();
    set_homedoc();
    memory_random_seed(static_cast<uint64_t>(now.sec - 1));
    std::srand(static_cast<unsigned>(now.sec));
    return 0;
}
