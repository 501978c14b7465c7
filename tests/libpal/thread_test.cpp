// Threads, thread names, the mutex, clocks, durations and the random filler.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "libpal/env/random.h"
#include "libpal/env/thread_name.h"
#include "libpal/os/os_mutex.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"

namespace {

struct NameProbe {
    char name[OS_THREAD_NAME_MAXN];
    uint32_t tid;
};

uint32_t record_name(void *arg) {
    auto *probe = static_cast<NameProbe *>(arg);
    os_thread_name_get(probe->name);
    probe->tid = os_thread_id();
    return 7;
}

TEST(OsThread, NewThreadCarriesNameHashAndIdAndExitCode) {
    NameProbe probe{};
    os_thread *t = os_thread_init("bsvnet", record_name, &probe, nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    uint32_t code = 0;
    EXPECT_EQ(os_thread_wait_kill_exit(t, 0, &code), 0);
    EXPECT_EQ(code, 7u);
    std::string expected = "bsvnet_[0-9a-f]{4}_" + std::to_string(probe.tid);
    EXPECT_TRUE(std::regex_match(probe.name, std::regex(expected))) << probe.name;
}

TEST(OsThread, DeletedNameFallsBackToTheBareId) {
    char mine[OS_THREAD_NAME_MAXN];
    os_thread_name_del();
    os_thread_name_get(mine);
    EXPECT_EQ(std::string(mine), std::to_string(os_thread_id()));
    ASSERT_EQ(os_thread_name_set("tester"), 0);
    os_thread_name_get(mine);
    EXPECT_EQ(std::string(mine).rfind("tester_", 0), 0u);
    os_thread_name_del();
}

TEST(OsThread, NamesakesGetDifferentSuffixesMostOfTheTime) {
    // Two registrations of the same name at different instants differ in
    // their hash suffix unless the clock hashes collide, which is rare.
    char first[OS_THREAD_NAME_MAXN], second[OS_THREAD_NAME_MAXN];
    int differing = 0;
    for (int i = 0; i < 8; ++i) {
        os_thread_name_set("same");
        os_thread_name_get(first);
        os_sleep_ms(1);
        os_thread_name_set("same");
        os_thread_name_get(second);
        differing += std::strcmp(first, second) != 0;
    }
    os_thread_name_del();
    EXPECT_GE(differing, 6);
}

std::atomic<bool> g_release{false};

uint32_t wait_for_release(void *) {
    while (!g_release.load()) os_sleep_ms(5);
    return 0;
}

std::string kernel_name(uint32_t tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// ps, pgrep and killall find the process by its main thread's name.
TEST(OsThread, KernelNameFollowsTheRegisteredNameExceptOnTheMainThread) {
    std::string process_name = kernel_name(os_thread_id());
    ASSERT_FALSE(process_name.empty());
    os_thread_name_set("main");
    EXPECT_EQ(kernel_name(os_thread_id()), process_name);
    std::string worker_name;
    std::thread worker([&] {
        os_thread_name_set("a_long_worker_name");
        worker_name = kernel_name(os_thread_id());
        os_thread_name_del();
    });
    worker.join();
    EXPECT_EQ(worker_name, "a_long_worker_n");
    os_thread_name_del();
}

TEST(OsThread, WaitGivesUpAfterOneSecondWithMinusTwo) {
    g_release = false;
    os_thread *t = os_thread_init("stuck", wait_for_release, nullptr, nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(os_thread_wait_kill_exit(t, 0, nullptr), -2);
    g_release = true;  // the detached thread ends on its own
}

struct Counter {
    mutex_t *lock;
    long value;
    std::atomic<int> done;
};

uint32_t add_many(void *arg) {
    auto *c = static_cast<Counter *>(arg);
    for (int i = 0; i < 20000; ++i) {
        mutex_guard outer(c->lock);
        mutex_guard inner(c->lock);  // recursive for its owner
        ++c->value;
    }
    c->done.fetch_add(1);
    return 0;
}

TEST(OsMutex, ConcurrentIncrementsUnderTheRecursiveMutexAreExact) {
    Counter c{mutex_malloc(), 0, {0}};
    ASSERT_NE(c.lock, nullptr);
    os_thread *a = os_thread_init("adder", add_many, &c, nullptr, nullptr);
    os_thread *b = os_thread_init("adder", add_many, &c, nullptr, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    // Sanitizer builds can be slow; wait for both to finish, then release the handles.
    for (int i = 0; i < 6000 && c.done.load() < 2; ++i) os_sleep_ms(10);
    ASSERT_EQ(c.done.load(), 2);
    EXPECT_EQ(os_thread_wait_kill_exit(a, 0, nullptr), 0);
    EXPECT_EQ(os_thread_wait_kill_exit(b, 0, nullptr), 0);
    EXPECT_EQ(c.value, 40000);
    mutex_free(c.lock);
}

// Another thread's try fails while the mutex is held, at any depth, and
// succeeds once the owner has given back every level; an unlock by a thread
// that does not hold it changes nothing.
TEST(OsMutex, ConcurrentTryLockSucceedsForItsOwnerOnly) {
    mutex_t *m = mutex_malloc();
    ASSERT_NE(m, nullptr);
    auto other_try = [m] {
        bool got = false;
        std::thread([&] {
            got = mutex_trylock(m);
            if (got) mutex_unlock(m);
        }).join();
        return got;
    };
    ASSERT_TRUE(mutex_trylock(m));
    ASSERT_TRUE(mutex_trylock(m));
    EXPECT_FALSE(other_try());
    std::thread([m] { mutex_unlock(m); }).join();
    mutex_unlock(m);
    EXPECT_FALSE(other_try());
    mutex_unlock(m);
    EXPECT_TRUE(other_try());
    mutex_free(m);
}

TEST(StrDuration, Texts) {
    char out[64];
    EXPECT_STREQ(str_duration(90061.5, out, sizeof out), "1 day 1 hour 1 minute");
    EXPECT_STREQ(str_duration(5.25, out, sizeof out), "5.250 seconds");
    EXPECT_STREQ(str_duration(60, out, sizeof out), "1 minute");
    EXPECT_STREQ(str_duration(3600, out, sizeof out), "1 hour 0.000 second");
    EXPECT_STREQ(str_duration(2 * 86400 + 7200 + 180, out, sizeof out), "2 days 2 hours 3 minutes");
    EXPECT_STREQ(str_duration(1, out, sizeof out), "1.000 second");
}

TEST(OsClock, MonotonicAndRealtimeMoveForward) {
    uint64_t a = os_clock_ms();
    os_sleep_ms(20);
    EXPECT_GE(os_clock_ms(), a + 20);
    os_timespec ts;
    os_clock_realtime(&ts);
    EXPECT_GT(ts.sec, 1700000000);
    EXPECT_EQ(ts.nsec % 100, 0);
    os_timeval tv;
    os_localtime_tv(&tv);
    EXPECT_EQ(tv.usec % 1000, 0);
}

TEST(MemoryRandom, TwelveBytesAreOneWordAndFourBytesOfTheNext) {
    memory_random_seed(12345);
    unsigned char got[12];
    EXPECT_EQ(memory_random_imp(nullptr, got, sizeof got), 12);
    // The same stream, one whole word at a time.
    memory_random_seed(12345);
    uint64_t words[2];
    memory_random_imp(nullptr, words, sizeof words);
    EXPECT_EQ(std::memcmp(got, &words[0], 8), 0);
    EXPECT_EQ(std::memcmp(got + 8, &words[1], 4), 0);
    EXPECT_EQ(memory_random_imp(nullptr, got, 0), 0);
    EXPECT_EQ(memory_random_imp(nullptr, nullptr, 4), -1);
}

TEST(MemoryRandom, FollowsXorshift64) {
    memory_random_seed(1);
    uint64_t x = 1;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    uint64_t got = 0;
    memory_random_imp(nullptr, &got, 8);
    EXPECT_EQ(got, x);
}

}  // namespace
