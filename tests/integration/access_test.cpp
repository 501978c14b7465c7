// Who may use the shell and the console, tried from outside as an attacker
// would: another local user, a foreign Host header, guessed passwords from
// one address, and a peer beyond loopback in a network namespace of the
// test's own. The legitimate client of each case is served.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "shell_client_util.h"
#include "web_client_util.h"

namespace {

constexpr const char *AS_NOBODY = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

bool can_switch_user() {
    int status = -1;
    run_command(std::string(AS_NOBODY) + "true", &status);
    return geteuid() == 0 && status == 0;
}

// The clients of another user run from the test's folder.
void open_to_all(const HubdDir &dir) {
    chmod(dir.path().c_str(), 0755);
    chmod(dir.binary().c_str(), 0755);
}

std::string in_dir(const HubdDir &dir, const std::string &cmd) { return "cd '" + dir.path() + "' && " + cmd + " 2>&1"; }

std::string curl(int port, const std::string &path, const std::string &opts = "") {
    return "curl -s -i --max-time 20 " + opts + " 'http://127.0.0.1:" + std::to_string(port) + path + "'";
}

TEST(Access, OtherLocalUsersAreRefusedUnlessAllowedOrWithThePassword) {
    if (!can_switch_user()) GTEST_SKIP() << "needs root and setpriv";
    struct {
        std::string extra;   // [debug] lines
        std::string prefix;  // who runs the clients
        bool shell_served;
        bool web_served;
    } rows[] = {
        {"", AS_NOBODY, false, false},
        {"", "", true, true},
        {"shell_allowed_users = daemon, nobody\n", AS_NOBODY, true, true},
        {"shell_allowed_users = 65534\n", AS_NOBODY, true, true},
        {"shell_server_pwd = s3cret\n", std::string(AS_NOBODY) + "env HUBD_SHELL_PWD=s3cret ", true, false},
        {"shell_server_pwd = s3cret\n", std::string(AS_NOBODY) + "env HUBD_SHELL_PWD=wrong ", false, false},
        {"http_server_user = op\nhttp_server_pwd = pw\n", AS_NOBODY, false, true},
    };
    for (const auto &row : rows) {
        HubdDir dir;
        open_to_all(dir);
        int shell_port = free_tcp_port(), web_port = free_tcp_port();
        dir.write_file("hubd.ini", "[debug]\nshell_server_port = " + std::to_string(shell_port) +
                                       "\nhttp_server_port = " + std::to_string(web_port) + "\n" + row.extra);
        HubdProcess p(dir, {});
        ASSERT_TRUE(wait_shell_ready(p, shell_port)) << p.err();
        std::string shell = run_command(in_dir(dir, row.prefix + "./hubd -e 'echo served'"));
        std::string login = row.extra.find("http_server_user") != std::string::npos ? "-u op:pw" : "";
        std::string web = run_command(row.prefix + curl(web_port, "/cmd?command=source%20/etc/shadow", login));
        if (row.shell_served) {
            EXPECT_NE(shell.find("served"), std::string::npos) << row.extra << shell;
        } else {
            EXPECT_EQ(shell.find("served"), std::string::npos) << row.extra << shell;
            EXPECT_NE(shell.find("error: "), std::string::npos) << row.extra << shell;
        }
        if (row.web_served) {
            EXPECT_EQ(web.rfind("HTTP/1.1 200", 0), 0u) << row.extra << web;
        } else {
            EXPECT_EQ(web.rfind("HTTP/1.1 403", 0), 0u) << row.extra << web;
            EXPECT_NE(web.find("user 65534 may not use this console"), std::string::npos) << web;
            EXPECT_EQ(web.find("root:"), std::string::npos) << web;
        }
        if (row.extra.empty() && !row.prefix.empty()) {
            EXPECT_NE(shell.find("error: user 65534 may not use this shell"), std::string::npos) << shell;
            EXPECT_TRUE(p.wait_for_err("uid=65534")) << p.err();
        }
        p.stop(SIGTERM);
    }
}

TEST(Access, ShellPasswordGetsThreeTriesAndCommandsAreAudited) {
    ShellHubd s("shell_server_pwd = s3cret\nshell_allowed_users = nosuchuser\n");
    HubdDir &dir = s.dir;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    // Root is served without it; a right auth is still answered.
    {
        ShellConn c(s.port);
        EXPECT_EQ(c.run("auth s3cret"), "ok\r\n");
        EXPECT_EQ(c.run("echo hi"), "hi\r\n");
        EXPECT_EQ(c.run("set log.level info"), "");
    }
    if (can_switch_user()) {
        std::string script =
            "import socket\n"
            "s=socket.create_connection(('127.0.0.1'," + std::to_string(s.port) + "))\n"
            "for r in ['echo early','auth a','auth b','auth c','auth s3cret']:\n"
            "    s.sendall(r.encode()+b'\\0')\n"
            "data=b''\n"
            "while True:\n"
            "    b=s.recv(4096)\n"
            "    if not b: break\n"
            "    data+=b\n"
            "print(repr(data))\n";
        dir.write_file("tries.py", script);
        open_to_all(dir);
        chmod((dir.path() + "/tries.py").c_str(), 0644);
        std::string out = run_command(in_dir(dir, std::string(AS_NOBODY) + "timeout 20 /usr/bin/python3 tries.py"));
        EXPECT_NE(out.find("needs a password first"), std::string::npos) << out;
        EXPECT_NE(out.find("wrong password (2 of 3 tries)"), std::string::npos) << out;
        // The third wrong try ends the session: the right one after it is never answered.
        EXPECT_NE(out.find("too many tries: closing"), std::string::npos) << out;
        EXPECT_EQ(out.find("ok\\r\\n"), std::string::npos) << out;
    }
    EXPECT_TRUE(s.proc->wait_for_err("command from tcp 127.0.0.1:")) << s.proc->err();
    EXPECT_NE(s.proc->err().find("uid=0: echo hi"), std::string::npos) << s.proc->err();
    s.proc->stop(SIGTERM);
}

TEST(Access, ForeignHostIsRefusedAndTheLockoutIsPerAddress) {
    HubdDir dir;
    int port = free_tcp_port();
    dir.write_file("hubd.ini", web_ini(port, WEB_LOGIN_INI + std::string("http_login_lockout = 1\nhttp_allowed_hosts = "
                                             "console.example\n[hubd]\nlogin_fail_count = 3\nlogin_fail_wait_m = 5\n")));
    HubdProcess p(dir, {});
    ASSERT_TRUE(wait_web_guarded(p, port)) << p.err();
    struct {
        std::string opts;
        const char *status;
    } rows[] = {
        {"-u op:pw -H 'Host: rebound.example'", "HTTP/1.1 421"},
        {"-u op:pw -H 'Host: 10.1.2.3'", "HTTP/1.1 421"},
        {"-u op:pw -H 'Host: console.example'", "HTTP/1.1 200"},
        {"-u op:pw -H 'Host: localhost:" + std::to_string(port) + "'", "HTTP/1.1 200"},
        {"-u op:pw", "HTTP/1.1 200"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(run_command(curl(port, "/update?name=log.level&value=crit", row.opts)).rfind(row.status, 0), 0u) << row.opts;
    // Only the allowed ones changed the level; put it back.
    EXPECT_NE(run_command(curl(port, "/update?name=log.level&value=info", "-u op:pw")).find("\"success\" : true"), std::string::npos);
    // A browser's first requests carry no credentials: they lock nobody out.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(run_command(curl(port, "/config")).rfind("HTTP/1.1 401", 0), 0u);
    EXPECT_EQ(run_command(curl(port, "/config", "-u op:pw")).rfind("HTTP/1.1 200", 0), 0u);
    for (int i = 0; i < 3; ++i) run_command(curl(port, "/config", "--interface 127.0.0.2 -u op:bad"));
    std::string locked = run_command(curl(port, "/config", "--interface 127.0.0.2 -u op:pw"));
    EXPECT_EQ(locked.rfind("HTTP/1.1 401", 0), 0u) << locked;
    // The minutes left count down from 5.00 while the requests run.
    EXPECT_TRUE(std::regex_search(locked, std::regex(R"(Please try again in [45]\.\d\d minutes \(from 127\.0\.0\.2 at )")))
        << locked;
    EXPECT_EQ(run_command(curl(port, "/config", "-u op:pw")).rfind("HTTP/1.1 200", 0), 0u);
    p.stop(SIGTERM);
}

TEST(Access, ProtectedModeRefusesPeersBeyondLoopbackWithoutAPassword) {
    int status = -1;
    run_command("unshare -n true", &status);
    if (geteuid() != 0 || status != 0) GTEST_SKIP() << "needs root and unshare";
    HubdDir dir;
    dir.write_file("client.py",
                   "import socket,sys\n"
                   "s=socket.socket(); s.bind(('192.0.2.1',0)); s.settimeout(10)\n"
                   "s.connect(('192.0.2.1',int(sys.argv[1])))\n"
                   "for r in sys.argv[2:]:\n"
                   "    s.sendall(r.encode()+b'\\0')\n"
                   "data=b''\n"
                   "try:\n"
                   "    while data.count(b'\\0')<max(1,len(sys.argv)-2):\n"
                   "        b=s.recv(4096)\n"
                   "        if not b: break\n"
                   "        data+=b\n"
                   "except OSError: pass\n"
                   "print(repr(data))\n");
    struct {
        std::string extra;
        std::string requests;
        std::string expected;
    } rows[] = {
        {"", "'echo hi'", "error: protected mode: connections from 192.0.2.1 need a password"},
        {"shell_server_pwd = s3cret\n", "'echo hi'", "needs a password first"},
        {"shell_server_pwd = s3cret\n", "'auth s3cret' 'echo hi'", "ok\\r\\n\\x00hi\\r\\n"},
        {"protected_mode = 0\n", "'echo hi'", "hi\\r\\n"},
    };
    for (const auto &row : rows) {
        dir.write_file("hubd.ini", "[debug]\nshell_server_port = 23471\nshell_server_addr = \nhttp_server_port = 23472\n"
                                   "http_server_addr = \n" + row.extra);
        std::string script = "ip link set lo up && ip addr add 192.0.2.1/32 dev lo && (./hubd >hubd.out 2>&1 & echo $! >pid) && "
                             "for i in $(seq 100); do /usr/bin/python3 -c \"import socket;socket.create_connection(('127.0.0.1',23471))\" "
                             "2>/dev/null && break; sleep 0.1; done; /usr/bin/python3 client.py 23471 " + row.requests +
                             "; curl -s -i --max-time 10 --interface 192.0.2.1 'http://192.0.2.1:23472/cmd?command=echo%20x'; "
                             "kill $(cat pid); wait";
        dir.write_file("ns.sh", script);
        std::string out = run_command(in_dir(dir, "unshare -n sh ns.sh"));
        EXPECT_NE(out.find(row.expected), std::string::npos) << row.extra << out;
        bool web_open = row.extra.find("protected_mode = 0") != std::string::npos;
        EXPECT_EQ(out.find(web_open ? "HTTP/1.1 200" : "HTTP/1.1 403"), out.find("HTTP/1.1 ")) << out;
        if (!web_open) {
            EXPECT_NE(out.find("debug:protected_mode = 0"), std::string::npos) << out;
        }
    }
}

}  // namespace
