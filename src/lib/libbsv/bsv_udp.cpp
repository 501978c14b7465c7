// The UDP collector sink. Records are packed and sent on the logging thread,
// outside the log lock; the socket is opened once by the thread "bsvnet" so
// that a slow name lookup never holds a log call.
#define LOG_TAG "bsv"
#include "libbsv/bsv_udp.h"

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_type.h"
#include "libbsv/bsv_udp_packet.h"
#include "libpal/os/os_socket.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_url.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_sink_syslog.h"

namespace {

struct bsv_udp_sink {
    // Guards the settings, the opener handle and the pending packet.
    std::mutex lock;
    char url[BSV_UDP_URL_MAXN] = {};
    char host[BSV_UDP_URL_MAXN] = {};
    int port = BSV_UDP_DEFAULT_PORT;
    os_thread *opener = nullptr;
    bool pending = false;
    int pending_level = 0;
    size_t pending_len = 0;
    uint8_t pending_data[BSV_UDP_PENDING_MAXN] = {};
    // Senders share it while they send; a close waits for them, so that a
    // send never reaches a descriptor number that was closed and reused.
    std::shared_mutex sock_lock;
    std::atomic<os_socket> sock{OS_SOCKET_NONE};
    std::atomic<bool> opening{false};
    std::atomic<bool> scramble{false};
    // Tells an opener that outlived its sink's close to keep nothing.
    std::atomic<uint32_t> generation{0};
    std::atomic<uint64_t> lost{0};
};

bsv_udp_sink g_sink;

void note_packet(bool lost) {
    if (lost) g_sink.lost.fetch_add(1, std::memory_order_relaxed);
    log2_sink_count(LOG2_SINK_COLLECTOR, lost);
}

// "1.0.0.0" packed one byte per part, major in the top byte.
uint32_t version_number() {
    if (g_app.ver_num) return g_app.ver_num;
    unsigned parts[4] = {};
    if (g_app.app_ver) std::sscanf(g_app.app_ver, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    return (parts[0] & 0xFF) << 24 | (parts[1] & 0xFF) << 16 | (parts[2] & 0xFF) << 8 | (parts[3] & 0xFF);
}

void send_record(uint32_t flags, const uint8_t *rec, size_t len) {
    bsv_udp_header head{};
    head.sid = g_app.host_id;
    head.bid = static_cast<uint64_t>(g_app.boot_time);
    head.stime = static_cast<uint64_t>(g_app.start_time);
    head.ver_id = version_number();
    // The id table of known applications does not hold this one.
    head.app_id = 0;
    head.os_id = g_app.os_id;
    head.arch_id = g_app.arch_id;
    head.type_id = BSV_TYPE_LOG;
    head.hostname = g_app.host_name[0] ? g_app.host_name : "none";
    uint8_t packet[BSV_UDP_PACKET_MAXN];
    size_t packet_len = bsv_udp_packet_build(packet, &head, rec, len, g_sink.scramble.load(std::memory_order_relaxed));
    if (packet_len == 0) {
        note_packet(true);
        return;
    }
    log_bsv_udp_send(static_cast<int>(flags & LOG_F_LEVEL_MASK), packet, packet_len);
}

uint32_t net_open_thread(void *arg) {
    auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    char host[BSV_UDP_URL_MAXN];
    int port;
    {
        std::lock_guard<std::mutex> guard(g_sink.lock);
        std::memcpy(host, g_sink.host, sizeof host);
        port = g_sink.port;
    }
    os_socket sock = os_udp_open(host, static_cast<uint16_t>(port));
    if (sock == OS_SOCKET_NONE) LOGD("os_udp_open %s:%d failed\n", host, port);
    std::lock_guard<std::mutex> guard(g_sink.lock);
    if (g_sink.generation.load(std::memory_order_relaxed) != generation) {
        if (sock != OS_SOCKET_NONE) os_socket_exit(sock);
        return 0;
    }
    {
        std::unique_lock<std::shared_mutex> sock_guard(g_sink.sock_lock);
        g_sink.sock.store(sock, std::memory_order_release);
    }
    if (g_sink.pending)
        note_packet(sock == OS_SOCKET_NONE ||
                    os_socket_send(sock, g_sink.pending_data, g_sink.pending_len) != static_cast<int>(g_sink.pending_len));
    g_sink.pending = false;
    g_sink.opening.store(false, std::memory_order_release);
    return 0;
}

// Caller holds the lock.
void close_locked() {
    g_sink.generation.fetch_add(1, std::memory_order_relaxed);
    g_sink.opening.store(false, std::memory_order_release);
    g_sink.pending = false;
    std::unique_lock<std::shared_mutex> sock_guard(g_sink.sock_lock);
    os_socket sock = g_sink.sock.exchange(OS_SOCKET_NONE, std::memory_order_acq_rel);
    if (sock != OS_SOCKET_NONE) os_socket_exit(sock);
}

void wait_opener(os_thread *opener) {
    // A lookup that takes longer leaves the opener detached; its generation
    // is stale by then, so it closes what it opened.
    if (opener) os_thread_wait_kill_exit(opener, 0, nullptr);
}

const log2_net_ops BSV_UDP_OPS = {log_bsv_udp_open, log_bsv_udp_close, log_bsv_udp_url, nullptr};

}  // namespace

int log_bsv_udp_open(const char *url) {
    os_thread *old_opener = nullptr;
    char host[BSV_UDP_URL_MAXN];
    char err[256];
    int port = 0, protocol = 0;
    bool parsed = log_net_url_check(url, true, host, sizeof host, &port, &protocol, err, sizeof err) == 0;
    if (parsed) {
        std::lock_guard<std::mutex> guard(g_sink.lock);
        bsv_log_set_net_sink(nullptr);
        close_locked();
        old_opener = g_sink.opener;
        g_sink.opener = nullptr;
        g_sink.port = port ? port : BSV_UDP_DEFAULT_PORT;
        std::snprintf(g_sink.host, sizeof g_sink.host, "%s", host);
        g_sink.scramble.store(url && strncasecmp(url, "udps:", 5) == 0, std::memory_order_relaxed);
        std::snprintf(g_sink.url, sizeof g_sink.url, "%s", url);
    }
    if (!parsed) {
        std::fprintf(stderr, "error: bsvlog URL [%s]: %s\n", url ? url : "", err);
        LOGD("url_parser%s failed\n", url ? url : "");
        return -1;
    }
    wait_opener(old_opener);
    std::lock_guard<std::mutex> guard(g_sink.lock);
    g_sink.opening.store(true, std::memory_order_release);
    // Host name (with its NUL) and record stay below the body limit.
    size_t name_len = std::strlen(g_app.host_name[0] ? g_app.host_name : "none") + 1;
    bsv_log_set_net_room(name_len < BSV_UDP_BODY_MAXN ? BSV_UDP_BODY_MAXN - 1 - name_len : 0);
    bsv_log_set_net_sink(send_record);
    uint32_t generation = g_sink.generation.load(std::memory_order_relaxed);
    g_sink.opener = os_thread_init("bsvnet", net_open_thread, reinterpret_cast<void *>(uintptr_t{generation}),
                                   nullptr, nullptr);
    if (!g_sink.opener) g_sink.opening.store(false, std::memory_order_release);
    return 0;
}

void log_bsv_udp_close() {
    bsv_log_set_net_sink(nullptr);
    os_thread *opener;
    {
        std::lock_guard<std::mutex> guard(g_sink.lock);
        close_locked();
        opener = g_sink.opener;
        g_sink.opener = nullptr;
        g_sink.url[0] = 0;
    }
    wait_opener(opener);
}

const char *log_bsv_udp_url() { return g_sink.url; }

uint64_t log_bsv_udp_lost() { return g_sink.lost.load(std::memory_order_relaxed); }

bool log_bsv_udp_opening() { return g_sink.opening.load(std::memory_order_acquire); }

void log_bsv_udp_send(int level, const uint8_t *packet, size_t len) {
    if (!packet || len == 0) return;
    if (g_sink.opening.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(g_sink.lock);
        if (g_sink.opening.load(std::memory_order_relaxed)) {
            if (g_sink.pending || len > sizeof g_sink.pending_data) {
                note_packet(true);
                return;
            }
            std::memcpy(g_sink.pending_data, packet, len);
            g_sink.pending_len = len;
            g_sink.pending_level = level;
            g_sink.pending = true;
            return;
        }
    }
    std::shared_lock<std::shared_mutex> sock_guard(g_sink.sock_lock);
    os_socket sock = g_sink.sock.load(std::memory_order_acquire);
    note_packet(sock == OS_SOCKET_NONE || os_socket_send(sock, packet, len) != static_cast<int>(len));
}

void bsv_udp_attach() { log2_attach_bsvlog(&BSV_UDP_OPS); }
