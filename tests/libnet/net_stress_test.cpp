#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "libnet/sock_event_loop.h"
#include "libnet/sock_event.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/env/malloc.h"
#include "net_test_util.h"

namespace {

constexpr int kClients = 50;
constexpr int kRounds = 20;
constexpr size_t kMessage = 64;

// Connect, one echo, half-close and wait for the server's close, so that the
// server never holds more than one context per client.
bool client_round(int port, int id) {
    int fd = test_tcp_connect("127.0.0.1", port);
    if (fd < 0) return false;
    bool ok = test_round_trip(fd, std::string(kMessage, static_cast<char>('a' + id % 26)), 20000);
    shutdown(fd, SHUT_WR);
    ok = test_wait_closed(fd, 20000) && ok;
    close(fd);
    return ok;
}

}  // namespace

TEST_F(SockLoopTest, StressFiftyClientsEchoWithoutLeaks) {
    serve("stress", test_accept_into_loop, reinterpret_cast<void *>(test_echo_event), 128);
    const int port = port_;
    // One warm-up round lets lazily made state (log buffers and the like) settle.
    ASSERT_TRUE(client_round(port, 0));
    ASSERT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));

    // The warm-up's last frees may still be under way on the loop thread:
    // the baseline is taken once the counters hold still.
    mem_stats before{};
    mem_stats_get(&before);
    ASSERT_TRUE(test_wait_until([&] {
        mem_stats now{};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        mem_stats_get(&now);
        bool still = now.malloc_count == before.malloc_count && now.malloc_bytes == before.malloc_bytes;
        before = now;
        return still;
    }));
    size_t fds_before = test_open_fds();

    std::atomic<int> failures{0};
    {
        // Scoped: the thread list itself is counted heap.
        std::vector<std::thread> clients;
        for (int id = 0; id < kClients; ++id) {
            clients.emplace_back([&, id] {
                for (int round = 0; round < kRounds; ++round) {
                    if (!client_round(port, id)) failures.fetch_add(1);
                }
            });
        }
        for (auto &client : clients) client.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));

    mem_stats after{};
    mem_stats_get(&after);
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
    EXPECT_TRUE(test_wait_until([&] { return test_open_fds() == fds_before; }));
}
