#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "libnet/sock_event_loop.h"
#include "libnet/sock_event.h"
#include "libnet/sock_event_loop_imp.h"
#include "libnet/sock_tcp_server.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_time.h"
#include "net_test_util.h"

namespace {

int refuse_proc(os_socket, uint32_t, uint64_t) { return -1; }

bool echo_round_trip(int fd) { return test_round_trip(fd, "ping"); }

// Lets the loop run its sweep for at least ms (and a few passes).
void let_loop_run(int ms) {
    uint64_t start = os_clock_ms();
    test_wait_until([&] { return os_clock_ms() - start >= static_cast<uint64_t>(ms); }, ms + 5000);
    test_wait_loop_passes(2);
}

void *const kEcho = reinterpret_cast<void *>(test_echo_event);

}  // namespace

// A silent connection meets the first-data time-out, one that spoke the idle
// one; with it off, first data no longer counts once data came; with both
// off, nothing is closed.
TEST_F(SockLoopTest, SweepClosesByFirstDataAndIdleTimeout) {
    const struct {
        int first_data, idle;
        bool speak, closed;
    } rows[] = {
        {200, 0, false, true},   // silent: closed after the first-data time-out
        {0, 300, true, true},    // spoke: closed after the idle time-out
        {100, 0, true, false},   // first-data time-out no longer applies once data came
        {0, 0, false, false},    // both off: a silent one stays
        {0, 0, true, false},     // both off: one that spoke stays
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.first_data << "/" << row.idle << " speak " << row.speak);
        sock_env_first_data_timeout_set(row.first_data);
        sock_env_idle_timeout_set(row.idle);
        serve("evt", test_accept_into_loop, kEcho);
        int fd = client();
        ASSERT_GE(fd, 0);
        if (row.speak) {
            ASSERT_TRUE(echo_round_trip(fd));
        }
        if (row.closed) {
            EXPECT_TRUE(test_wait_closed(fd, 15000));
            EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));
        } else {
            ASSERT_TRUE(test_wait_until([] { return sock_event_count() == 1; }));
            let_loop_run(600);
            EXPECT_TRUE(echo_round_trip(fd));
            EXPECT_EQ(sock_event_count(), 1u);
        }
        close(fd);
        stop_server();
        EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));
    }
}

TEST_F(SockLoopTest, SweepClosesOnlyTheConnectionThatFellSilent) {
    sock_env_idle_timeout_set(500);
    serve("evt", test_accept_into_loop, kEcho);
    int talker = client();
    int silent = client();
    ASSERT_GE(talker, 0);
    ASSERT_GE(silent, 0);
    // The talker spoke first, so it stays ahead of the silent one in age
    // unless each of its events counts.
    ASSERT_TRUE(echo_round_trip(talker));
    ASSERT_TRUE(echo_round_trip(silent));
    bool silent_closed = false;
    for (int i = 0; i < 200 && !silent_closed; ++i) {
        ASSERT_TRUE(echo_round_trip(talker));
        silent_closed = test_wait_closed(silent, 50);
    }
    EXPECT_TRUE(silent_closed);
    EXPECT_TRUE(echo_round_trip(talker));
    close(talker);
    close(silent);
}

TEST_F(SockLoopTest, IdleLoopSleepsUntilTheNextTimeOut) {
    sock_env_periodic_set(nullptr, nullptr);
    sock_env_idle_timeout_set(600000);
    serve("evt", test_accept_into_loop, kEcho);
    int idle[3];
    for (int &fd : idle) {
        fd = client();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(echo_round_trip(fd));
    }
    os_sleep_ms(200);
    const uint64_t before = sock_env_pass_count();
    os_sleep_ms(2500);
    EXPECT_EQ(sock_env_pass_count(), before) << "the loop woke with nothing to do";
    // A short time-out: only the loop's own deadline can close the connection.
    sock_env_idle_timeout_set(300);
    for (int fd : idle) {
        EXPECT_TRUE(test_wait_closed(fd, 15000));
        close(fd);
    }
    int fresh = client();
    ASSERT_GE(fresh, 0);
    ASSERT_TRUE(echo_round_trip(fresh));
    EXPECT_TRUE(test_wait_closed(fresh, 15000));
    close(fresh);
}

TEST_F(SockLoopTest, ProcedureReturningMinusOneClosesItsConnection) {
    serve("evt", test_accept_into_loop, reinterpret_cast<void *>(refuse_proc));
    int fd = client();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test_wait_until([] { return sock_event_count() == 1; }));
    ASSERT_TRUE(test_send_all(fd, "x", 1));
    EXPECT_TRUE(test_wait_closed(fd, 15000));
    EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));
    close(fd);
}

namespace {

struct work_record {
    std::mutex lock;
    std::vector<std::string> names;
    std::set<uint32_t> tids;
    std::atomic<bool> release{false};
    std::atomic<int> done{0};
};
std::atomic<work_record *> g_work{nullptr};

uint32_t record_work(void *arg) {
    auto sock = reinterpret_cast<os_socket>(arg);
    char name[OS_THREAD_NAME_MAXN];
    os_thread_name_get(name);
    work_record *record = g_work.load();
    {
        std::lock_guard guard(record->lock);
        record->names.emplace_back(name);
        record->tids.insert(os_thread_id());
    }
    // Stay alive until all three are counted, so that no thread is reused.
    test_wait_until([record] { return record->release.load(); }, 20000);
    os_socket_exit(sock);
    record->done.fetch_add(1);  // last touch of the record
    return 0;
}

}  // namespace

TEST_F(SockLoopTest, ThreeClientsOfServerWithoutAcceptProcGetThreeWorkThreads) {
    work_record record;
    g_work = &record;
    sock_srv_conf conf{};
    conf.name = "trio";
    conf.backlog = 16;
    conf.work_proc = record_work;
    srv_ = sock_server_init_imp("127.0.0.1", 0, &conf);
    ASSERT_NE(srv_, nullptr);
    int port = static_cast<int>(conf.bound_port);
    int fds[3];
    for (int &fd : fds) {
        fd = test_tcp_connect_nowait("127.0.0.1", port);
        ASSERT_GE(fd, 0);
    }
    bool all = test_wait_until([&] {
        std::lock_guard guard(record.lock);
        return record.names.size() == 3;
    });
    record.release = true;
    EXPECT_TRUE(all);
    {
        std::lock_guard guard(record.lock);
        EXPECT_EQ(record.tids.size(), 3u);
        for (const std::string &name : record.names) EXPECT_EQ(name.rfind("trio_work_", 0), 0u) << name;
    }
    for (int fd : fds) {
        EXPECT_TRUE(test_wait_closed(fd, 15000));
        close(fd);
    }
    EXPECT_TRUE(test_wait_until([&] { return record.done.load() == 3; }));
    g_work = nullptr;
}

namespace {

struct proc_seen {
    std::atomic<int> calls{0};
    std::atomic<uint32_t> events{99};
    std::atomic<os_socket> sock{0};
};

int note_proc(os_socket sock, uint32_t events, void *arg) {
    auto *seen = static_cast<proc_seen *>(arg);
    char buf[64];
    os_socket_recv(sock, buf, sizeof buf);
    seen->events = events;
    seen->sock = sock;
    seen->calls.fetch_add(1);
    return 0;
}

}  // namespace

TEST_F(SockLoopTest, PlainProcRecordIsCalledWithItsSocketAndNoFlags) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    proc_seen seen;
    sock_proc_ctx pctx{SOCKET_TYPE_PROC, note_proc, &seen};
    os_socket sock = os_socket_from_fd(pair[0]);
    ASSERT_TRUE(sock_poller_insert(sock, OS_POLLER_READ, &pctx));
    ASSERT_TRUE(test_send_all(pair[1], "z", 1));
    EXPECT_TRUE(test_wait_until([&] { return seen.calls.load() >= 1; }));
    EXPECT_EQ(seen.events.load(), 0u);
    EXPECT_EQ(seen.sock.load(), sock);
    EXPECT_TRUE(sock_poller_remove(sock));
    close(pair[0]);
    close(pair[1]);
}

TEST(SockEnv, StopWithoutRunningLoopReturnsZero) {
    EXPECT_EQ(sock_env_stop(), 0);
    EXPECT_EQ(sock_env_exit(), 0);
    EXPECT_EQ(sock_env_poller(), nullptr);
}

TEST(SockEnv, InitTwiceThenExitTwiceIsHarmless) {
    ASSERT_EQ(sock_env_init(), 0);
    os_poller *poller = sock_env_poller();
    EXPECT_EQ(sock_env_init(), 0);
    EXPECT_EQ(sock_env_poller(), poller);
    EXPECT_EQ(sock_env_exit(), 0);
    EXPECT_EQ(sock_env_exit(), 0);
    EXPECT_EQ(sock_env_poller(), nullptr);
}

TEST_F(SockLoopTest, ExitClosesConnectionsStillRegistered) {
    serve("evt", test_accept_into_loop, kEcho);
    int fd = client();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(echo_round_trip(fd));
    stop_server();
    sock_env_exit();
    EXPECT_TRUE(test_wait_closed(fd, 15000));
    close(fd);
}

// Threads insert contexts while the loop sweeps them out: the list and the
// poller change under the gate, and every context ends up closed.
TEST_F(SockLoopTest, ConcurrentInsertsWhileSweepRuns) {
    sock_env_first_data_timeout_set(20);
    size_t fds_before = test_open_fds();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    std::vector<std::thread> threads;
    std::vector<int> peers[kThreads];
    std::atomic<int> inserted{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&peers, &inserted, t] {
            for (int i = 0; i < kPerThread; ++i) {
                int pair[2];
                if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) != 0) continue;
                // The peer stays open and silent: only the sweep closes the context.
                peers[t].push_back(pair[1]);
                if (sock_insert_event_proc(os_socket_from_fd(pair[0]), test_echo_event, 0) == 0)
                    inserted.fetch_add(1);
                // Keep the poller below its limit.
                test_wait_until([] { return sock_event_count() < 40; }, 5000);
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_GT(inserted.load(), 0);
    EXPECT_TRUE(test_wait_until([] { return sock_event_count() == 0; }));
    for (auto &list : peers) {
        for (int fd : list) close(fd);
    }
    EXPECT_TRUE(test_wait_until([&] { return test_open_fds() == fds_before; }));
}
