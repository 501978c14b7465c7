#define LOG_TAG "pal"
#include "libpal/env/thread_name.h"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>

#include "libpal/env/malloc.h"
#include "libpal/os/os_mutex.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

enum : int { MAP_NONE = 0, MAP_BUSY = 1, MAP_READY = 2 };

// The map never logs while its mutex is held: the log call takes the log
// mutex first and looks names up inside it.
struct name_map {
    mutex_t *lock = nullptr;
    std::map<uint32_t, char *> names;
};

std::atomic<int> g_state{MAP_NONE};
name_map *g_map = nullptr;

// Every log line asks for the caller's name. Each thread keeps its last answer
// and asks the map again only after some name in it has changed.
std::atomic<uint32_t> g_generation{1};
struct name_cache {
    uint32_t generation = 0;
    uint32_t tid = 0;  // differs in a forked child
    size_t len = 0;
    char text[OS_THREAD_NAME_MAXN];
};
thread_local name_cache t_name;

void names_changed() { g_generation.fetch_add(1, std::memory_order_relaxed); }

constexpr std::array<uint16_t, 256> make_crc16_table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}
constexpr auto CRC16 = make_crc16_table();

// Separates namesakes: a hash of the thread's start time.
uint16_t start_time_hash() {
    os_timespec now;
    os_clock_realtime(&now);
    unsigned char bytes[16];
    __builtin_memcpy(bytes, &now.sec, 8);
    __builtin_memcpy(bytes + 8, &now.nsec, 8);
    uint16_t hash = 0;
    for (unsigned char b : bytes) hash = static_cast<uint16_t>((hash >> 8) ^ CRC16[(b ^ hash) & 0xFF]);
    return hash;
}

bool map_ready() {
    if (g_state.load(std::memory_order_acquire) == MAP_NONE) os_thread_name_init();
    return g_state.load(std::memory_order_acquire) == MAP_READY;
}

}  // namespace

int os_thread_name_init() {
    int expected = MAP_NONE;
    if (!g_state.compare_exchange_strong(expected, MAP_BUSY)) return expected == MAP_READY ? 0 : -1;
    mutex_t *lock = mutex_malloc();
    if (!lock) {
        LOGE("mutex_malloc filed\n");
        return -1;
    }
    g_map = new (std::nothrow) name_map;
    if (!g_map) {
        mutex_free(lock);
        LOGE("avl_new filed\n");
        return -1;
    }
    g_map->lock = lock;
    g_state.store(MAP_READY, std::memory_order_release);
    return 0;
}

int os_thread_name_set(const char *name) {
    if (!name || !map_ready()) return -1;
    char full[65];
    std::snprintf(full, sizeof full, "%s_%04x", name, start_time_hash());
    char *copy = mem_strdup(full);
    if (!copy) return -1;
    uint32_t tid = os_thread_id();
    char *old = nullptr;
    {
        mutex_guard guard(g_map->lock);
        auto [it, inserted] = g_map->names.try_emplace(tid, copy);
        if (!inserted) {
            old = it->second;
            it->second = copy;
        }
        names_changed();
    }
    mem_free(old);
    // The main thread's kernel name is the process name that ps, pgrep,
    // killall and systemd show: it keeps the executable's name.
    if (tid == static_cast<uint32_t>(getpid())) return 0;
    char kernel_name[16];
    std::snprintf(kernel_name, sizeof kernel_name, "%s", name);
    pthread_setname_np(pthread_self(), kernel_name);
    return 0;
}

const char *os_thread_name_view(size_t *len) {
    uint32_t tid = os_thread_id();
    uint32_t generation = g_generation.load(std::memory_order_relaxed);
    name_cache &cache = t_name;
    if (cache.generation == generation && cache.tid == tid) {
        *len = cache.len;
        return cache.text;
    }
    int n = -1;
    if (map_ready()) {
        mutex_guard guard(g_map->lock);
        // Read under the lock, so that a change after this point bumps it past what is stored.
        generation = g_generation.load(std::memory_order_relaxed);
        auto it = g_map->names.find(tid);
        if (it != g_map->names.end()) {
            n = std::snprintf(cache.text, sizeof cache.text, "%s_%llu", it->second,
                              static_cast<unsigned long long>(tid));
        }
    }
    if (n < 0) n = std::snprintf(cache.text, sizeof cache.text, "%llu", static_cast<unsigned long long>(tid));
    cache.len = static_cast<size_t>(n) < sizeof cache.text ? static_cast<size_t>(n) : sizeof cache.text - 1;
    cache.generation = generation;
    cache.tid = tid;
    *len = cache.len;
    return cache.text;
}

char *os_thread_name_get(char *out) {
    size_t len;
    const char *name = os_thread_name_view(&len);
    std::memcpy(out, name, len + 1);
    return out;
}

void os_thread_name_del() {
    if (g_state.load(std::memory_order_acquire) != MAP_READY) return;
    char *old = nullptr;
    {
        mutex_guard guard(g_map->lock);
        auto it = g_map->names.find(os_thread_id());
        if (it == g_map->names.end()) return;
        old = it->second;
        g_map->names.erase(it);
        names_changed();
    }
    mem_free(old);
}

void os_thread_name_exit() {
    int expected = MAP_READY;
    if (!g_state.compare_exchange_strong(expected, MAP_BUSY)) return;
    for (auto &[tid, name] : g_map->names) mem_free(name);
    names_changed();
    mutex_free(g_map->lock);
    delete g_map;
    g_map = nullptr;
    g_state.store(MAP_NONE, std::memory_order_release);
}
