// Shell commands from /cmd run at the same time as TCP shell sessions and a
// console-style session; meant for the ThreadSanitizer build as well.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http_util.h"
#include "libbsv/bsv_log.h"
#include "libdbg/dbgsrv.h"
#include "libdbg/http.h"
#include "libnet/sock_env.h"
#include "libsh/libsh.h"
#include "libsh/mem_session.h"

namespace {

constexpr int ROUNDS = 40;
const char SHELL_LINE[] = "show info;echo tcp;set log.level=info";

std::string shell_reply(int fd) {
    std::string got;
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != 0) got.push_back(c);
    return got;
}

TEST(HttpConcurrent, CmdRunsBesideShellSessionsAndTheConsole) {
    ASSERT_EQ(0, libsh_init());
    ASSERT_EQ(0, sock_env_init());
    bsv_log_attach();
    ASSERT_EQ(0, debug_shell_server_init("127.0.0.1", 0));
    dbg_http_settings_set("T", "", "", "p>");
    ASSERT_EQ(0, debug_http_server_init("127.0.0.1", 0));
    int web = dbg_http_server_port(), shell = debug_shell_server_port();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < ROUNDS; ++i) {
                const char *path = i % 3 == 0 ? "/log" : i % 3 == 1 ? "/config" : "/cmd?command=show%20info;echo%20web";
                std::string body = http_test_body(http_test_get(web, path));
                if (!http_test_json_ok(body) || (i % 3 == 2 && body.find("web\\n\\u0000") == std::string::npos)) ++wrong;
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            int fd = connect_loopback(shell);
            for (int i = 0; i < ROUNDS; ++i) {
                send(fd, SHELL_LINE, sizeof SHELL_LINE, MSG_NOSIGNAL);
                std::string info = shell_reply(fd), echo = shell_reply(fd);
                shell_reply(fd);
                if (info.find("log_level=") == std::string::npos || echo.find("tcp") == std::string::npos) ++wrong;
            }
            close(fd);
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < ROUNDS; ++i) {
            mem_session console;
            console.ctx.mode = STDIO_MODE;
            console.run("show info;echo console");
            if (console.text.find("console") == std::string::npos) ++wrong;
        }
    });
    for (auto &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    dbg_http_server_stop();
    dbg_http_server_wait();
    debug_shell_server_exit();
    debug_shell_server_wait();
    sock_env_exit();
    libsh_exit();
}

}  // namespace
