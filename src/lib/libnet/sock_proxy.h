// Outgoing proxies: the handshakes that turn a connection to a proxy into a
// tunnel to the target. proxy_tcp_connect (declared with the TCP client)
// connects to the proxy and runs the handshake of the configured type.
#pragma once

#include <cstddef>

#include "libnet/net_sock.h"
#include "libnet/sock_tcp_client.h"
#include "libpal/basic/verr.h"

// Bound of the header of an HTTP proxy's reply, after its status line.
constexpr size_t PROXY_HTTP_HEADER_MAXN = 64 * 1024;

// Each handshake reads and writes through ns (a socket stream whose timeout is
// the client's connect timeout) and returns 0, or -1 with the report filled.
int proxy_http_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err);
int proxy_sock4_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err);
int proxy_sock5_init(net_sock *ns, const char *host, int port, const sock_proxy_conf *proxy, verr *err);

// Standard Base64 (RFC 4648, '=' padding) of len bytes into out; the text
// length, or 0 when out (NUL included) is too small.
size_t proxy_base64(const void *data, size_t len, char *out, size_t size);
