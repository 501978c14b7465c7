#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "libhttpd/httpd.h"

namespace {

// A request whose stream is a memory buffer: the raw request goes in first,
// and what the server sends is what remains unread afterwards.
struct MemRequest {
    httpd_request *r;
    explicit MemRequest(const std::string &raw, const char *peer = "10.1.2.3:4567") {
        r = httpd_request_new(OS_SOCKET_NONE, peer);
        net_sock_init_memory(&r->stream);
        net_write(&r->stream, raw.data(), raw.size());
    }
    ~MemRequest() { httpd_request_free(r); }
    std::string sent() const {
        httpd_flush(r);
        size_t len = 0;
        const char *data = net_sock_mem_data(&r->stream, &len);
        return std::string(data, len);
    }
};

std::string without_date(const std::string &text) {
    return std::regex_replace(text, std::regex("Date: [A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\n"),
                              "Date: *\r\n");
}

const std::string HEADER_BLOCK =
    "HTTP/1.1 200 OK\r\nServer: QELTO Http Server\r\nDate: *\r\nConnection: close\r\n"
    "Content-Type: text/html; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
    "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n";

struct RequestCase {
    const char *raw;
    int method;
    const char *path;
    const char *query;
    int version;
    const char *user;
    const char *pwd;
    const char *host;
};

class HttpdReadRequest : public testing::TestWithParam<RequestCase> {};

TEST_P(HttpdReadRequest, ParsesLineAndHeaders) {
    const RequestCase &c = GetParam();
    MemRequest m(c.raw);
    ASSERT_EQ(httpdReadRequest(m.r), 0);
    EXPECT_EQ(m.r->method, c.method);
    EXPECT_STREQ(m.r->path, c.path);
    EXPECT_STREQ(m.r->query, c.query);
    EXPECT_EQ(m.r->version, c.version);
    EXPECT_STREQ(m.r->user, c.user);
    EXPECT_STREQ(m.r->pwd, c.pwd);
    EXPECT_STREQ(m.r->host, c.host);
    EXPECT_STREQ(m.r->status, HTTPD_STATUS_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpdReadRequest,
    testing::Values(
        RequestCase{"GET /a//b/./c HTTP/1.1\r\n\r\n", 1, "/a/b/c", "", 2, "", "", ""},
        RequestCase{"get /x HTTP/1.0\r\nHost: h:1\r\n\r\n", 1, "/x", "", 1, "", "", "h:1"},
        RequestCase{"POST /p HTTP/1.1\r\n\r\nbody", 2, "/p", "", 2, "", "", ""},
        RequestCase{"GET /cmd?command=show%20info&token=1 HTTP/1.1\r\n\r\n", 1, "/cmd",
                    "command=show%20info&token=1", 2, "", "", ""},
        RequestCase{"GET / HTTP/1.1\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n", 1, "/", "", 2, "user", "pass", ""},
        RequestCase{"GET / HTTP/1.1\r\nauthorization: Basic dXNlcg==\r\n\r\n", 1, "/", "", 2, "user", "", ""},
        RequestCase{"GET / HTTP/1.1\r\nAuthorization: basic dXNlcjpwYXNz\r\n\r\n", 1, "/", "", 2, "", "", ""},
        // Input that ends before the empty line is still a request.
        RequestCase{"GET //./x/../config HTTP/1.1\r\nHost: a", 1, "/config", "", 2, "", "", "a"},
        RequestCase{"GET   /sp HTTP/1.1\n\n", 1, "/sp", "", 2, "", "", ""},
        // UTF-8 in the target and in a header is read whole.
        RequestCase{"GET /caf\xc3\xa9?q=\xe2\x82\xac HTTP/1.1\r\nHost: h\xc3\xa9:1\r\n\r\n", 1, "/caf\xc3\xa9",
                    "q=\xe2\x82\xac", 2, "", "", "h\xc3\xa9:1"}));

TEST(HttpdReadRequest, QueryVariablesAreDecodedAndGrouped) {
    MemRequest m("GET /q?command=show%20info&token=1&a=1&a=x+y&flag&k=v=w&last HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(m.r), 0);
    EXPECT_STREQ(httpd_get_variable(m.r, "command"), "show info");
    EXPECT_STREQ(httpd_get_variable(m.r, "token"), "1");
    const httpd_var *a = httpd_find_variable(m.r, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->value, "1");
    ASSERT_NE(a->more, nullptr);
    EXPECT_STREQ(a->more->value, "x y");
    EXPECT_STREQ(httpd_get_variable(m.r, "flag"), "");
    EXPECT_STREQ(httpd_get_variable(m.r, "k"), "w");  // the value after the last '='
    EXPECT_EQ(httpd_get_variable(m.r, "last"), nullptr);
}

// Each refusal is a whole reply: status line, CRLF headers, a short page.
TEST(HttpdReadRequest, RefusalsAreWholeReplies) {
    const std::string big_path = "/" + std::string(2 * 1024 * 1024, 'p');
    struct {
        std::string raw;
        const char *status;
        const char *extra;  // a header line the reply carries, or ""
    } rows[] = {
        {"DELETE /config HTTP/1.1\r\n\r\n", "405 Method Not Allowed", "Allow: GET, HEAD\r\n"},
        {"OPTIONS * HTTP/1.1\r\n\r\n", "405 Method Not Allowed", "Allow: GET, HEAD\r\n"},
        {"BREW /pot HTTP/1.1\r\n\r\n", "501 Not Implemented", ""},
        {"GET\r\n\r\n", "400 Bad Request", ""},
        {"GET /config\r\n\r\n", "400 Bad Request", ""},
        {"/config HTTP/1.1\r\n\r\n", "400 Bad Request", ""},
        {"GET config HTTP/1.1\r\n\r\n", "400 Bad Request", ""},
        {"GET /cmd?command=%ZZ HTTP/1.1\r\n\r\n", "400 Bad Request", ""},
        {"GET /cmd?command=a%4 HTTP/1.1\r\n\r\n", "400 Bad Request", ""},
        {"GET " + big_path + " HTTP/1.1\r\n\r\n", "414 URI Too Long", ""},
        {"GET /" + std::string(HTTPD_PATH_SIZE, 'p') + " HTTP/1.1\r\n\r\n", "414 URI Too Long", ""},
        {"GET /?" + std::string(HTTPD_QUERY_SIZE, 'q') + " HTTP/1.1\r\n\r\n", "414 URI Too Long", ""},
        {"GET / HTTP/1.1\r\nX: " + std::string(HTTPD_HEADER_LINE_MAXN, 'x') + "\r\n\r\n",
         "431 Request Header Fields Too Large", ""},
        {"GET / HTTP/1.1\r\n" + [] {
             std::string h;
             for (int i = 0; i < 100; ++i) h += "X-" + std::to_string(i) + ": " + std::string(1000, 'v') + "\r\n";
             return h;
         }() + "\r\n",
         "431 Request Header Fields Too Large", ""},
    };
    for (const auto &row : rows) {
        MemRequest m(row.raw);
        EXPECT_EQ(httpdReadRequest(m.r), -1) << row.raw.substr(0, 40);
        std::string sent = m.sent();
        EXPECT_EQ(sent.rfind(std::string("HTTP/1.1 ") + row.status + "\r\nServer: QELTO Http Server\r\n" + row.extra, 0), 0u)
            << sent.substr(0, 200);
        EXPECT_NE(sent.find("Connection: close\r\n"), std::string::npos);
        EXPECT_NE(sent.find("\r\n\r\n<HTML>"), std::string::npos) << sent.substr(0, 200);
        for (size_t i = sent.find('\n'); i != std::string::npos && i < sent.find("\r\n\r\n"); i = sent.find('\n', i + 1))
            EXPECT_EQ(sent[i - 1], '\r') << "bare LF in " << sent.substr(0, 200);
    }
}

// Within the limits, long requests are served; an absolute-form target is its path.
TEST(HttpdReadRequest, LongButLegalRequestsAndAbsoluteForm) {
    std::string query = "command=" + std::string(HTTPD_QUERY_SIZE - 9, 'q');
    std::string headers;
    for (int i = 0; i < 20; ++i) headers += "X-" + std::to_string(i) + ": " + std::string(1000, 'v') + "\r\n";
    MemRequest m("GET /cmd?" + query + " HTTP/1.1\r\nHost: h\r\n" + headers + "\r\n");
    ASSERT_EQ(httpdReadRequest(m.r), 0);
    EXPECT_STREQ(m.r->path, "/cmd");
    EXPECT_EQ(std::string(m.r->query), query);
    EXPECT_STREQ(m.r->host, "h");
    MemRequest a("GET http://127.0.0.1:8080/config?x=1%2B2+3 HTTP/1.1\r\nHost: other\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(a.r), 0);
    EXPECT_STREQ(a.r->path, "/config");
    EXPECT_STREQ(a.r->query, "x=1%2B2+3");
    EXPECT_STREQ(httpd_get_variable(a.r, "x"), "1+2 3");
    EXPECT_STREQ(a.r->host, "127.0.0.1:8080");
    MemRequest b("\r\nGET HTTP://h HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(b.r), 0);
    EXPECT_STREQ(b.r->path, "/");
}

TEST(HttpdOutput, HeadGetsTheHeadersWithoutTheBody) {
    MemRequest m("HEAD / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(m.r), 0);
    EXPECT_EQ(m.r->method, HTTPD_METHOD_HEAD);
    httpd_print(m.r, "body");
    EXPECT_EQ(without_date(m.sent()), HEADER_BLOCK);
}

// On a socket nothing runs on part of a request: a client that trickles
// past the deadline gets 408, one that ends its side mid-head gets 400.
TEST(HttpdReadRequest, UnfinishedHeadOnASocketIsRefused) {
    struct {
        std::string sent;
        bool trickle;  // one byte each 20 ms, else all at once and the client's side shut
        const char *status;
    } rows[] = {
        {"GET /" + std::string(200, 'x') + " HTTP/1.1\r\n\r\n", true, "HTTP/1.1 408 Request Timeout\r\n"},
        {"GET /cmd?command=echo%20hel", false, "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /cmd?command=echo HTTP/1.1\r\nHost: a", false, "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const auto &row : rows) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            if (!row.trickle) {
                send(fds[1], row.sent.data(), row.sent.size(), MSG_NOSIGNAL);
                shutdown(fds[1], SHUT_WR);
                return;
            }
            for (char c : row.sent) {
                if (stop.load() || send(fds[1], &c, 1, MSG_NOSIGNAL) != 1) return;
                usleep(20000);
            }
        });
        httpd_head_deadline_set(300);
        httpd_request *r = httpd_request_new(os_socket_from_fd(fds[0]), "1.2.3.4:5");
        EXPECT_EQ(httpdReadRequest(r), -1) << row.sent;  // -1: not served
        httpd_head_deadline_set(0);
        stop = true;
        writer.join();
        httpd_request_free(r);
        std::string reply(256, '\0');
        reply.resize(std::max<ssize_t>(0, recv(fds[1], reply.data(), reply.size(), MSG_DONTWAIT)));
        EXPECT_EQ(reply.rfind(row.status, 0), 0u) << row.sent << " -> " << reply;
        close(fds[1]);
    }
}

struct SanitiseCase {
    const char *in;
    const char *out;
};
class HttpdSanitise : public testing::TestWithParam<SanitiseCase> {};
TEST_P(HttpdSanitise, CleansInPlace) {
    std::string buf = GetParam().in;
    httpd_sanitise_url(buf.data());
    EXPECT_STREQ(buf.c_str(), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Cases, HttpdSanitise,
                         testing::Values(SanitiseCase{"/a//b/./c", "/a/b/c"}, SanitiseCase{"//./x/../config", "/config"},
                                         SanitiseCase{"/a/b/../../c", "/a/c"}, SanitiseCase{"////", "/"},
                                         SanitiseCase{"/a/./././b", "/a/b"}, SanitiseCase{"/../x", "/x"},
                                         SanitiseCase{"", ""}));

TEST(HttpdDecode, Base64AndUrl) {
    char out[HTTPD_BASE64_MAXN + 1];
    EXPECT_EQ(httpd_base64_decode("  dXNlcjpwYXNz", out), 9);
    EXPECT_STREQ(out, "user:pass");
    EXPECT_EQ(httpd_base64_decode("YQ==YWJj", out), 1);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(httpd_base64_decode(std::string(400, 'Q').c_str(), out), static_cast<int>(HTTPD_BASE64_MAXN));
    struct {
        const char *in, *out;
    } rows[] = {{"a+b%41%6a", "a bAj"}, {"%", "%"}, {"x%4", "x%4"}, {"%zz%2", "%zz%2"}, {"%00ok", ""}};
    for (const auto &row : rows) {
        std::string buf = row.in;
        httpd_url_decode(buf.data());
        EXPECT_STREQ(buf.c_str(), row.out) << row.in;
    }
}

TEST(HttpdOutput, HeaderBlockIsExact) {
    MemRequest m("GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(m.r), 0);
    httpd_print(m.r, "body");
    httpd_print(m.r, "!");
    EXPECT_EQ(without_date(m.sent()), HEADER_BLOCK + "body!");
}

// A reply still whole in the buffer at its end names its length; one that
// went out in parts, or named it already, does not get a second one.
TEST(HttpdOutput, FinishedReplyNamesItsLength) {
    const std::string big(HTTPD_SEND_BUF_SIZE, 'x');
    struct {
        const char *raw;
        std::string body;
        int declared;  // Content-Length the handler gave itself, 0 for none
        const char *length;  // the line expected, "" for none
    } rows[] = {{"GET / HTTP/1.1\r\n\r\n", "body!", 0, "Content-Length: 5\r\n"},
                {"HEAD / HTTP/1.1\r\n\r\n", "body", 0, "Content-Length: 4\r\n"},
                {"GET / HTTP/1.1\r\n\r\n", "", 0, "Content-Length: 0\r\n"},
                {"GET / HTTP/1.1\r\n\r\n", big, 0, ""},
                {"GET / HTTP/1.1\r\n\r\n", "abc", 3, "Content-Length: 3\r\nLast-Modified: *\r\n"}};
    for (const auto &row : rows) {
        MemRequest m(row.raw);
        ASSERT_EQ(httpdReadRequest(m.r), 0);
        httpd_send_headers(m.r, row.declared, 0);
        httpd_write(m.r, row.body.data(), row.body.size());
        httpd_finish(m.r);
        std::string got = std::regex_replace(without_date(m.sent()), std::regex("Last-Modified: [^\r]*\r\n"),
                                             "Last-Modified: *\r\n");
        std::string want = HEADER_BLOCK;
        want.insert(want.size() - 2, row.length);
        if (m.r->method != HTTPD_METHOD_HEAD) want += row.body;
        EXPECT_EQ(got, want) << row.raw << row.body.size();
    }
}

TEST(HttpdOutput, ForceAuthAndNotFoundAreExact) {
    MemRequest a("GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(a.r), 0);
    httpd_force_auth(a.r);
    EXPECT_EQ(without_date(a.sent()),
              "HTTP/1.1 401 Please Authenticate\r\nServer: QELTO Http Server\r\nWWW-Authenticate: Basic realm=\"qelto\"\r\n"
              "Date: *\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
              "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n\n");
    MemRequest n("GET /x HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(n.r), 0);
    httpd_send_404(n.r);
    EXPECT_EQ(without_date(n.sent()),
              "HTTP/1.1 404 Not Found\r\nServer: QELTO Http Server\r\nDate: *\r\nConnection: close\r\n"
              "Content-Type: text/html; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
              "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n"
              "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>The request URL was not found!</H1>\n"
              "</BODY></HTML>\n");
    // A refusal that quotes what the client sent shows it as text.
    MemRequest f("GET /x HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(f.r), 0);
    httpd_send_refusal(f.r, "421 Misdirected Request", "host <img src=x onerror=alert(1)>");
    EXPECT_EQ(f.sent().rfind("HTTP/1.1 421 Misdirected Request\r\n", 0), 0u);
    EXPECT_NE(f.sent().find("<H1>host &lt;img src=x onerror=alert(1)&gt;</H1>"), std::string::npos) << f.sent();
}

TEST(HttpdReadRequest, BrowserHeadersMarkTheRequest) {
    struct {
        const char *header;
        bool browser;
    } rows[] = {{"Origin: http://a\r\n", true}, {"Referer: http://a/\r\n", true}, {"Sec-Fetch-Mode: no-cors\r\n", true},
                {"sec-fetch-dest: image\r\n", true}, {"User-Agent: curl/8\r\n", false}, {"", false}};
    for (const auto &row : rows) {
        MemRequest m(std::string("GET / HTTP/1.1\r\nHost: h\r\n") + row.header + "\r\n");
        ASSERT_EQ(httpdReadRequest(m.r), 0);
        EXPECT_EQ(m.r->from_browser != 0, row.browser) << row.header;
    }
}

TEST(HttpdOutput, SubstitutionEscapesQueryValuesAndPrefersHandlerValues) {
    MemRequest m("GET /?title=<script>x</script>&who=<b>&n=1 HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(m.r), 0);
    httpd_add_variable(m.r, "title", "Real & Title");
    httpd_output(m.r, "[$title|$who|$n|$unknown|$|$$|$n_x]");
    std::string body = m.sent().substr(m.sent().find("\r\n\r\n") + 4);
    EXPECT_EQ(body, "[Real &amp; Title|&lt;b&gt;|1|$unknown|$|$$|$n_x]");
}

TEST(HttpdOutput, LongPageIsSentWhole) {
    MemRequest m("GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(httpdReadRequest(m.r), 0);
    httpd_add_variable(m.r, "v", "value");
    std::string page = std::string(HTTPD_OUTPUT_SIZE * 2, 'a') + "$v";
    httpd_output(m.r, page.c_str());
    std::string body = m.sent().substr(m.sent().find("\r\n\r\n") + 4);
    EXPECT_EQ(body, std::string(HTTPD_OUTPUT_SIZE * 2, 'a') + "value");
}

std::string g_called;
void on_root(httpd_server *, httpd_request *r) { g_called = std::string("root:") + r->path; }
void on_cmd(httpd_server *, httpd_request *r) { g_called = "cmd"; }
void on_deep(httpd_server *, httpd_request *r) { g_called = "deep"; }
int refuse(httpd_server *, httpd_request *r) { return -1; }

TEST(HttpdProcessRequest, DispatchesByDirectoryAndName) {
    httpd_server *server = httpd_server_new();
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(httpd_add_c_content(server, "/", "", 0, nullptr, on_root), 0);
    ASSERT_EQ(httpd_add_c_content(server, "/", "cmd", 0, nullptr, on_cmd), 0);
    ASSERT_EQ(httpd_add_c_content(server, "/a/b", "c", 0, nullptr, on_deep), 0);
    ASSERT_EQ(httpd_add_c_content(server, "/", "no", 0, refuse, on_cmd), 0);
    struct {
        const char *raw, *called;
        bool not_found;
    } rows[] = {
        {"GET / HTTP/1.1\r\n\r\n", "root:/", false},       {"GET /cmd?x=1 HTTP/1.1\r\n\r\n", "cmd", false},
        {"GET /a//b/./c HTTP/1.1\r\n\r\n", "deep", false}, {"GET /a/b HTTP/1.1\r\n\r\n", "", true},
        {"GET /no HTTP/1.1\r\n\r\n", "", false},
    };
    for (const auto &row : rows) {
        g_called.clear();
        MemRequest m(row.raw);
        ASSERT_EQ(httpdReadRequest(m.r), 0);
        httpdProcessRequest(server, m.r);
        EXPECT_EQ(g_called, row.called) << row.raw;
        EXPECT_EQ(m.sent().find("404 Not Found") != std::string::npos, row.not_found) << row.raw;
    }
    httpd_server_free(server);
}

}  // namespace

namespace {

// Requests over a non-blocking socket, as accepted connections are: the
// request in one piece, in two pieces with a pause between, or no request
// at all before the peer closes.
TEST(HttpdReadRequest, SocketInputInPiecesOrNone) {
    struct Row {
        std::vector<std::string> pieces;
        const char *path;
    } rows[] = {
        {{"GET /config HTTP/1.1\r\nHost: h\r\n\r\n"}, "/config"},
        {{"GET /con", "fig HTTP/1.1\r\nHost: h\r\n\r\n"}, "/config"},
        {{}, ""},
    };
    for (const Row &row : rows) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        std::thread writer([&] {
            for (const std::string &piece : row.pieces) {
                send(fds[1], piece.data(), piece.size(), MSG_NOSIGNAL);
                usleep(50000);
            }
            shutdown(fds[1], SHUT_WR);
        });
        httpd_request *r = httpd_request_new(os_socket_from_fd(fds[0]), "1.2.3.4:5");
        EXPECT_EQ(httpdReadRequest(r), 0);
        EXPECT_STREQ(r->path, row.path);
        writer.join();
        if (row.pieces.empty()) {
            EXPECT_EQ(r->stream.disconnected, 1);
        }
        httpd_request_free(r);
        close(fds[1]);
    }
}

}  // namespace
