// The web console of the real binary, as an operator's tools see it: curl,
// python's JSON and Prometheus parsers, raw sockets, and the ways it starts
// and stops with the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include "shell_client_util.h"
#include "web_client_util.h"

namespace {

std::string curl(int port, const std::string &path, const std::string &opts = "") {
    return run_command("curl -s --max-time 20 " + opts + " 'http://127.0.0.1:" + std::to_string(port) + path + "'");
}

// Local addresses ss lists for listeners on the port.
std::string listen_addrs(int port) {
    return run_command("ss -Hltn 'sport = :" + std::to_string(port) + "' | awk '{print $4}' | sort | tr '\\n' ' '");
}

class WebConsole : public WebHubdTest {};

TEST_F(WebConsole, DashSPortStartsItAndSigtermStopsIt) {
    dir.write_file("hubd.ini", web_ini(0));
    p = std::make_unique<HubdProcess>(dir, std::vector<std::string>{"-s", "http_server_port=" + std::to_string(port)});
    ASSERT_TRUE(wait_web_ready(*p, port)) << p->err();
    std::string info = curl(port, "/cmd?command=show%20info");
    EXPECT_EQ(info.rfind("[{\"resp\":\"ver=1.0.0.0\\nver_date=2024-1-9\\n", 0), 0u) << info;
    EXPECT_EQ(info.substr(info.size() - 11), "\\n\\u0000\"}]");
    EXPECT_EQ(curl(port, "/cmd?command=echo%20a;echo%20b"), "[{\"resp\":\"a\\nb\\n\\u0000\"}]");
    int status = -1;
    std::string pretty = run_command("curl -s --max-time 20 http://127.0.0.1:" + std::to_string(port) +
                                         "/config | /usr/bin/python3 -m json.tool",
                                     &status);
    EXPECT_EQ(status, 0) << pretty;
    for (const char *name : {"\"log.level\"", "\"log.dbgview\""}) EXPECT_NE(pretty.find(name), std::string::npos);
    HubdResult r = p->stop(SIGTERM);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(port_bindable(port));
}

TEST_F(WebConsole, UpdateTakesEffectAndLogShowsItOnce) {
    ASSERT_TRUE(start()) << p->err();
    curl(port, "/log");
    EXPECT_EQ(curl(port, "/log"), "[]");
    EXPECT_EQ(curl(port, "/update?name=log.level&value=dbg"), "{ \"success\" : true, \"msg\" : \"ok\" }");
    EXPECT_NE(curl(port, "/cmd?command=show%20info").find("log_level=dbg"), std::string::npos);
    EXPECT_EQ(curl(port, "/update?name=no.such&value=1"),
              "{ \"success\" : false, \"msg\" : \"The set variable 'no.such' does not exist\" }");
    std::string log = curl(port, "/log");
    EXPECT_NE(log.find("conf_set failed: The set variable 'no.such' does not exist"), std::string::npos) << log;
    EXPECT_NE(log.find("\"level\":\"debug\""), std::string::npos);
    EXPECT_EQ(curl(port, "/log").find("no.such"), std::string::npos);
}

TEST_F(WebConsole, RawRequestsGetTheExactReplies) {
    ASSERT_TRUE(start()) << p->err();
    std::string nf = http_test_get(port, "/nosuch");
    EXPECT_EQ(nf.rfind("HTTP/1.1 404 Not Found\r\nServer: QELTO Http Server\r\nDate: ", 0), 0u);
    EXPECT_EQ(nf.substr(nf.find("GMT\r\n")),
              "GMT\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
              "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\nContent-Length: 109\r\n\r\n"
              "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>The request URL was not found!</H1>\n</BODY></HTML>\n");
    EXPECT_EQ(http_test_body(http_test_raw(port, "GET //./x/../config HTTP/1.1\r\n\r\n")), http_test_body(http_test_get(port, "/config")));
    std::string icon = curl(port, "/favicon.ico");
    EXPECT_EQ(icon.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(curl(port, "/metrics"), "#HELP xxxx \r\nTYPE xxx\r\ng_type=0");
    // A script in the query never reaches the page as markup.
    std::string page = curl(port, "/?title=%3Cscript%3Ealert(1)%3C/script%3E&token_value=%22%3E%3Cscript%3E");
    EXPECT_NE(page.find("<title>HUBD Web Debug Tool</title>"), std::string::npos);
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_EQ(page.find("\"><script>"), std::string::npos);
}

// Every reply is HTTP a client can read: raw requests, then curl, which
// refuses a reply without a status line.
TEST_F(WebConsole, EveryReplyIsHttpEveryClientUnderstands) {
    ASSERT_TRUE(start()) << p->err();
    std::string config = http_test_body(http_test_get(port, "/config"));
    std::string headers_20k, headers_100k;
    for (int i = 0; i < 100; ++i) (i < 20 ? headers_20k : headers_100k) += "X-" + std::to_string(i) + ": " + std::string(1000, 'v') + "\r\n";
    headers_100k += headers_20k;
    struct {
        std::string raw;
        const char *status_line;
        std::string body;  // "*": not compared
    } rows[] = {
        {"GET /config HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n", config},
        {"HEAD /config HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n", ""},
        {"GET http://127.0.0.1:" + std::to_string(port) + "/config HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n", config},
        {"GET /config HTTP/1.1\r\n" + headers_20k + "\r\n", "HTTP/1.1 200 OK\r\n", config},
        {"PUT /config HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n", "*"},
        {"OPTIONS /config HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n", "*"},
        {"FROB /config HTTP/1.1\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\n", "*"},
        {"GET\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", "*"},
        {"GET /cmd?command=%ZZ HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", "*"},
        {"GET /cmd?command=echo%4 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", "*"},
        {"GET /nosuch HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", "*"},
        {"GET /config HTTP/1.1\r\n" + headers_100k + "\r\n", "HTTP/1.1 431 Request Header Fields Too Large\r\n", "*"},
        {"GET /" + std::string(2 * 1024 * 1024, 'u') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long\r\n", "*"},
        {"GET /cmd?command=echo+a%2Bb HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n", "[{\"resp\":\"a+b\\n\\u0000\"}]"},
        // A client that stalls mid-request: what came does not run.
        {"GET /update?name=log.level&value=dbg HTTP/1.1\r\nHost: 127.0.0.1", "HTTP/1.1 408 Request Timeout\r\n", "*"},
    };
    for (const auto &row : rows) {
        std::string reply = http_test_raw(port, row.raw);
        std::string what = row.raw.substr(0, 40);
        EXPECT_EQ(reply.rfind(row.status_line, 0), 0u) << what << " -> " << reply.substr(0, 120);
        size_t end = reply.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos) << what;
        std::string head = reply.substr(0, end + 2);
        EXPECT_NE(head.find("\r\nConnection: close\r\n"), std::string::npos) << what;
        for (size_t i = head.find('\n'); i != std::string::npos; i = head.find('\n', i + 1)) {
            EXPECT_EQ(head[i - 1], '\r') << what << ": a header line ends in a bare LF";
        }
        if (row.body != "*") {
            EXPECT_EQ(reply.substr(end + 4), row.body) << what;
        }
        if (row.raw.rfind("PUT", 0) == 0) {
            EXPECT_NE(head.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);
        }
    }
    // curl takes a reply without a status line for HTTP/0.9 and fails.
    int status = -1;
    std::string base = "curl -s --max-time 20 -o /dev/null -w '%{http_code}' ";
    std::string url = " 'http://127.0.0.1:" + std::to_string(port) + "/config'";
    EXPECT_EQ(run_command(base + "-I" + url, &status), "200");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run_command(base + "-X DELETE" + url, &status), "405");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run_command(base + "-X FROB" + url, &status), "501");
    EXPECT_EQ(run_command("curl -s --max-time 20 -I" + url + " | head -1"), "HTTP/1.1 200 OK\r\n");
    // Output that is not UTF-8 still gives JSON that parses.
    std::string parsed = run_command("curl -s --max-time 20 'http://127.0.0.1:" + std::to_string(port) +
                                         "/cmd?command=echo%20%FF%FE' | /usr/bin/python3 -c "
                                         "'import json,sys; print(ascii(json.load(sys.stdin)[0][\"resp\"]))'",
                                     &status);
    EXPECT_EQ(parsed, "'\\ufffd\\ufffd\\n\\x00'\n");
    EXPECT_EQ(http_test_body(http_test_get(port, "/config")), config);
    EXPECT_TRUE(p->running());
}

TEST_F(WebConsole, EveryLogReaderGetsEveryRecordAndHearsOfWhatItMissed) {
    ASSERT_TRUE(start("http_server_addr = 127.0.0.1\n[log]\nlevel = verb\n")) << p->err();
    for (const char *reader : {"tab1", "tab2"}) curl(port, std::string("/log?reader=") + reader);
    curl(port, "/cmd?command=call%20tlog");
    const char *lines[] = {"log_verb", "log_debug", "log_info", "log_notice", "log_warn", "log_error", "log_crit2"};
    for (const char *reader : {"tab1", "tab2"}) {
        std::string got = curl(port, std::string("/log?reader=") + reader);
        for (const char *line : lines) EXPECT_EQ(count_of(got, std::string(line) + "\\n"), 1u) << reader << ": " << line << got;
    }
    // A burst larger than any ring between two polls: the reader of crit
    // still gets every crit line. The filter shows crit only, so that the
    // polls' own debug lines do not count.
    curl(port, "/log?reader=burst&level=crit");
    std::string burst;
    for (int i = 0; i < 300; ++i) burst += "call%20tlog;";
    // The program's console output is read meanwhile, or its pipe would fill and stall the burst.
    EXPECT_EQ(curl(port, "/update?name=log.level&value=warn"), "{ \"success\" : true, \"msg\" : \"ok\" }");
    std::atomic<bool> done{false};
    std::thread runner([&] {
        curl(port, "/cmd?command=" + burst);
        done = true;
    });
    while (!done) p->pump(50);
    runner.join();
    uint64_t missed = 0;
    size_t crit = 0;
    for (int i = 0; i < 100; ++i) {
        p->pump(0);
        std::string got = curl(port, "/log?reader=burst&level=crit");
        EXPECT_EQ(got.find("log_error"), std::string::npos);
        if (got == "[]") break;
        size_t at = got.find("\"missed\":");
        if (at != std::string::npos) missed += std::stoull(got.substr(at + 9));
        crit += count_of(got, "log_crit2");
    }
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(crit, 300u) << missed << " missed";
    EXPECT_NE(curl(port, "/log?level=loud", "-i").find("400 Bad Request"), std::string::npos);
}

TEST_F(WebConsole, CredentialsFromTheFileAreAskedAndThePageFileIsServed) {
    dir.write_file("debug.html", "<p>$title|$sh_psa|$token_value|$nothing</p>\n");
    ASSERT_TRUE(start(WEB_LOGIN_INI, true));
    std::string denied = curl(port, "/config", "-i");
    EXPECT_NE(denied.find("WWW-Authenticate: Basic realm=\"qelto\""), std::string::npos);
    EXPECT_EQ(curl(port, "/config", "-u op:pw").rfind("[{", 0), 0u);
    // The token is new in every process: 128 random bits.
    std::string page = curl(port, "/", "-u op:pw");
    EXPECT_TRUE(std::regex_match(page, std::regex("<p>HUBD Web Debug Tool\\|hubd&gt;\\|[0-9a-f]{32}\\|\\$nothing</p>\n"))) << page;
    EXPECT_EQ(curl(port, "/favicon.ico").substr(1, 3), "PNG");
    EXPECT_EQ(curl(port, "/cmd?command=exit", "-u op:pw -H 'Sec-Fetch-Site: cross-site' -i").rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_TRUE(p->running());
}

TEST_F(WebConsole, LockoutSwitchedOnShowsItsMessage) {
    ASSERT_TRUE(start(WEB_LOGIN_INI + std::string("http_login_lockout = 1\n[hubd]\nlogin_fail_count = 3\nlogin_fail_wait_m = 5\n"), true));
    for (int i = 0; i < 3; ++i) curl(port, "/config", "-u op:bad");
    std::string locked = curl(port, "/config", "-u op:pw");
    EXPECT_NE(locked.find("Login failed 3 times, Please try again in "), std::string::npos) << locked;
}

TEST_F(WebConsole, ListensOnLoopbackUnlessTheFileSaysOtherwise) {
    struct {
        std::string ini_extra;  // "-" for no file at all
        std::string addrs;
        bool warns;
    } rows[] = {
        {"", "", false},
        {"http_server_addr = \n", "", true},
        {"http_server_addr = 127.0.0.1\n", "", false},
    };
    for (auto &row : rows) {
        HubdDir dir;
        int port = free_tcp_port();
        dir.write_file("hubd.ini", web_ini(port, row.ini_extra));
        HubdProcess p(dir, {});
        ASSERT_TRUE(wait_web_ready(p, port)) << p.err();
        std::string addrs = listen_addrs(port);
        std::string p_str = std::to_string(port);
        if (row.ini_extra.empty())
            EXPECT_EQ(addrs, "127.0.0.1:" + p_str + " [::1]:" + p_str + " ") << addrs;
        else if (row.warns)
            EXPECT_NE(addrs.find("0.0.0.0:" + p_str), std::string::npos) << addrs;
        else
            EXPECT_EQ(addrs, "127.0.0.1:" + p_str + " ") << addrs;
        p.stop(SIGTERM);
        EXPECT_EQ(p.err().find("without a password") != std::string::npos, row.warns) << row.ini_extra;
    }
}

TEST_F(WebConsole, PortZeroSwitchesItOff) {
    dir.write_file("hubd.ini", web_ini(port));
    p = std::make_unique<HubdProcess>(dir, std::vector<std::string>{"-s", "http_server_port=0"});
    ASSERT_TRUE(p->wait_for_out("hubd>"));
    EXPECT_EQ(listening_sockets(p->pid()), 0);
}

TEST_F(WebConsole, PrometheusTextParses) {
    ASSERT_TRUE(start()) << p->err();
    curl(port, "/config");
    const std::string script =
        "import sys\n"
        "from prometheus_client.parser import text_string_to_metric_families as parse\n"
        "fams = {f.name: f for f in parse(sys.stdin.read())}\n"
        "need = ['hubd_memory_blocks','hubd_memory_bytes','hubd_threads','hubd_open_fds','hubd_shell_sessions',"
        "'hubd_http_requests','hubd_log_records','hubd_start_time_seconds']\n"
        "missing = [n for n in need if n not in fams]\n"
        "assert not missing, missing\n"
        "cfg = [s.value for s in fams['hubd_http_requests'].samples if s.labels.get('endpoint') == '/config']\n"
        "assert cfg and cfg[0] >= 1, cfg\n"
        "assert fams['hubd_threads'].samples[0].value > 2\n"
        "print('ok')\n";
    dir.write_file("check.py", script);
    int status = -1;
    std::string out = run_command("curl -s --max-time 20 http://127.0.0.1:" + std::to_string(port) +
                                      "/metrics/prometheus | /usr/bin/python3 " + dir.path() + "/check.py 2>&1",
                                  &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "ok\n");
}

}  // namespace
