// Any bytes as a request over a memory stream: reading, the path clean-up,
// the query variables and the dispatch into handlers that answer with every
// response function. Fields stay terminated inside their buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "libhttpd/httpd.h"

namespace {

void page(httpd_server *, httpd_request *r) {
    httpd_add_variable(r, "title", "T");
    httpd_output(r, "<title>$title</title>$token_value $command $ $$x");
}
void plain(httpd_server *, httpd_request *r) {
    httpd_print(r, httpd_get_variable(r, "command") ? httpd_get_variable(r, "command") : "none");
    httpd_write(r, r->query, std::strlen(r->query));
}
void auth(httpd_server *, httpd_request *r) {
    httpd_add_header(r, r->user);
    httpd_force_auth(r);
}
int precheck(httpd_server *, httpd_request *r) { return r->fetch_site[0] == 'x' ? -1 : 0; }

httpd_server *server() {
    static httpd_server *s = [] {
        httpd_server *srv = httpd_server_new();
        httpd_add_c_content(srv, "/", "", 0, nullptr, page);
        httpd_add_c_content(srv, "/", "cmd", 0, precheck, plain);
        httpd_add_c_content(srv, "/", "config", 0, nullptr, auth);
        httpd_add_c_content(srv, "/a/b", "", 1, nullptr, plain);
        return srv;
    }();
    return s;
}

void check_field(const char *field, size_t size) {
    if (strnlen(field, size) >= size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    httpd_request *r = httpd_request_new(OS_SOCKET_NONE, "192.0.2.1:80");
    if (!r) return 0;
    if (net_sock_init_memory(&r->stream) != 0) {
        httpd_request_free(r);
        return 0;
    }
    net_write(&r->stream, data, size);
    if (httpdReadRequest(r) == 0) {
        check_field(r->path, sizeof r->path);
        check_field(r->query, sizeof r->query);
        check_field(r->host, sizeof r->host);
        check_field(r->origin, sizeof r->origin);
        check_field(r->fetch_site, sizeof r->fetch_site);
        check_field(r->user, sizeof r->user);
        check_field(r->pwd, sizeof r->pwd);
        httpdProcessRequest(server(), r);
        check_field(r->headers, sizeof r->headers);
    }
    httpd_request_free(r);
    return 0;
}
