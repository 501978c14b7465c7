// Poller: dispatch, limits, one-shot entries, spak and kill, the wake pair.
// Every case runs against both back ends.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "libpal/os/os_poller.h"
#include "libpal/os/os_thread.h"
#include "str_log_capture.h"

namespace {

struct seen_event {
    os_poller_object object;
    uint32_t events;
    void *user;
};

struct recorder {
    std::vector<seen_event> seen;
    // Optional action run inside the callback.
    void (*action)(os_poller *poller, recorder *self, const os_poller_object *object) = nullptr;
    os_socket extra = OS_SOCKET_NONE;
};

recorder *g_recorder = nullptr;

int record_event(os_poller *poller, const os_poller_object *object, uint32_t events, void *user) {
    g_recorder->seen.push_back({*object, events, user});
    if (g_recorder->action) g_recorder->action(poller, g_recorder, object);
    return 0;
}

struct socket_pair {
    os_socket ends[2] = {};
    socket_pair() { EXPECT_TRUE(os_socket_pair(ends)); }
    socket_pair(const socket_pair &) = delete;
    socket_pair &operator=(const socket_pair &) = delete;
    ~socket_pair() {
        os_socket_exit(ends[0]);
        os_socket_exit(ends[1]);
    }
    os_socket writer() const { return ends[0]; }
    os_socket reader() const { return ends[1]; }
};

class OsPollerTest : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        poller_ = os_poller_init_backend(GetParam());
        ASSERT_NE(poller_, nullptr);
        g_recorder = &rec_;
    }
    void TearDown() override {
        stop_watchdog();
        if (poller_) os_poller_exit(poller_);
        g_recorder = nullptr;
    }
    // Ends a wait that would otherwise hang a broken test, by killing the poller.
    void start_watchdog() {
        watchdog_ = std::thread([this] {
            for (int i = 0; i < 500 && !watchdog_stop_.load(std::memory_order_relaxed); i++) {
                os_sleep_ms(10);
            }
            if (!watchdog_stop_.load(std::memory_order_relaxed)) {
                watchdog_fired_.store(true, std::memory_order_relaxed);
                os_poller_kill(poller_);
            }
        });
    }
    void stop_watchdog() {
        watchdog_stop_.store(true, std::memory_order_relaxed);
        if (watchdog_.joinable()) watchdog_.join();
    }
    bool insert(os_socket sock, uint32_t flags, void *user) {
        const os_poller_object object = os_poller_socket_object(sock);
        return os_poller_insert(poller_, &object, flags, user);
    }

    os_poller *poller_ = nullptr;
    recorder rec_;
    std::thread watchdog_;
    std::atomic<bool> watchdog_stop_{false};
    std::atomic<bool> watchdog_fired_{false};
};

int g_marker_a;
int g_marker_b;

}  // namespace

TEST_P(OsPollerTest, WaitZeroWithNothingReadyReturnsAtOnce) {
    socket_pair pair;
    ASSERT_TRUE(insert(pair.reader(), OS_POLLER_READ, &g_marker_a));
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), 0);
    EXPECT_TRUE(rec_.seen.empty());
}

TEST_P(OsPollerTest, TimeLimitEndsWaitWithZero) {
    EXPECT_EQ(os_poller_wait(poller_, record_event, 20), 0);
}

TEST_P(OsPollerTest, ReadableSocketIsDeliveredWithItsPointer) {
    socket_pair pair;
    ASSERT_TRUE(insert(pair.reader(), OS_POLLER_READ, &g_marker_a));
    ASSERT_EQ(os_socket_send(pair.writer(), "x", 1), 1);
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 1);
    ASSERT_EQ(rec_.seen.size(), 1u);
    EXPECT_EQ(rec_.seen[0].object.type, OS_POLLER_OBJECT_SOCKET);
    EXPECT_EQ(rec_.seen[0].object.handle, pair.reader());
    EXPECT_EQ(rec_.seen[0].events, OS_POLLER_READ);
    EXPECT_EQ(rec_.seen[0].user, &g_marker_a);
}

TEST_P(OsPollerTest, WriteInterestReportsWritable) {
    socket_pair pair;
    ASSERT_TRUE(insert(pair.writer(), OS_POLLER_WRITE, &g_marker_b));
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 1);
    ASSERT_EQ(rec_.seen.size(), 1u);
    EXPECT_EQ(rec_.seen[0].events, OS_POLLER_WRITE);
}

// The select back end keeps its 64 objects (63 of the caller's next to the
// wake socket); epoll takes as many as there are descriptors.
TEST_P(OsPollerTest, ObjectLimitFollowsTheBackEnd) {
    const bool bounded = std::string(GetParam()) == "select";
    const int sockets = bounded ? 64 : 300;
    std::vector<os_socket> socks;
    for (int i = 0; i < sockets; i++) {
        socks.push_back(os_socket_init(OS_SOCKET_UDP, OS_IPADDR_FAMILY_IPV4));
        ASSERT_NE(socks.back(), OS_SOCKET_NONE);
    }
    const int fit = bounded ? 63 : sockets;
    for (int i = 0; i < fit; i++) EXPECT_TRUE(insert(socks[i], OS_POLLER_READ, nullptr)) << i;
    EXPECT_EQ(os_poller_count(poller_), static_cast<size_t>(fit) + 1);
    if (bounded) {
        EXPECT_FALSE(insert(socks[63], OS_POLLER_READ, nullptr));
        // Updating a registered socket is not a new object.
        EXPECT_TRUE(insert(socks[5], OS_POLLER_READ | OS_POLLER_WRITE, &g_marker_a));
        // Removing one makes room again.
        const os_poller_object first = os_poller_socket_object(socks[0]);
        EXPECT_TRUE(os_poller_remove(poller_, &first));
        EXPECT_TRUE(insert(socks[63], OS_POLLER_READ, nullptr));
    }
    for (os_socket sock : socks) {
        const os_poller_object object = os_poller_socket_object(sock);
        os_poller_remove(poller_, &object);
        os_socket_exit(sock);
    }
    EXPECT_EQ(os_poller_count(poller_), 1u);
}

// Past the select limit, every ready socket still gets its one event.
TEST_P(OsPollerTest, ManyReadySocketsAreEachDeliveredOnce) {
    const int pairs_n = std::string(GetParam()) == "select" ? 60 : 200;
    std::vector<socket_pair> pairs(pairs_n);
    for (socket_pair &pair : pairs) {
        ASSERT_TRUE(insert(pair.reader(), OS_POLLER_READ | OS_POLLER_ONESHOT, &pair));
        ASSERT_EQ(os_socket_send(pair.writer(), "x", 1), 1);
    }
    start_watchdog();
    for (int round = 0; round < 1000 && rec_.seen.size() < pairs.size(); round++) {
        if (os_poller_wait(poller_, record_event, -1) < 0) break;
    }
    stop_watchdog();
    std::vector<int> hits(pairs.size(), 0);
    for (const seen_event &ev : rec_.seen) hits[static_cast<socket_pair *>(ev.user) - pairs.data()]++;
    for (size_t i = 0; i < pairs.size(); i++) EXPECT_EQ(hits[i], 1) << i;
}

// OS_POLLER_EDGE means edge-triggered where the back end honours it, and
// nothing (level-triggered) where it does not.
TEST_P(OsPollerTest, EdgeFlagReportsUnreadDataOnceWhereSupported) {
    socket_pair level;
    socket_pair edge;
    ASSERT_TRUE(insert(level.reader(), OS_POLLER_READ, &g_marker_a));
    ASSERT_TRUE(insert(edge.reader(), OS_POLLER_READ | OS_POLLER_EDGE, &g_marker_b));
    ASSERT_EQ(os_socket_send(level.writer(), "x", 1), 1);
    ASSERT_EQ(os_socket_send(edge.writer(), "x", 1), 1);
    ASSERT_EQ(os_socket_wait_impl(level.reader(), OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    ASSERT_EQ(os_socket_wait_impl(edge.reader(), OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 2);
    stop_watchdog();
    rec_.seen.clear();
    // Nothing was read: level-triggered entries report again, edge ones not.
    const int again = os_poller_support(poller_) ? 1 : 2;
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), again);
    ASSERT_FALSE(rec_.seen.empty());
    EXPECT_EQ(rec_.seen[0].user, &g_marker_a);
    // New data is a new edge.
    rec_.seen.clear();
    ASSERT_EQ(os_socket_send(edge.writer(), "y", 1), 1);
    ASSERT_EQ(os_socket_wait_impl(edge.reader(), OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), 2);
}

TEST_P(OsPollerTest, OneShotEntryFiresOnceWithPlainFlags) {
    socket_pair pair;
    ASSERT_TRUE(insert(pair.reader(), OS_POLLER_READ | OS_POLLER_ONESHOT, &g_marker_a));
    ASSERT_EQ(os_socket_send(pair.writer(), "x", 1), 1);
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 1);
    ASSERT_EQ(rec_.seen.size(), 1u);
    EXPECT_EQ(rec_.seen[0].events, OS_POLLER_READ);
    // The byte is still unread, yet the entry is gone.
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), 0);
    EXPECT_EQ(rec_.seen.size(), 1u);
}

TEST_P(OsPollerTest, RemovedSocketIsNoLongerWatched) {
    socket_pair pair;
    ASSERT_TRUE(insert(pair.reader(), OS_POLLER_READ, &g_marker_a));
    const os_poller_object object = os_poller_socket_object(pair.reader());
    EXPECT_TRUE(os_poller_remove(poller_, &object));
    EXPECT_TRUE(os_poller_remove(poller_, &object));  // not registered: still true
    ASSERT_EQ(os_socket_send(pair.writer(), "x", 1), 1);
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), 0);
    EXPECT_TRUE(rec_.seen.empty());
}

TEST_P(OsPollerTest, ModifySwitchesInterestAndPointer) {
    socket_pair pair;
    ASSERT_TRUE(insert(pair.writer(), OS_POLLER_READ, &g_marker_a));
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), 0);
    const os_poller_object object = os_poller_socket_object(pair.writer());
    ASSERT_TRUE(os_poller_modify(poller_, &object, OS_POLLER_WRITE, &g_marker_b));
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 1);
    ASSERT_EQ(rec_.seen.size(), 1u);
    EXPECT_EQ(rec_.seen[0].events, OS_POLLER_WRITE);
    EXPECT_EQ(rec_.seen[0].user, &g_marker_b);
    ASSERT_TRUE(os_poller_modify(poller_, &object, 0, &g_marker_b));
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), 0);
}

TEST_P(OsPollerTest, TwoSpaksEndTwoWaitCycles) {
    ASSERT_TRUE(os_poller_spak(poller_));
    ASSERT_TRUE(os_poller_spak(poller_));
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 0);
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 0);
    stop_watchdog();
    EXPECT_FALSE(watchdog_fired_.load(std::memory_order_relaxed));
    EXPECT_EQ(os_poller_wait(poller_, record_event, 0), 0);
}

TEST_P(OsPollerTest, SpakFromAnotherThreadWakesBlockedWait) {
    std::thread waker([this] {
        os_sleep_ms(20);
        os_poller_spak(poller_);
    });
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 0);
    waker.join();
    stop_watchdog();
    EXPECT_FALSE(watchdog_fired_.load(std::memory_order_relaxed));
}

TEST_P(OsPollerTest, KillEndsWaitWithMinusOne) {
    ASSERT_TRUE(os_poller_kill(poller_));
    str_log_capture log;
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), -1);
}

TEST_P(OsPollerTest, KillDuringPassStillDeliversRecordedEvents) {
    socket_pair pair;
    ASSERT_TRUE(insert(pair.reader(), OS_POLLER_READ, &g_marker_a));
    ASSERT_EQ(os_socket_send(pair.writer(), "x", 1), 1);
    ASSERT_TRUE(os_poller_kill(poller_));
    // Both are ready before the wait starts, so one pass sees both.
    ASSERT_EQ(os_socket_wait_impl(pair.reader(), OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    ASSERT_EQ(os_socket_wait_impl(poller_->wake_read.load(), OS_SOCKET_WAIT_READ, 5000),
              OS_SOCKET_WAIT_READ);
    str_log_capture log;
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), -1);
    ASSERT_EQ(rec_.seen.size(), 1u);
    EXPECT_EQ(rec_.seen[0].user, &g_marker_a);
}

TEST_P(OsPollerTest, PendingSocketErrorAddsErrorFlag) {
    os_ipaddr target;
    os_ipaddr_clear(&target);
    os_ipaddr_ip_cstr_set(&target, "127.0.0.1");
    {
        // Find a loopback port with no listener.
        const os_socket probe = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
        ASSERT_TRUE(os_socket_bind(probe, &target));
        ASSERT_TRUE(os_socket_local(probe, &target));
        os_socket_exit(probe);
    }
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    const int r = os_socket_connect(sock, &target);
    if (r != 0) {
        os_socket_exit(sock);
        GTEST_SKIP() << "refusal reported at once";
    }
    ASSERT_TRUE(insert(sock, OS_POLLER_WRITE, &g_marker_a));
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 1);
    ASSERT_EQ(rec_.seen.size(), 1u);
    EXPECT_TRUE(rec_.seen[0].events & OS_POLLER_ERROR);
    const os_poller_object object = os_poller_socket_object(sock);
    os_poller_remove(poller_, &object);
    os_socket_exit(sock);
}

TEST_P(OsPollerTest, CallbackMayRemoveAnotherReadySocket) {
    socket_pair first;
    socket_pair second;
    ASSERT_TRUE(insert(first.reader(), OS_POLLER_READ, &g_marker_a));
    ASSERT_TRUE(insert(second.reader(), OS_POLLER_READ, &g_marker_b));
    ASSERT_EQ(os_socket_send(first.writer(), "x", 1), 1);
    ASSERT_EQ(os_socket_send(second.writer(), "x", 1), 1);
    ASSERT_EQ(os_socket_wait_impl(first.reader(), OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    ASSERT_EQ(os_socket_wait_impl(second.reader(), OS_SOCKET_WAIT_READ, 5000), OS_SOCKET_WAIT_READ);
    // The first delivered drops the other, whose owner would then free what its pointer names.
    // extra holds the two readers' sum, so that either one names the other.
    rec_.extra = first.reader() + second.reader();
    rec_.action = [](os_poller *poller, recorder *self, const os_poller_object *object) {
        if (self->seen.size() != 1) return;
        const os_socket other = self->extra - object->handle;
        const os_poller_object later = os_poller_socket_object(other);
        os_poller_remove(poller, &later);
    };
    start_watchdog();
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 1);
    EXPECT_EQ(rec_.seen.size(), 1u);
}

TEST_P(OsPollerTest, BrokenWakePairIsRebuilt) {
    const os_socket old_write = poller_->wake_write.load();
    // The reader sees end of stream instead of a wake byte.
    ASSERT_EQ(shutdown(os_socket_fd(old_write), SHUT_WR), 0);
    start_watchdog();
    {
        str_log_capture log;
        EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 0);
        EXPECT_TRUE(str_contains(log.take(), "recv ret=0 error: "));
    }
    EXPECT_NE(poller_->wake_write.load(), OS_SOCKET_NONE);
    // The new pair carries wake-ups.
    ASSERT_TRUE(os_poller_spak(poller_));
    EXPECT_EQ(os_poller_wait(poller_, record_event, -1), 0);
    stop_watchdog();
    EXPECT_FALSE(watchdog_fired_.load(std::memory_order_relaxed));
}

TEST_P(OsPollerTest, PipeAndProcessObjectsAreRefused) {
    str_log_capture log;
    const os_poller_object pipe{OS_POLLER_OBJECT_PIPE, 5};
    const os_poller_object proc{OS_POLLER_OBJECT_PROC, 5};
    EXPECT_FALSE(os_poller_insert(poller_, &pipe, OS_POLLER_READ, nullptr));
    EXPECT_FALSE(os_poller_insert(poller_, &proc, OS_POLLER_READ, nullptr));
    const std::string text = log.take();
    EXPECT_TRUE(str_contains(text, "object->type != OS_POLLER_OBJECT_PIPE"));
    EXPECT_TRUE(str_contains(text, "object->type != OS_POLLER_OBJECT_PROC"));
}

TEST_P(OsPollerTest, PointerWithTopBitIsRefused) {
    socket_pair pair;
    str_log_capture log;
    void *marked = reinterpret_cast<void *>(uintptr_t{1} << 63);
    EXPECT_FALSE(insert(pair.reader(), OS_POLLER_READ, marked));
    EXPECT_TRUE(str_contains(log.take(), "PL_CPU_BITSIZE"));
}

TEST_P(OsPollerTest, NullArgumentsAreAssertionsNotCrashes) {
    str_log_capture log;
    EXPECT_EQ(os_poller_wait(poller_, nullptr, 0), -1);
    EXPECT_FALSE(os_poller_insert(poller_, nullptr, OS_POLLER_READ, nullptr));
    EXPECT_FALSE(os_poller_remove(nullptr, nullptr));
    const std::string text = log.take();
    EXPECT_TRUE(str_contains(text, "poller && poller->wait && func"));
    EXPECT_TRUE(str_contains(text, "poller && poller->insert && object"));
    EXPECT_TRUE(str_contains(text, "poller && poller->remove && object"));
}

TEST_P(OsPollerTest, BackEndNameSupportAndAttach) {
    EXPECT_STREQ(os_poller_backend_name(poller_), GetParam());
    EXPECT_EQ(os_poller_support(poller_), std::string(GetParam()) == "epoll");
    EXPECT_TRUE(os_poller_attach(poller_));
}

TEST_P(OsPollerTest, ConcurrentInsertFromOtherThreadIsPickedUpAfterSpak) {
    constexpr int kSockets = 20;
    std::vector<socket_pair> pairs(kSockets);
    std::atomic<int> inserted{0};
    std::thread producer([&] {
        for (int i = 0; i < kSockets; i++) {
            const os_poller_object object = os_poller_socket_object(pairs[i].reader());
            os_poller_insert(poller_, &object, OS_POLLER_READ | OS_POLLER_ONESHOT, &pairs[i]);
            os_socket_send(pairs[i].writer(), "x", 1);
            inserted.fetch_add(1, std::memory_order_relaxed);
            os_poller_spak(poller_);
        }
    });
    start_watchdog();
    size_t rounds = 0;
    while (rec_.seen.size() < kSockets && !watchdog_fired_.load(std::memory_order_relaxed) &&
           rounds++ < 10000) {
        if (os_poller_wait(poller_, record_event, -1) < 0) break;
    }
    producer.join();
    stop_watchdog();
    EXPECT_EQ(inserted.load(std::memory_order_relaxed), kSockets);
    ASSERT_EQ(rec_.seen.size(), static_cast<size_t>(kSockets));
    std::vector<int> hits(kSockets, 0);
    for (const seen_event &ev : rec_.seen) {
        const auto *pair = static_cast<socket_pair *>(ev.user);
        hits[pair - pairs.data()]++;
    }
    for (int i = 0; i < kSockets; i++) EXPECT_EQ(hits[i], 1) << i;
}

INSTANTIATE_TEST_SUITE_P(BackEnds, OsPollerTest, testing::Values("epoll", "select"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

TEST(OsPollerBackEnd, EpollIsTheDefaultAndSelectCanBeChosen) {
    EXPECT_STREQ(os_poller_backend_name(nullptr), "epoll");
    {
        str_log_capture log;
        EXPECT_EQ(os_poller_init_backend("kqueue"), nullptr);
        EXPECT_FALSE(os_poller_backend_set("kqueue"));
    }
    EXPECT_STREQ(os_poller_backend_name(nullptr), "epoll");
    ASSERT_TRUE(os_poller_backend_set("select"));
    os_poller *poller = os_poller_init();
    ASSERT_NE(poller, nullptr);
    EXPECT_STREQ(os_poller_backend_name(poller), "select");
    os_poller_exit(poller);
    ASSERT_TRUE(os_poller_backend_set("epoll"));
}
