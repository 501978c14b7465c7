// TCP listeners registered with the event loop, and their accept path.
#define LOG_TAG "net"
#include "libnet/sock_tcp_server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "libnet/sock_event_loop.h"
#include "libnet/sock_event_loop_imp.h"
#include "libnet/sock_event.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_socket_v6only.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

const char *conf_name(const sock_srv_conf *conf) {
    return conf && conf->name ? conf->name : "";
}

void tune_socket(os_socket sock, const sock_srv_conf *conf) {
    if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        LOGW("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    if (!conf) return;
    if (conf->recv_buf_size &&
        !os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, conf->recv_buf_size))
        LOGW("OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", static_cast<int>(conf->recv_buf_size));
    if (conf->send_buf_size &&
        !os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, conf->send_buf_size))
        LOGW("OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", static_cast<int>(conf->send_buf_size));
    if (conf->defer_accept_s && !os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_DEFER_ACCEPT, conf->defer_accept_s))
        LOGW("%s: connections are accepted before their first bytes: %s\n", conf_name(conf), std::strerror(errno));
}

// Registers one listener. A poller without room refuses it: the address is
// skipped like one that cannot be bound, and the process goes on.
bool add_listener(sock_srv *srv, os_socket sock, uint32_t flags) {
    if (srv->count >= SOCK_SRV_MAX_LISTEN || !sock_poller_insert(sock, flags, srv)) {
        os_poller *poller = sock_env_poller();
        LOGE("os_poller_insert_sock failed: %s listener refused (%zu objects on the %s poller)\n",
             srv->name, poller ? os_poller_count(poller) : size_t{0}, os_poller_backend_name(poller));
        os_socket_exit(sock);
        return false;
    }
    srv->socks[srv->count++] = sock;
    return true;
}

// Accepts and closes one waiting connection with the spare descriptor.
void refuse_for_want_of_descriptors(os_socket listen_sock) {
    sock_env_spare(false);
    os_socket sock = os_socket_accept(listen_sock, nullptr);
    if (sock != OS_SOCKET_NONE) os_socket_exit(sock);
    sock_event_refused_note(SOCK_REFUSED_NO_DESCRIPTOR);
    sock_env_spare(true);
}

// Next field of an address list; false at the end of the list.
bool next_field(const char *&cursor, char *field, size_t size) {
    for (;;) {
        if (*cursor == '\0') return false;
        size_t len = strcspn(cursor, ";,");
        if (len >= size) return false;
        memcpy(field, cursor, len);
        field[len] = '\0';
        cursor += len;
        if (*cursor) ++cursor;
        if (len > 0) return true;
    }
}

}  // namespace

os_socket sock_tcp_bind(const char *addr, int port, sock_srv_conf *conf) {
    PAL_ASSERT_RET(addr, OS_SOCKET_NONE);
    os_ipaddr ip;
    os_ipaddr_clear(&ip);
    if (!os_ipaddr_ip_cstr_set(&ip, addr)) {
        LOGE("addr[%s]:%d error\n", addr, port);
        errno = EINVAL;
        return OS_SOCKET_NONE;
    }
    os_ipaddr_port_set(&ip, static_cast<uint16_t>(port));
    int family = os_ipaddr_family(&ip);
    os_socket sock = os_socket_init(OS_SOCKET_TCP, family);
    if (sock == OS_SOCKET_NONE) {
        LOGE_OS("socket_init [%s]:%d error: ", addr, port);
        return OS_SOCKET_NONE;
    }
    tune_socket(sock, conf);
    // IPv6 listeners take IPv6 only, so that an IPv4 listener can share the port.
    if (family == OS_IPADDR_FAMILY_IPV6) os_socket_set_v6only(sock, true);
    LOGD("bind %s server on [%s]:%d\n", conf_name(conf), addr, port);
    if (!os_socket_bind(sock, &ip)) {
        LOGE_OS("socket_bind port [%s]:%d error: ", addr, port);
        os_socket_exit(sock);
        return OS_SOCKET_NONE;
    }
    if (port == 0 && conf) {
        os_ipaddr local;
        os_ipaddr_clear(&local);
        if (os_socket_local(sock, &local)) conf->bound_port = os_ipaddr_port(&local);
    }
    if (!os_socket_listen(sock, conf ? conf->backlog : 0)) {
        LOGE_OS("socket_listen error: ");
        os_socket_exit(sock);
        return OS_SOCKET_NONE;
    }
    return sock;
}

os_socket sock_bind(const char *addr, int port, sock_srv_conf *conf) {
    PAL_ASSERT(port > -1 && port < 0xffff);
    return sock_tcp_bind(addr, port, conf);
}

sock_srv *sock_server_init_imp(const char *addrs, int port, sock_srv_conf *conf) {
    PAL_ASSERT_RET(conf, nullptr);
    void *mem = mem_calloc(sizeof(sock_srv));
    if (!mem) return nullptr;
    auto *srv = new (mem) sock_srv{};
    srv->type = SOCKET_TYPE_SERVER;
    str_copy_trunc(srv->name, sizeof srv->name, conf_name(conf));
    srv->accept_proc = conf->accept_proc;
    srv->work_proc = conf->work_proc;
    srv->arg = conf->arg;

    // Level-triggered: an accept loop cut short (a thread that cannot start)
    // leaves the rest of the queue announced for the next pass.
    uint32_t flags = OS_POLLER_READ;
    os_poller *poller = sock_env_poller();

    if (addrs && *addrs) {
        const char *cursor = addrs;
        char field[SOCK_SRV_FIELD_MAXN];
        int cur_port = port;
        for (int n = 0; n < SOCK_SRV_MAX_LISTEN && next_field(cursor, field, sizeof field); ++n) {
            os_socket sock = sock_bind(field, cur_port, conf);
            if (sock == OS_SOCKET_NONE || !add_listener(srv, sock, flags)) {
                if (conf->bind_failed++ == 0) conf->bind_error = errno;
                continue;
            }
            // The first listener fixes the port the others share.
            if (cur_port == 0) cur_port = static_cast<int>(conf->bound_port);
        }
    } else {
        os_socket sock = sock_bind("0.0.0.0", port, conf);
        if (sock == OS_SOCKET_NONE) {
            conf->bind_failed = 1;
            conf->bind_error = errno;
            mem_free(srv);
            return nullptr;
        }
        if (!add_listener(srv, sock, flags)) {
            // A listener the poller cannot take fails the start as one that cannot be bound.
            conf->bind_failed = 1;
            conf->bind_error = EMFILE;
            mem_free(srv);
            return nullptr;
        }
        // The IPv6 wildcard shares the IPv4 listener's port; its failure is ignored.
        int v6_port = port == 0 ? static_cast<int>(conf->bound_port) : port;
        os_socket sock6 = sock_bind("::", v6_port, conf);
        if (sock6 != OS_SOCKET_NONE) add_listener(srv, sock6, flags);
    }
    if (poller) os_poller_spak(poller);
    return srv;
}

bool sock_server_missed_configured(const char *addrs, const sock_srv_conf *conf) {
    if (!conf || conf->bind_failed == 0) return false;
    return !addrs || std::strcmp(addrs, OS_IPADDR_LOOPBACK_LIST) != 0;
}

void sock_tcp_server_exit(sock_srv *srv) {
    if (!srv) return;
    {
        // The loop must not be dispatching to this record while it goes away.
        sock_loop_gate gate;
        for (uint32_t i = 0; i < srv->count; ++i) {
            sock_poller_remove(srv->socks[i]);
            os_socket_exit(srv->socks[i]);
            srv->socks[i] = OS_SOCKET_NONE;
        }
        srv->count = 0;
        srv->type = 0;
    }
    mem_free(srv);
}

void sock_server_accept(sock_srv *srv, os_socket listen_sock) {
    PAL_ASSERT_RET(srv, );
    for (;;) {
        os_ipaddr peer;
        os_ipaddr_clear(&peer);
        os_socket sock = os_socket_accept(listen_sock, &peer);
        if (sock == OS_SOCKET_NONE) {
            if (errno == EMFILE || errno == ENFILE) refuse_for_want_of_descriptors(listen_sock);
            return;
        }
        if (srv->accept_proc) {
            srv->accept_proc(sock, &peer, srv->arg);
            continue;
        }
        if (!srv->work_proc) {
            PAL_ASSERT_REPORT("tctx->work_proc!=NULL");
            os_socket_exit(sock);
            return;
        }
        char thread_name[SOCK_SRV_NAME_MAXN + 8];
        snprintf(thread_name, sizeof thread_name, "%s_work", srv->name);
        os_thread *thread = os_thread_init(thread_name, srv->work_proc,
                                           reinterpret_cast<void *>(sock), nullptr, nullptr);
        if (!thread) {
            LOGE_OS("os_thread_init error: ");
            // Nobody else will own the connection.
            os_socket_exit(sock);
            return;
        }
        os_thread_close(thread);
    }
}
