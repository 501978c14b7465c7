// The web console in-process: JSON replies that are cut, the log view's
// batches, every endpoint with and without credentials, cross-site refusal,
// the connection cap, the lockout and a stop from inside a request.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "http_util.h"
#include "libbsv/bsv_log.h"
#include "libdbg/shell_tcp_server.h"
#include "libdbg/web_console.h"
#include "libdbg/web_console_imp.h"
#include "libnet/sock_event_loop.h"
#include "libpal/os/os_thread.h"
#include "libpwd/libpwd.h"
#include "libsh/libsh.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

namespace {

bool wait_for(const std::function<bool()> &pred) {
    for (int i = 0; i < 2000 && !pred(); ++i) os_sleep_ms(5);
    return pred();
}

// Bytes that are not UTF-8 become U+FFFD each; sound sequences stay as they are.
TEST(HttpJsonResp, InvalidUtf8BecomesReplacementCharacters) {
    struct {
        const char *in, *out;
    } rows[] = {
        {"a\xff\xfe" "b", "a\\ufffd\\ufffdb"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"\xc3", "\\ufffd"},                          // cut short
        {"\xc0\xaf", "\\ufffd\\ufffd"},                // overlong '/'
        {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},      // a surrogate
        {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // above U+10FFFF
        {"\xe2\x82x", "\\ufffd\\ufffdx"},
    };
    for (const auto &row : rows) {
        char out[64];
        size_t len = http_json_escape_cut(row.in, std::strlen(row.in), out, sizeof out - 1);
        EXPECT_EQ(std::string(out, len), row.out) << row.in;
    }
}

TEST(HttpJsonResp, CutReplyStaysValidJson) {
    const std::string rows[] = {
        std::string(20000, 'a'),
        std::string(9000, '"'),
        std::string(5000, '\x01'),
        std::string(4000, 'x') + std::string(7000, '\\'),
        [] {
            std::string s;
            for (int i = 0; i < 9000; ++i) s += "\xc3\xa9";  // é
            return s;
        }(),
    };
    for (const std::string &text : rows) {
        char out[HTTP_CMD_REPLY_SIZE];
        size_t len = http_json_resp(text.data(), text.size(), out, sizeof out);
        EXPECT_EQ(len, std::strlen(out));
        EXPECT_LE(len, HTTP_CMD_REPLY_SIZE - 1);
        EXPECT_GT(len, HTTP_CMD_REPLY_SIZE - 16);
        EXPECT_TRUE(http_test_json_ok(out)) << std::string(out + len - 20);
        EXPECT_EQ(std::string(out, 10), "[{\"resp\":\"");
        EXPECT_EQ(std::string(out + len - 3), "\"}]");
        // No UTF-8 sequence is split: the text before the tail ends on a whole é.
        if (text[0] == '\xc3') {
            EXPECT_EQ(out[len - 4], '\xa9');
        }
    }
    char out[64];
    EXPECT_EQ(http_json_resp("", 0, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

TEST(HttpLogLevelName, NamesThePageFilters) {
    EXPECT_STREQ(http_log_level_name(LOG_ERR), "error");
    EXPECT_STREQ(http_log_level_name(LOG_WARN), "warning");
    EXPECT_STREQ(http_log_level_name(LOG_VERB), "debug");
}

TEST(HttpQueryArg, RawValueOfTheFirstMatch) {
    struct {
        const char *query, *name, *value;
    } rows[] = {{"command=show%20info&token=1", "command", "show%20info"},
                {" a = 1 &a=2", "a", "1"},
                {"x&command=1", "command", ""},
                {"command=", "command", ""},
                {"name=log.level&value=dbg", "value", "dbg"}};
    for (const auto &row : rows) {
        char out[64];
        http_query_arg(row.query, row.name, out, sizeof out);
        EXPECT_STREQ(out, row.value) << row.query;
    }
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, libsh_init());
        ASSERT_EQ(0, sock_env_init());
        bsv_log_attach();
    }
    void start(const char *user, const char *pwd, int use_libpwd = 0, int max_clients = 0) {
        dbg_http_settings_set("Test Title", user, pwd, "tst>");
        dbg_http_options_set(use_libpwd, max_clients);
        ASSERT_EQ(0, debug_http_server_init("127.0.0.1", 0));
        port_ = dbg_http_server_port();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        dbg_http_server_stop();
        dbg_http_server_wait();
        dbg_http_options_set(0, 0);
        libsh_exit_hook_set(nullptr);
        sock_env_exit();
        libsh_exit();
    }
    std::string get(const std::string &path, const std::string &headers = "") {
        return http_test_get(port_, path, headers);
    }
    int port_ = 0;
};

struct EndpointCase {
    const char *path;
    const char *body_start;
    bool needs_auth;
};
const EndpointCase ENDPOINTS[] = {
    {"/", "<!DOCTYPE html>", true},
    {"/cmd?command=echo%20x", "[{\"resp\":\"x\\n\\u0000\"}]", true},
    {"/log?token=1", "[", true},
    {"/config", "[{\"desc\":", true},
    {"/update?name=nosuch&value=1", "{ \"success\" : false, \"msg\" : \"The set variable 'nosuch' does not exist\" }", true},
    {"/metrics", "#HELP xxxx \r\nTYPE xxx\r\ng_type=0", true},
    {"/metrics/prometheus", "# HELP hubd_memory_blocks", true},
    {"/favicon.ico", "\x89PNG\r\n", false},
};

TEST_F(HttpServerTest, EveryEndpointAnswersWithoutCredentialsWhenNoneAreSet) {
    start("", "");
    for (const auto &row : ENDPOINTS) {
        std::string reply = get(row.path);
        EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << row.path;
        EXPECT_EQ(http_test_body(reply).rfind(row.body_start, 0), 0u) << row.path << ": " << reply;
    }
    EXPECT_EQ(http_test_body(get("/metrics")).size(), 31u);
    std::string page = http_test_body(get("/"));
    EXPECT_NE(page.find("<title>Test Title</title>"), std::string::npos);
    ASSERT_EQ(std::strlen(http_page_token()), 32u);
    EXPECT_NE(page.find(std::string("value=\"") + http_page_token() + "\""), std::string::npos);
    EXPECT_NE(page.find(">tst&gt;</span>"), std::string::npos);
    EXPECT_EQ(get("/nosuch").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    // What a reply is, said so that no browser takes a command's output for a page.
    struct {
        const char *path;
        const char *type;
    } types[] = {{"/", "text/html; charset=utf-8"},
                 {"/cmd?command=echo%20%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E", "application/json; charset=utf-8"},
                 {"/log", "application/json; charset=utf-8"},
                 {"/config", "application/json; charset=utf-8"},
                 {"/update?name=%3Cb%3E&value=1", "application/json; charset=utf-8"},
                 {"/favicon.ico", "image/x-icon"},
                 {"/metrics", "text/plain; charset=utf-8"},
                 {"/metrics/prometheus", "text/plain; version=0.0.4; charset=utf-8"}};
    for (const auto &row : types) {
        std::string reply = get(row.path);
        std::string head = reply.substr(0, reply.find("\r\n\r\n"));
        EXPECT_NE(head.find(std::string("\r\nContent-Type: ") + row.type + "\r\n"), std::string::npos) << row.path << head;
        EXPECT_NE(head.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos) << row.path;
    }
    std::string head = get("/");
    head = head.substr(0, head.find("\r\n\r\n"));
    EXPECT_NE(head.find("Content-Security-Policy: default-src 'none'; script-src 'nonce-"), std::string::npos) << head;
    EXPECT_NE(head.find("frame-ancestors 'none'"), std::string::npos) << head;
    // A quote in the name cannot break the failure object.
    std::string quoted = http_test_body(get("/update?name=a\"b&value=1"));
    EXPECT_TRUE(http_test_json_ok(quoted)) << quoted;
    EXPECT_NE(quoted.find("'a\\\"b' does not exist"), std::string::npos) << quoted;
    EXPECT_EQ(http_test_body(get("/cmd?command=nosuch")), "[{\"resp\":\"command not found: [nosuch]\\nType `help` to learn how to use prompt\\n\\u0000\"}]");
}

// A command far longer than a path reaches the shell whole: the longest
// line runs, one byte more is refused and nothing of it runs.
TEST_F(HttpServerTest, CmdRunsTheLongestShellLineAndRefusesALongerOne) {
    start("", "");
    const std::string head = "/cmd?command=echo%20";
    const size_t room = LIBSH_LINE_MAX - 5;
    std::string fits = http_test_body(get(head + std::string(room, 'a')));
    EXPECT_EQ(fits, "[{\"resp\":\"" + std::string(room, 'a') + "\\n\\u0000\"}]");
    std::string cut = http_test_body(get(head + std::string(room + 1, 'b')));
    EXPECT_EQ(cut, "[{\"resp\":\"error: line too long (4096 bytes, at most 4095)\\n\\u0000\"}]");
}

TEST_F(HttpServerTest, CredentialsAreAskedOnEveryEndpointButTheIcon) {
    start("admin", "s3cret");
    for (const auto &row : ENDPOINTS) {
        for (const std::string &auth : {std::string(), http_test_basic("admin", "wrong"), http_test_basic("x", "s3cret")}) {
            std::string reply = get(row.path, auth);
            if (row.needs_auth) {
                EXPECT_EQ(reply.rfind("HTTP/1.1 401 Please Authenticate\r\nServer: QELTO Http Server\r\n"
                                      "WWW-Authenticate: Basic realm=\"qelto\"\r\n",
                                      0),
                          0u)
                    << row.path;
            } else {
                EXPECT_EQ(http_test_body(reply).rfind(row.body_start, 0), 0u) << row.path;
            }
        }
        std::string reply = get(row.path, http_test_basic("admin", "s3cret"));
        EXPECT_EQ(http_test_body(reply).rfind(row.body_start, 0), 0u) << row.path;
    }
}

TEST_F(HttpServerTest, ForgedAndForeignHostRequestsAreRefusedAndRunNothing) {
    start("", "");
    std::string host = "127.0.0.1:" + std::to_string(port_);
    std::string token = std::string("&token=") + http_page_token();
    dbg_http_allowed_hosts_set("console.example, other.example");
    struct {
        std::string query, headers;
        const char *status;  // null: served
    } rows[] = {
        {"", "Sec-Fetch-Site: cross-site\r\n", "403"},
        {token, "Sec-Fetch-Site: cross-site\r\n", "403"},
        {token, "Sec-Fetch-Site: same-site\r\n", "403"},
        {"", "Sec-Fetch-Site: same-origin\r\n", "403"},
        {"&token=47110815", "Sec-Fetch-Site: same-origin\r\n", "403"},
        {token, "Sec-Fetch-Site: same-origin\r\n", nullptr},
        {token, "Sec-Fetch-Site: none\r\n", nullptr},
        {"", "Referer: http://" + host + "/\r\n", "403"},
        {token, "Origin: http://evil.example\r\n", "403"},
        {token, "Origin: null\r\n", "403"},
        {token, "Origin: http://" + host + "\r\n", nullptr},
        {"", "", nullptr},
        {"", "Host: rebound.example\r\n", "421"},
        {"", "Host: 10.9.9.9:" + std::to_string(port_) + "\r\n", "421"},
        {"", "Host: localhost:" + std::to_string(port_) + "\r\n", nullptr},
        {"", "Host: other.example\r\n", nullptr},
    };
    for (const auto &row : rows) {
        int before = log2_level_get();
        std::string target = before == LOG_VERB ? "err" : "verb";
        std::string path = "/update?name=log.level&value=" + target + row.query;
        std::string raw = "GET " + path + " HTTP/1.1\r\n";
        if (row.headers.rfind("Host:", 0) != 0) raw += "Host: " + host + "\r\n";
        std::string reply = http_test_raw(port_, raw + row.headers + "\r\n");
        int after = log2_level_get();
        if (row.status) {
            EXPECT_EQ(reply.rfind(std::string("HTTP/1.1 ") + row.status, 0), 0u) << row.headers << reply;
            EXPECT_EQ(after, before) << row.headers;
        } else {
            EXPECT_EQ(http_test_body(reply), "{ \"success\" : true, \"msg\" : \"ok\" }") << row.headers << row.query;
            EXPECT_NE(after, before) << row.headers;
        }
    }
    // The page itself opens from a link on another site; only what acts is refused.
    EXPECT_EQ(get("/", "Sec-Fetch-Site: cross-site\r\n").rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(get("/log", "Sec-Fetch-Site: cross-site\r\n").rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_EQ(get("/cmd?command=echo%20x", "Sec-Fetch-Mode: no-cors\r\n").rfind("HTTP/1.1 403", 0), 0u);
    dbg_http_allowed_hosts_set("");
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
}

TEST_F(HttpServerTest, ConnectionsBeyondTheCapGet503AtOnce) {
    start("", "", 0, 3);
    // Warm, an idle thread accepts for itself and the cap is reached on
    // the threads' own path; cold, the event loop accepts them all.
    for (bool warm : {false, true}) {
        SCOPED_TRACE(warm ? "warm" : "cold");
        if (warm) {
            ASSERT_EQ(http_test_body(get("/metrics")).size(), 31u);
            ASSERT_TRUE(wait_for([] { return dbg_http_server_threads() == 1 && dbg_http_server_connections() == 0; }));
        }
        std::vector<int> held;
        for (int i = 0; i < 3; ++i) {
            int fd = connect_loopback(port_);
            ASSERT_GE(fd, 0);
            send(fd, "GET /", 5, MSG_NOSIGNAL);
            held.push_back(fd);
        }
        ASSERT_TRUE(wait_for([] { return dbg_http_server_threads() == 3; }));
        std::string busy = http_test_get(port_, "/metrics");
        EXPECT_EQ(busy.rfind("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\n", 0), 0u) << busy;
        EXPECT_EQ(http_test_body(busy), "Too many connections, try again later.\r\n");
        for (int fd : held) {
            send(fd, " HTTP/1.1\r\n\r\n", 13, MSG_NOSIGNAL);
            char buf[64];
            EXPECT_GT(recv(fd, buf, sizeof buf, MSG_WAITALL), 0);
            close(fd);
        }
        // Room again once they are done: a thread parks itself as idle a moment
        // after its reply went out, and until then a new connection is refused.
        std::string body;
        EXPECT_TRUE(wait_for([&] {
            body = http_test_body(get("/metrics"));
            return body.size() == 31u;
        })) << body;
        // Cold again: every thread has ended, so the loop accepts.
        ASSERT_TRUE(wait_for([] { return dbg_http_server_threads() == 0; }));
    }
}

// A connection closed before it asked for anything (a client's spare one)
// ends with a reset; a request followed by the close of the client's side
// is still answered in full.
TEST_F(HttpServerTest, HalfClosedConnectionsGetAResetOrTheirReply) {
    start("", "");
    for (bool with_request : {false, true}) {
        int fd = connect_loopback(port_);
        ASSERT_GE(fd, 0);
        const char request[] = "GET /metrics HTTP/1.1\r\n\r\n";
        if (with_request) send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
        int code = n < 0 ? errno : 0;
        close(fd);
        if (with_request) {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(http_test_body(got), "#HELP xxxx \r\nTYPE xxx\r\ng_type=0");
        } else {
            EXPECT_EQ(code, ECONNRESET);
            EXPECT_EQ(got, "");
        }
    }
}

TEST_F(HttpServerTest, LockoutAnswersWithItsMessageAfterThreeWrongPasswords) {
    libpwd_reset();
    libpwd_set_limits(3, 60, 64);
    start("admin", "s3cret", 1);
    // A browser's first request carries no credentials: never counted.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(get("/").rfind("HTTP/1.1 401", 0), 0u);
    EXPECT_EQ(get("/config", http_test_basic("admin", "s3cret")).rfind("HTTP/1.1 200", 0), 0u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(get("/config", http_test_basic("admin", "bad")).rfind("HTTP/1.1 401", 0), 0u);
    std::string reply = get("/config", http_test_basic("admin", "s3cret"));
    EXPECT_EQ(reply.rfind("HTTP/1.1 401", 0), 0u);
    EXPECT_NE(reply.find("Login failed 3 times, Please try again in "), std::string::npos) << reply;
    libpwd_reset();
}

int stop_from_request() {
    dbg_http_server_stop();
    return 0;
}

TEST_F(HttpServerTest, ExitFromCmdStillAnswersAndStopsTheServer) {
    start("", "");
    libsh_exit_hook_set(stop_from_request);
    std::string reply = get("/cmd?command=echo%20bye;exit");
    EXPECT_EQ(http_test_body(reply).rfind("[{\"resp\":\"bye\\n\\u0000", 0), 0u) << reply;
    dbg_http_server_wait();
    EXPECT_EQ(dbg_http_server_port(), 0);
    EXPECT_EQ(dbg_http_server_threads(), 0);
    EXPECT_EQ(connect_loopback(port_), -1);
}

TEST_F(HttpServerTest, LogReturnsNewRecordsOnce) {
    start("", "");
    get("/log");
    int saved = log2_level_get();
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_DBG);
    get("/update?name=no_such_var&value=1");  // logs its failure at dbg
    std::string first = http_test_body(get("/log"));
    EXPECT_TRUE(http_test_json_ok(first)) << first;
    EXPECT_NE(first.find("no_such_var&value=1 conf_set failed"), std::string::npos) << first;
    EXPECT_NE(first.find("\"level\":\"debug\""), std::string::npos);
    std::string second = http_test_body(get("/log"));
    EXPECT_EQ(second.find("no_such_var"), std::string::npos);
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, saved);
}

// The page's requests ask for no challenge: the browser then hands the page
// the 401 instead of holding the request behind a login box.
TEST_F(HttpServerTest, PageRequestsGetTheRefusalWithoutTheChallenge) {
    start("admin", "s3cret");
    for (const std::string &auth : {std::string(), http_test_basic("admin", "wrong")}) {
        for (const char *path : {"/log?token=1&challenge=0", "/cmd?command=echo%20x&token=1&challenge=0"}) {
            std::string reply = get(path, auth);
            EXPECT_EQ(reply.rfind("HTTP/1.1 401 Please Authenticate\r\n", 0), 0u) << path << reply;
            EXPECT_EQ(reply.find("WWW-Authenticate"), std::string::npos) << path << reply;
        }
        EXPECT_NE(get("/log?token=1&challenge=1", auth).find("WWW-Authenticate: Basic"), std::string::npos);
    }
    EXPECT_EQ(http_test_body(get("/cmd?command=echo%20x&challenge=0", http_test_basic("admin", "s3cret"))),
              "[{\"resp\":\"x\\n\\u0000\"}]");
}

}  // namespace

