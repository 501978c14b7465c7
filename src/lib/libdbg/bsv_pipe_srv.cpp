#define LOG_TAG "bsv"
#include "libdbg/bsv_pipe_srv.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_reg.h"
#include "libbsv/bsv_type.h"
#include "libbsvf/bsvf_pcap.h"
#include "libpal/memory/rbuf.h"
#include "libpal/mpcap/mpcap.h"
#include "libpal/os/os_pipe.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libsh/libsh.h"
#include "liblog/log2.h"

namespace {

constexpr size_t PIPE_NAME_MAXN = 256;

struct pipe_srv {
    bsvf_pcap *pcap = nullptr;
    bsv_reader *reader = nullptr;
    os_thread *thread = nullptr;
    char name[PIPE_NAME_MAXN] = {};
    // Publishes path (release) to "show info" on other threads; cleared before the release.
    std::atomic<bool> named{false};
    char path[PIPE_NAME_MAXN] = {};
};

pipe_srv g_srv;
std::atomic<bool> g_stop{false};
std::atomic<uint64_t> g_streams_ended{0};
// The path the exit handler removes when the process ends without app_exit
// (a one-shot action, a crit record).
char g_atexit_path[PIPE_NAME_MAXN];

void remove_fifo_at_exit() {
    if (g_atexit_path[0]) unlink(g_atexit_path);
}

bool stopping() { return g_stop.load(std::memory_order_relaxed); }

int dumper_error(bsvf_pcap *pcap) { return pcap->dumper->error.load(std::memory_order_relaxed); }

// One pcap stream: from waiting for a reader until it is lost or the server
// stops. A record whose write failed is kept in carry and goes first into
// the next stream, so a reader that leaves costs no record.
void run_stream(pipe_srv *srv, uint8_t *carry, int &carry_len) {
    uint64_t checked = os_clock_ms();
    for (;;) {
        const uint8_t *rec = nullptr;
        int len = 0;
        if (carry_len > 0) {
            rec = carry;
            len = carry_len;
        } else {
            len = bsv_read_raw_log(srv->reader, &rec);
            if (len <= 0) {
                len = 0;
                // The ring is empty: what the dumper gathered goes out now.
                if (bsvf_pcap_flush(srv->pcap) < 0) {
                    LOGV("bsvf_pcap_flush failed\n");
                    return;
                }
                // Woken by the next record at once: a busy log fills the ring
                // within milliseconds, far sooner than a fixed idle sleep ends.
                bool more = rbuf_wait_data(srv->reader->ring, static_cast<int>(BSV_PIPE_IDLE_MS));
                if (stopping()) return;
                if (more) continue;
            }
        }
        bsvf_pcap_write(srv->pcap, rec, static_cast<size_t>(len));
        if (dumper_error(srv->pcap) < 0) {
            if (len > 0 && rec != carry) std::memcpy(carry, rec, static_cast<size_t>(len));
            carry_len = len;
            LOGV("bsvf_pcap_flush failed\n");
            return;
        }
        carry_len = 0;
        uint64_t now = os_clock_ms();
        if (now - checked > BSV_PIPE_CHECK_MS) {
            checked = now;
            if (bsvf_pcap_flush(srv->pcap) < 0) {
                LOGV("bsvf_pcap_flush failed\n");
                return;
            }
        }
        if (stopping()) return;
    }
}

uint32_t bsv_pipe_thread(void *arg) {
    auto *srv = static_cast<pipe_srv *>(arg);
    LOGV("==>\n");
    uint8_t carry[BSV_LOG_TYPE_MAX_SIZE];
    int carry_len = 0;
    while (!stopping()) {
        run_stream(srv, carry, carry_len);
        bool never_served = !srv->pcap->dumper->head_sent.load(std::memory_order_relaxed);
        LOGV("bsvf_pcap_restart...\n");
        pcap_dump_restart(srv->pcap->dumper);
        if (!never_served) g_streams_ended.fetch_add(1, std::memory_order_relaxed);
        // A pipe that cannot be served at all (refused, removed) is retried
        // at the idle pace rather than in a busy loop.
        if (never_served && !stopping()) os_sleep_ms(BSV_PIPE_IDLE_MS);
    }
    LOGV("<==\n");
    return 0;
}

void release(pipe_srv *srv) {
    srv->named.store(false, std::memory_order_relaxed);
    bsvf_pcap_close(srv->pcap);
    srv->pcap = nullptr;
    bsv_close(srv->reader, 1);
    srv->reader = nullptr;
}

}  // namespace

int debug_bsv_pipe_srv_init(const char *app_name) {
    pipe_srv *srv = &g_srv;
    if (srv->thread) return 0;
    bsv_reg_log();
    LOGV("==>\n");
    std::snprintf(srv->name, sizeof srv->name, "%sqelto_%s_%u", OS_NAME_PIPE_PREFIX, app_name ? app_name : "",
                  os_thread_id());
    LOGV("pipe_name=%s\n", srv->name);
    char stale_prefix[PIPE_NAME_MAXN];
    std::snprintf(stale_prefix, sizeof stale_prefix, "qelto_%s_", app_name ? app_name : "");
    os_name_pipe_sweep(stale_prefix);
    if (!os_name_pipe_path(srv->name, srv->path, sizeof srv->path)) srv->path[0] = 0;
    srv->pcap = bsvf_pcap_create_imp(srv->name, 0, BSV_TYPE_LOG);
    if (!srv->pcap) {
        LOGE("bsvf_pcap_create [%s] failed\n", srv->name);
        return -1;
    }
    srv->reader = bsv_open_log();
    if (!srv->reader) {
        LOGD("bsv_open_log failed\n");
        release(srv);
        return -1;
    }
    static const bool exit_hook = std::atexit(remove_fifo_at_exit) == 0;
    (void)exit_hook;
    std::memcpy(g_atexit_path, srv->path, sizeof g_atexit_path);
    g_stop.store(false, std::memory_order_relaxed);
    srv->named.store(true, std::memory_order_release);
    libsh_pipe_name_getter_set(debug_bsv_pipe_name);
    srv->thread = os_thread_init("bsv_pipe_srv", bsv_pipe_thread, srv, nullptr, nullptr);
    if (!srv->thread) {
        LOG_FATAL("os_thread_init failed\n");
    }
    return 0;
}

void debug_bsv_pipe_srv_exit() {
    pipe_srv *srv = &g_srv;
    if (!srv->thread) return;
    g_stop.store(true, std::memory_order_relaxed);
    // Ends a wait for a reader, and a write to a reader that stopped reading.
    pcap_dump_stop(srv->pcap->dumper);
    uint32_t exit_code = 0;
    int result = os_thread_wait_kill_exit(srv->thread, 1000, &exit_code);
    srv->thread = nullptr;
    if (result < 0) {
        LOGE("os_thread_wait_kill_exit ret=%d error=%d\n", result, static_cast<int>(exit_code));
        // The thread still runs and uses the pipe and the reader: leave them
        // to it rather than free them under its feet; only the FIFO goes.
        srv->named.store(false, std::memory_order_relaxed);
        if (srv->path[0]) unlink(srv->path);
        return;
    }
    release(srv);
    g_atexit_path[0] = 0;
}

const char *debug_bsv_pipe_name() { return g_srv.named.load(std::memory_order_acquire) ? g_srv.path : ""; }

uint64_t debug_bsv_pipe_srv_streams_ended() { return g_streams_ended.load(std::memory_order_relaxed); }

bool debug_bsv_pipe_srv_ring(rbuf_stats *out) {
    if (!g_srv.named.load(std::memory_order_acquire) || !g_srv.reader) return false;
    return rbuf_stats_get(g_srv.reader->ring, out);
}
