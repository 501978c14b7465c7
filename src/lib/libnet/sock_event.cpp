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

// Contexts in the order of their last activity, oldest first: one list for
// those still waiting for their first data, one for those that spoke. An
// event moves its context to the tail, so each list stays sorted and the
// sweep looks at its head only: with 10,000 connections a pass must not walk
// them all. Changed on the loop thread inside a pass or under the loop gate.
struct sweep_list {
    sock_event_ctx *head = nullptr;
    sock_event_ctx *tail = nullptr;
};
sweep_list g_fresh;
sweep_list g_spoken;

sweep_list &sweep_list_of(const sock_event_ctx *ectx) { return ectx->first_data ? g_fresh : g_spoken; }

void sweep_unlink(sweep_list &list, sock_event_ctx *ectx) {
    if (ectx->sweep_prev) {
        ectx->sweep_prev->sweep_next = ectx->sweep_next;
    } else if (list.head == ectx) {
        list.head = ectx->sweep_next;
    }
    if (ectx->sweep_next) {
        ectx->sweep_next->sweep_prev = ectx->sweep_prev;
    } else if (list.tail == ectx) {
        list.tail = ectx->sweep_prev;
    }
    ectx->sweep_prev = ectx->sweep_next = nullptr;
}

void sweep_append(sweep_list &list, sock_event_ctx *ectx) {
    ectx->sweep_next = nullptr;
    ectx->sweep_prev = list.tail;
    if (list.tail) {
        list.tail->sweep_next = ectx;
    } else {
        list.head = ectx;
    }
    list.tail = ectx;
}

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
    sweep_unlink(sweep_list_of(ectx), ectx);
    sock_poller_remove(ectx->sock);
    if (ectx->procs.closed) ectx->procs.closed(ectx, ectx->host, reason);
    os_socket_exit(ectx->sock);
    ectx->type = 0;
    lbuf_free(sock_env_events(), ectx);
    return 0;
}

// Closes the expired contexts at the head of one list.
void sweep_expired(sweep_list &list, uint32_t limit, uint64_t now) {
    if (limit == 0) return;
    for (sock_event_ctx *ectx = list.head; ectx;) {
        if (now < ectx->last_ms || now - ectx->last_ms < limit) return;
        sock_event_ctx *next = ectx->sweep_next;
        close_ctx(ectx, SOCK_EVENT_CLOSED_IDLE);
        ectx = next;
    }
}

void dispatch_event(sock_event_ctx *ectx, uint32_t events) {
    sweep_unlink(sweep_list_of(ectx), ectx);
    ectx->first_data = 0;
    ectx->last_ms = os_clock_ms();
    sweep_append(g_spoken, ectx);
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
    sweep_append(g_fresh, ectx);
    // On the loop thread the next wait sees the new socket and the new
    // sweep deadline anyway; a wake byte per accepted connection would cost
    // two system calls and one more pass.
    if (!sock_env_on_loop_thread()) os_poller_spak(poller);
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
    const uint64_t now = os_clock_ms();
    sweep_expired(g_fresh, first_ms, now);
    sweep_expired(g_spoken, idle_ms, now);
}

int64_t sock_events_sweep_due_ms(uint32_t first_ms, uint32_t idle_ms) {
    const uint64_t now = os_clock_ms();
    int64_t due = -1;
    auto consider = [&](const sweep_list &list, uint32_t limit) {
        if (limit == 0 || !list.head) return;
        const uint64_t at = list.head->last_ms + limit;
        const int64_t left = at > now ? static_cast<int64_t>(at - now) : 0;
        if (due < 0 || left < due) due = left;
    };
    consider(g_fresh, first_ms);
    consider(g_spoken, idle_ms);
    return due;
}
