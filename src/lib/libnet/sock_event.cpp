// Event contexts of accepted connections, the loop's dispatch and its
// first-data and idle sweep.
#define LOG_TAG "net"
#include "libnet/sock_event.h"

#include "libnet/sock_env.h"
#include "libnet/sock_env_imp.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

void dispatch_event(sock_event_ctx *ectx, uint32_t events) {
    ectx->first_data = 0;
    ectx->last_ms = os_clock_ms();
    int r = ectx->proc ? ectx->proc(ectx->sock, events, ectx->user) : -1;
    if (r < 0) sock_del_event_proc(ectx);
}

}  // namespace

int sock_insert_event_proc(os_socket sock, sock_event_proc proc, uint64_t user) {
    PAL_ASSERT_RET(sock != OS_SOCKET_NONE, -1);
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
        return -1;
    }
    ectx->type = SOCKET_TYPE_EVENT;
    ectx->proc = proc;
    ectx->user = user;
    ectx->sock = sock;
    ectx->last_ms = os_clock_ms();
    ectx->first_data = 1;
    uint32_t flags = OS_POLLER_READ;
    if (os_poller_support(poller)) flags |= OS_POLLER_EDGE;
    if (!sock_poller_insert(sock, flags, ectx)) {
        os_socket_exit(sock);
        lbuf_free(events, ectx);
        return -1;
    }
    os_poller_spak(poller);
    return 0;
}

int sock_del_event_proc(sock_event_ctx *ectx) {
    PAL_ASSERT_RET(ectx, -1);
    PAL_ASSERT_RET(ectx->type == SOCKET_TYPE_EVENT, -1);
    sock_loop_gate gate;
    sock_poller_remove(ectx->sock);
    os_socket_exit(ectx->sock);
    ectx->type = 0;
    lbuf_free(sock_env_events(), ectx);
    return 0;
}

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
            sock_del_event_proc(ectx);
        item = next;
    }
    lbuf_unlock(events);
}
