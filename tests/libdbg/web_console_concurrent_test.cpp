// Shell commands from /cmd run at the same time as TCP shell sessions and a
// console-style session; meant for the ThreadSanitizer build as well.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http_util.h"
#include "integration/peer_process.h"
#include "libbsv/bsv_log.h"
#include "libdbg/shell_tcp_server.h"
#include "libdbg/web_console.h"
#include "libnet/sock_event_loop.h"
#include "libsh/libsh.h"
#include "libsh/mem_session.h"

namespace {

constexpr int ROUNDS = 40;
const char SHELL_LINE[] = "show info;echo tcp;set log.level=info";

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
                // One reply for the whole line.
                std::string reply = shell_test_replies(fd, 1);
                if (reply.find("log_level=") == std::string::npos || reply.find("tcp") == std::string::npos) ++wrong;
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

// A port free on both loopback addresses at the time of asking.
int free_dual_port() {
    int port = peer_free_port(SOCK_STREAM);
    int v6 = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 b{};
    b.sin6_family = AF_INET6;
    b.sin6_addr = in6addr_loopback;
    b.sin6_port = htons(static_cast<uint16_t>(port));
    bool free_on_v6 = port > 0 && bind(v6, reinterpret_cast<sockaddr *>(&b), sizeof b) == 0;
    close(v6);
    return free_on_v6 ? port : -1;
}

// A client knocking while the second listener is being added: the accept on
// the first one must not wait for the start to finish.
TEST(HttpConcurrent, StartsWhileAClientKnocksOnItsFirstListener) {
    ASSERT_EQ(0, libsh_init());
    ASSERT_EQ(0, sock_env_init());
    int port = free_dual_port();
    ASSERT_GT(port, 0);
    std::atomic<bool> done{false};
    std::thread knocker([&] {
        while (!done.load(std::memory_order_relaxed)) {
            int fd = connect_loopback(port);
            if (fd >= 0) close(fd);
        }
    });
    dbg_http_settings_set("T", "", "", "p>");
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(0, debug_http_server_init("127.0.0.1,::1", port)) << "round " << i;
        dbg_http_server_stop();
        EXPECT_TRUE(dbg_http_server_wait());
    }
    done = true;
    knocker.join();
    sock_env_exit();
    libsh_exit();
}

}  // namespace
