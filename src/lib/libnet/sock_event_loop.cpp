// Start, stop and thread of the socket event loop, and the gate that lets
// other threads change the poller between two passes of the loop.
#define LOG_TAG "net"
#include "libnet/sock_event_loop.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "libnet/sock_event.h"
#include "libnet/sock_event_loop_imp.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_service.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {

constexpr int LOOP_WAIT_MS = 1000;
// Pause after a failed wait, so that a persistent error cannot spin the loop.
constexpr uint32_t WAIT_ERROR_PAUSE_MS = 10;

struct sock_env_state {
    std::atomic<os_poller *> poller{nullptr};
    std::atomic<lbuf *> events{nullptr};
    os_thread *thread = nullptr;  // touched only by init/stop callers
    bool thread_stuck = false;    // a loop thread outlived its stop and may still run
    std::atomic<uint32_t> loop_tid{0};
    std::atomic<int32_t> stop{0};
    std::atomic<uint64_t> passes{0};
    std::atomic<uint32_t> first_data_ms{0};
    std::atomic<uint32_t> idle_ms{0};
    std::atomic<sock_periodic_proc> periodic{nullptr};
    std::atomic<void *> periodic_arg{nullptr};
    std::atomic<os_socket> spare{OS_SOCKET_NONE};

    // Gate: the loop runs a pass only while no other thread holds it.
    std::mutex gate_mutex;
    std::condition_variable gate_cv;
    int gate_waiting = 0;
    bool in_pass = false;
};

sock_env_state g_env;
thread_local int t_gate_depth = 0;

void pass_begin() {
    std::unique_lock lock(g_env.gate_mutex);
    g_env.gate_cv.wait(lock, [] { return g_env.gate_waiting == 0; });
    g_env.in_pass = true;
}

void pass_end() {
    {
        std::lock_guard lock(g_env.gate_mutex);
        g_env.in_pass = false;
    }
    g_env.gate_cv.notify_all();
}

// How long the next wait may sleep. A loop with idle connections must not
// wake at all: it wakes for the periodic hook (about once a second), for a
// watchdog ping (before it comes late) and for the sweep's next time-out,
// and otherwise only when something arrives. Other threads that change the
// loop's state wake it with the wake byte.
int loop_wait_ms(bool hook, uint32_t first_ms, uint32_t idle_ms) {
    int64_t wait = hook ? LOOP_WAIT_MS : -1;
    auto at_most = [&wait](int64_t ms) {
        if (ms >= 0 && (wait < 0 || ms < wait)) wait = ms;
    };
    const uint32_t ping_ms = os_service_watchdog_ping_ms();
    if (ping_ms) at_most(ping_ms / 2);
    if (first_ms || idle_ms) at_most(sock_events_sweep_due_ms(first_ms, idle_ms));
    return wait > INT32_MAX ? INT32_MAX : static_cast<int>(wait);
}

uint32_t sock_events_thread(void *) {
    LOGD("==>\n");
    g_env.loop_tid.store(os_thread_id(), std::memory_order_relaxed);
    for (;;) {
        pass_begin();
        os_poller *poller = g_env.poller.load(std::memory_order_acquire);
        int result;
        if (!poller) {
            PAL_ASSERT_REPORT("poller && poller->wait && func");
            result = -1;
        } else {
            const bool hook_set = g_env.periodic.load(std::memory_order_acquire) != nullptr;
            result = os_poller_wait(poller, sock_events_callback,
                                    loop_wait_ms(hook_set, g_env.first_data_ms.load(std::memory_order_relaxed),
                                                 g_env.idle_ms.load(std::memory_order_relaxed)));
        }
        if (g_env.stop.load(std::memory_order_relaxed)) {
            pass_end();
            break;
        }
        if (result < 0) LOGE_OS("os_poller_wait error: ");
        uint32_t first_ms = g_env.first_data_ms.load(std::memory_order_relaxed);
        uint32_t idle_ms = g_env.idle_ms.load(std::memory_order_relaxed);
        if (first_ms || idle_ms) sock_events_sweep(first_ms, idle_ms);
        sock_periodic_proc hook = g_env.periodic.load(std::memory_order_acquire);
        if (hook) hook(g_env.periodic_arg.load(std::memory_order_relaxed));
        // A loop that stops passing here stops the pings, and systemd restarts the service.
        os_service_watchdog_ping();
        g_env.passes.fetch_add(1, std::memory_order_relaxed);
        pass_end();
        if (result < 0) os_sleep_ms(WAIT_ERROR_PAUSE_MS);
    }
    g_env.loop_tid.store(0, std::memory_order_relaxed);
    LOGD("<==\n");
    return 0;
}

}  // namespace

sock_loop_gate::sock_loop_gate() : held_(false) {
    if (sock_env_on_loop_thread() || t_gate_depth > 0) {
        ++t_gate_depth;
        return;
    }
    std::unique_lock lock(g_env.gate_mutex);
    ++g_env.gate_waiting;
    if (g_env.in_pass) {
        // The wake byte ends the loop's current wait, so the pass finishes soon.
        os_poller *poller = g_env.poller.load(std::memory_order_acquire);
        if (poller) os_poller_spak(poller);
        g_env.gate_cv.wait(lock, [] { return !g_env.in_pass; });
    }
    // The mutex stays held until the guard ends: one changer at a time.
    lock.release();
    held_ = true;
    ++t_gate_depth;
}

sock_loop_gate::~sock_loop_gate() {
    --t_gate_depth;
    if (!held_) return;
    --g_env.gate_waiting;
    g_env.gate_mutex.unlock();
    g_env.gate_cv.notify_all();
}

uint64_t sock_env_pass_count() { return g_env.passes.load(std::memory_order_relaxed); }

lbuf *sock_env_events() { return g_env.events.load(std::memory_order_acquire); }

void sock_env_spare(bool hold) {
    if (!hold) {
        os_socket spare = g_env.spare.exchange(OS_SOCKET_NONE);
        if (spare != OS_SOCKET_NONE) os_socket_exit(spare);
        return;
    }
    if (g_env.spare.load() != OS_SOCKET_NONE) return;
    os_socket spare = os_socket_init(OS_SOCKET_UDP, OS_IPADDR_FAMILY_IPV4);
    os_socket none = OS_SOCKET_NONE;
    if (spare != OS_SOCKET_NONE && !g_env.spare.compare_exchange_strong(none, spare))
        os_socket_exit(spare);
}

bool sock_env_on_loop_thread() {
    uint32_t tid = g_env.loop_tid.load(std::memory_order_relaxed);
    return tid != 0 && tid == os_thread_id();
}

int sock_env_init() {
    if (g_env.thread) return 0;
    if (g_env.thread_stuck) {
        LOGE("sock_listen thread still running\n");
        return -1;
    }
    if (!g_env.poller.load()) {
        os_poller *poller = os_poller_init();
        if (!poller) {
            LOG_FATAL("os_poller_init failed\n");
        }
        os_poller_attach(poller);
        g_env.poller.store(poller, std::memory_order_release);
    }
    // The list exists before the thread that sweeps it.
    if (!g_env.events.load()) {
        lbuf *events = lbuf_init("events", nullptr, nullptr, nullptr, sizeof(sock_event_ctx));
        if (!events) {
            LOG_FATAL("lbuf_init failed\n");
        }
        g_env.events.store(events, std::memory_order_release);
    }
    sock_env_spare(true);
    g_env.stop.store(0, std::memory_order_relaxed);
    g_env.thread = os_thread_init("sock_listen", sock_events_thread, nullptr, nullptr, nullptr);
    if (!g_env.thread) {
        LOG_FATAL("os_thread_init failed\n");
    }
    return 0;
}

int sock_env_stop() {
    LOGD("==>\n");
    if (!g_env.thread) return 0;
    g_env.stop.store(1, std::memory_order_relaxed);
    os_poller *poller = g_env.poller.load(std::memory_order_acquire);
    if (poller) os_poller_kill(poller);
    uint32_t exit_code = 0;
    int r = os_thread_wait_kill_exit(g_env.thread, 0, &exit_code);
    if (r < 0) LOGE("os_thread_wait_kill_exit ret=%d error=%d\n", r, static_cast<int>(exit_code));
    if (r == -2) g_env.thread_stuck = true;
    g_env.thread = nullptr;
    return 0;
}

int sock_env_exit() {
    LOGD("==>\n");
    sock_env_stop();
    // A loop thread that could not be ended still uses poller and list: keep them.
    if (g_env.thread_stuck) return 0;
    // Connections still registered are closed here rather than left open.
    lbuf *events = g_env.events.load(std::memory_order_acquire);
    if (events) {
        sock_loop_gate gate;
        lbuf_lock(events);
        for (void *item = lbuf_first(events); item;) {
            void *next = lbuf_next(events, item);
            sock_event_close_reason(static_cast<sock_event_ctx *>(item), SOCK_EVENT_CLOSED_STOP);
            item = next;
        }
        lbuf_unlock(events);
    }
    sock_env_spare(false);
    os_poller *poller = g_env.poller.exchange(nullptr);
    if (poller) os_poller_exit(poller);
    events = g_env.events.exchange(nullptr);
    if (events) lbuf_exit(events);
    return 0;
}

os_poller *sock_env_poller() { return g_env.poller.load(std::memory_order_acquire); }

namespace {

// A sleeping loop computed its wait from the old settings: wake it.
void wake_loop() {
    os_poller *poller = g_env.poller.load(std::memory_order_acquire);
    if (poller && g_env.loop_tid.load(std::memory_order_relaxed) != 0 && !sock_env_on_loop_thread())
        os_poller_spak(poller);
}

}  // namespace

void sock_env_first_data_timeout_set(uint32_t first_ms) {
    g_env.first_data_ms.store(first_ms, std::memory_order_relaxed);
    wake_loop();
}

void sock_env_idle_timeout_set(uint32_t idle_ms) {
    g_env.idle_ms.store(idle_ms, std::memory_order_relaxed);
    wake_loop();
}

void sock_env_periodic_set(sock_periodic_proc proc, void *arg) {
    g_env.periodic_arg.store(arg, std::memory_order_relaxed);
    g_env.periodic.store(proc, std::memory_order_release);
    wake_loop();
}

bool sock_poller_insert(os_socket sock, uint32_t flags, void *user) {
    sock_loop_gate gate;
    os_poller *poller = sock_env_poller();
    if (!poller) return false;
    os_poller_object object = os_poller_socket_object(sock);
    return os_poller_insert(poller, &object, flags, user);
}

bool sock_poller_remove(os_socket sock) {
    sock_loop_gate gate;
    os_poller *poller = sock_env_poller();
    if (!poller) return false;
    os_poller_object object = os_poller_socket_object(sock);
    return os_poller_remove(poller, &object);
}
