// Event contexts of accepted connections, the loop's dispatch, its
// first-data and idle sweep, and the count of connections refused for want
// of room.
#define LOG_TAG "net"
#include "libnet/sock_event.h"

#include <atomic>

#include "libnet/sock_event_loop.h"
#include "libnet/sock_event_loop_imp.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

// A refusal that repeats is said again at most once a minute, with the count.
constexpr uint64_t REFUSED_WARN_EVERY_MS = 60000;
std::atomic<uint64_t> g_refused{0};
// Per kind of refusal, so that one kind does not hide the other; 0: never warned.
std::atomic<uint64_t> g_refused_warned_ms[SOCK_REFUSED_KINDS]{};
const char *const kRefusedWhy[SOCK_REFUSED_KINDS] = {"the poller is full", "no descriptor left"};

// Closes now, or once the context's running procedure has returned.
int close_ctx(sock_event_ctx *ectx, int reason) {
    PAL_ASSERT_RET(ectx, -1);
    PAL_ASSERT_RET(ectx->type == SOCKET_TYPE_EVENT, -1);
    sock_loop_gate gate;
    if (ectx->closing) return 0;
    if (ectx->busy) {
        if (!ectx->close_pending) ectx->close_reason = reason;
        ectx->close_pending = 1;
        return 0;
    }
    ectx->closing = 1;
    sock_poller_remove(ectx->sock);
    if (ectx->procs.closed) ectx->procs.closed(ectx, ectx->host, reason);
    os_socket_exit(ectx->sock);
    ectx->type = 0;
    lbuf_free(sock_env_events(), ectx);
    return 0;
}

void dispatch_event(sock_event_ctx *ectx, uint32_t events) {
    ectx->first_data = 0;
    ectx->last_ms = os_clock_ms();
    ectx->busy = 1;
    int r;
    if (ectx->procs.readable) {
        r = 0;
        if (events & (OS_POLLER_READ | OS_POLLER_ERROR)) r = ectx->procs.readable(ectx, events, ectx->host);
        if (r >= 0 && !ectx->close_pending && (events & OS_POLLER_WRITE) &&
            (ectx->interest & OS_POLLER_WRITE) && ectx->procs.writable)
            r = ectx->procs.writable(ectx, ectx->host);
    } else {
        r = ectx->proc ? ectx->proc(ectx->sock, events, ectx->user) : -1;
    }
    ectx->busy = 0;
    // A close asked for inside the procedure came first and names the reason.
    if (ectx->close_pending) {
        close_ctx(ectx, ectx->close_reason);
    } else if (r < 0) {
        close_ctx(ectx, SOCK_EVENT_CLOSED_PROC);
    }
}

// Allocates, fills and registers a context; null (socket closed) on failure.
sock_event_ctx *open_ctx(os_socket sock, sock_event_proc proc, uint64_t user,
                         const sock_event_procs *procs, void *host, uint32_t flags) {
    // Allocation, filling and registration happen with the loop between passes,
    // so the sweep never meets a half-filled context.
    sock_loop_gate gate;
    lbuf *events = sock_env_events();
    os_poller *poller = sock_env_poller();
    auto *ectx = events ? static_cast<sock_event_ctx *>(lbuf_malloc(events, sizeof(sock_event_ctx), true))
                        : nullptr;
    if (!ectx || !poller) {
        os_socket_exit(sock);
        if (ectx) lbuf_free(events, ectx);
        return nullptr;
    }
    ectx->type = SOCKET_TYPE_EVENT;
    ectx->proc = proc;
    ectx->user = user;
    ectx->sock = sock;
    ectx->last_ms = os_clock_ms();
    ectx->first_data = 1;
    if (procs) ectx->procs = *procs;
    ectx->host = host;
    ectx->interest = OS_POLLER_READ;
    if ((flags & SOCK_EVENT_EDGE) && os_poller_support(poller)) ectx->interest |= OS_POLLER_EDGE;
    if (!sock_poller_insert(sock, ectx->interest, ectx)) {
        sock_event_refused_note(SOCK_REFUSED_POLLER_FULL);
        os_socket_exit(sock);
        ectx->type = 0;
        lbuf_free(events, ectx);
        return nullptr;
    }
    os_poller_spak(poller);
    return ectx;
}

}  // namespace

void sock_event_refused_note(int kind) {
    PAL_ASSERT_RET(kind >= 0 && kind < SOCK_REFUSED_KINDS, );
    const uint64_t total = g_refused.fetch_add(1, std::memory_order_relaxed) + 1;
    const uint64_t now = os_clock_ms() | 1;  // never 0, which means "never warned"
    std::atomic<uint64_t> &warned = g_refused_warned_ms[kind];
    uint64_t last = warned.load(std::memory_order_relaxed);
    if (last != 0 && now - last < REFUSED_WARN_EVERY_MS) return;
    if (!warned.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
    const char *why = kRefusedWhy[kind];
    os_poller *poller = sock_env_poller();
    LOGW("connection refused: %s (%zu objects on the %s poller); %llu refused so far\n", why,
         poller ? os_poller_count(poller) : size_t{0}, os_poller_backend_name(poller),
         static_cast<unsigned long long>(total));
}

uint64_t sock_event_refused_count() { return g_refused.load(std::memory_order_relaxed); }

sock_event_ctx *sock_event_open(os_socket sock, const sock_event_procs *procs, void *host,
                                uint32_t flags) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, nullptr);
    if (!procs || !procs->readable) {
        PAL_ASSERT_REPORT("procs && procs->readable");
        os_socket_exit(sock);
        return nullptr;
    }
    return open_ctx(sock, nullptr, 0, procs, host, flags);
}

int sock_event_write_interest(sock_event_ctx *ctx, bool on) {
    PAL_ASSERT_RET(ctx && ctx->type == SOCKET_TYPE_EVENT, -1);
    sock_loop_gate gate;
    if (ctx->closing) return -1;
    const uint32_t interest = on ? (ctx->interest | OS_POLLER_WRITE) : (ctx->interest & ~OS_POLLER_WRITE);
    if (interest == ctx->interest) return 0;
    os_poller *poller = sock_env_poller();
    const os_poller_object object = os_poller_socket_object(ctx->sock);
    if (!poller || !os_poller_modify(poller, &object, interest, ctx)) return -1;
    ctx->interest = interest;
    // Off the loop thread the running wait must learn the new interest.
    if (!sock_env_on_loop_thread()) os_poller_spak(poller);
    return 0;
}

int sock_event_close(sock_event_ctx *ctx) { return close_ctx(ctx, SOCK_EVENT_CLOSED_HOST); }

int sock_event_recv(sock_event_ctx *ctx, void *data, size_t len) {
    PAL_ASSERT_RET(ctx && ctx->type == SOCKET_TYPE_EVENT, -1);
    return os_socket_recv_ex(ctx->sock, data, len);
}

os_socket sock_event_socket(const sock_event_ctx *ctx) { return ctx ? ctx->sock : OS_SOCKET_NONE; }
void *sock_event_host(const sock_event_ctx *ctx) { return ctx ? ctx->host : nullptr; }

int sock_insert_event_proc(os_socket sock, sock_event_proc proc, uint64_t user) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, -1);
    return open_ctx(sock, proc, user, nullptr, nullptr, 0) ? 0 : -1;
}

int sock_del_event_proc(sock_event_ctx *ectx) { return close_ctx(ectx, SOCK_EVENT_CLOSED_HOST); }

int sock_event_close_reason(sock_event_ctx *ectx, int reason) { return close_ctx(ectx, reason); }

size_t sock_event_count() {
    lbuf *events = sock_env_events();
    return events ? lbuf_count(events) : 0;
}

int sock_events_callback(os_poller *poller, const os_poller_object *object, uint32_t events,
                         void *user) {
    LOGV("==>\n");
    if (!user || !object) return 0;
    int32_t type = *static_cast<const int32_t *>(user);
    switch (type) {
    case SOCKET_TYPE_EVENT:
        dispatch_event(static_cast<sock_event_ctx *>(user), events);
        break;
    case SOCKET_TYPE_PROC: {
        auto *pctx = static_cast<sock_proc_ctx *>(user);
        if (pctx->func) pctx->func(object->handle, 0, pctx->arg);
        break;
    }
    case SOCKET_TYPE_SERVER:
        sock_server_accept(static_cast<sock_srv *>(user), object->handle);
        break;
    default:
        LOGE("invalid type=%d\n", type);
        break;
    }
    return 0;
}

void sock_events_sweep(uint32_t first_ms, uint32_t idle_ms) {
    lbuf *events = sock_env_events();
    if (!events) return;
    uint64_t now = os_clock_ms();
    // Other threads insert into the list; walk it under its lock.
    lbuf_lock(events);
    for (void *item = lbuf_first(events); item;) {
        void *next = lbuf_next(events, item);
        auto *ectx = static_cast<sock_event_ctx *>(item);
        uint32_t limit = ectx->first_data ? first_ms : idle_ms;
        if (limit != 0 && now >= ectx->last_ms && now - ectx->last_ms >= limit)
            close_ctx(ectx, SOCK_EVENT_CLOSED_IDLE);
        item = next;
    }
    lbuf_unlock(events);
}
