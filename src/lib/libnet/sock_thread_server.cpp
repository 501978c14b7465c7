// Thread-per-connection server with a list of connection records.
#define LOG_TAG "net"
#include "libnet/sock_thread_server.h"

#include <new>
#include <vector>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/memory/lbuf.h"
#include "libpal/os/os_thread_hook.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

// Runs the server's procedure, then gives the record back unless the server
// is stopping and waits for this thread: finished connections do not pile up.
// The connection record of the calling thread, if it is a connection thread.
thread_local sock_ctx *t_own_ctx = nullptr;

uint32_t ctx_thread(void *arg) {
    auto *ctx = static_cast<sock_ctx *>(arg);
    sock_ctx_srv *srv = ctx->srv;
    t_own_ctx = ctx;
    uint32_t code = os_thread_run_guarded(srv->proc, ctx, &srv->except_opt);
    // An abandoned procedure never closed its connection; the peer must see the end.
    if (os_thread_call_abandoned()) sock_tcp_ctx_close(ctx);
    t_own_ctx = nullptr;
    lbuf_lock(srv->list);
    if (!ctx->reaped) {
        os_thread_close(ctx->thread);
        ctx->thread = nullptr;
        ctx->~sock_ctx();
        lbuf_free(srv->list, ctx);
    }
    lbuf_unlock(srv->list);
    return code;
}

}  // namespace

sock_ctx_srv *sock_tcp_ctx_init(const char *name, size_t rec_size, os_thread_func proc) {
    PAL_ASSERT_RET(proc && rec_size >= sizeof(sock_ctx), nullptr);
    void *mem = mem_calloc(sizeof(sock_ctx_srv));
    if (!mem) {
        LOG_FATAL("os_list_init error\n");
    }
    auto *srv = new (mem) sock_ctx_srv{};
    str_copy_trunc(srv->name, sizeof srv->name, name ? name : "");
    srv->rec_size = rec_size;
    srv->proc = proc;
    srv->except_opt.handle = 1;
    srv->list = lbuf_init("sock_ctx", nullptr, nullptr, nullptr, rec_size);
    if (!srv->list) {
        LOG_FATAL("os_fixed_pool_init error\n");
    }
    // Without the pair, connection threads poll the state as before.
    if (!os_socket_pair(srv->wake)) srv->wake[0] = srv->wake[1] = OS_SOCKET_NONE;
    return srv;
}

int sock_tcp_ctx_open(sock_ctx_srv *srv, os_socket sock) {
    PAL_ASSERT_RET(srv && sock != OS_SOCKET_NONE, -1);
    lbuf_lock(srv->list);
    void *mem = srv->closing ? nullptr : lbuf_malloc(srv->list, srv->rec_size, true);
    if (!mem) {
        lbuf_unlock(srv->list);
        os_socket_exit(sock);
        return -1;
    }
    auto *ctx = new (mem) sock_ctx{};
    ctx->sock = sock;
    ctx->srv = srv;
    // The list lock is held until the handle is stored: the thread reads it when it ends.
    ctx->thread = os_thread_init(srv->name, ctx_thread, ctx, nullptr, nullptr);
    if (!ctx->thread) {
        LOGE_OS("os_thread_init error: ");
        ctx->~sock_ctx();
        lbuf_free(srv->list, ctx);
        lbuf_unlock(srv->list);
        os_socket_exit(sock);
        return -1;
    }
    lbuf_unlock(srv->list);
    return 0;
}

bool sock_tcp_ctx_exit(sock_ctx_srv *srv) {
    if (!srv) return true;
    std::vector<sock_ctx *> running;
    sock_ctx *self = nullptr;
    lbuf_lock(srv->list);
    srv->closing = 1;
    for (void *item = lbuf_first(srv->list); item; item = lbuf_next(srv->list, item)) {
        auto *ctx = static_cast<sock_ctx *>(item);
        ctx->state.store(SOCK_CTX_STATE_STOP, std::memory_order_relaxed);
        ctx->reaped = 1;
        // Wakes a procedure asleep in a receive; its output still goes out.
        if (srv->shutdown_on_stop && ctx->sock != OS_SOCKET_NONE) os_socket_shutdown_read(ctx->sock);
        // A thread cannot wait for itself: a later call from another thread does.
        if (ctx == t_own_ctx) {
            self = ctx;
            continue;
        }
        running.push_back(ctx);
    }
    lbuf_unlock(srv->list);
    if (srv->wake[1] != OS_SOCKET_NONE) {
        const char stop_byte = 1;
        os_socket_send(srv->wake[1], &stop_byte, 1);
    }
    // Waiting happens outside the lock, which finishing threads take.
    bool stuck = false;
    for (sock_ctx *ctx : running) {
        uint32_t code = 0;
        int r = os_thread_wait_kill_exit(ctx->thread, 0, &code);
        ctx->thread = nullptr;
        if (r < 0) {
            LOGD("os_thread_wait_kill_exit ret=%d\n", r);
            if (r == -2) stuck = true;
        }
    }
    // A thread that is still running keeps using its record and the list, so
    // both stay allocated rather than be freed under it.
    if (stuck) return true;
    if (self) {
        // The calling thread's record, the list and the server stay until
        // the next call, made from another thread, has waited for it.
        for (sock_ctx *ctx : running) {
            ctx->~sock_ctx();
            lbuf_free(srv->list, ctx);
        }
        return false;
    }
    for (sock_ctx *ctx : running) ctx->~sock_ctx();
    lbuf_exit(srv->list);
    for (os_socket wake : srv->wake) {
        if (wake != OS_SOCKET_NONE) os_socket_exit(wake);
    }
    srv->~sock_ctx_srv();
    mem_free(srv);
    return true;
}

void sock_tcp_ctx_close(sock_ctx *ctx) {
    PAL_ASSERT_RET(ctx && ctx->srv, );
    lbuf_lock(ctx->srv->list);
    if (ctx->sock != OS_SOCKET_NONE) os_socket_exit(ctx->sock);
    ctx->sock = OS_SOCKET_NONE;
    lbuf_unlock(ctx->srv->list);
}

size_t sock_tcp_ctx_count(sock_ctx_srv *srv) {
    PAL_ASSERT_RET(srv, 0);
    return lbuf_count(srv->list);
}
