// Helpers shared by the networking tests: raw loopback clients written with
// plain POSIX calls (so they do not depend on the code under test), bounded
// waits, descriptor counting and an event-loop fixture.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

// Blocking TCP connect to ip:port (IPv4 or IPv6 literal); the descriptor or -1.
int test_tcp_connect(const char *ip, int port);
// Non-blocking connect started; the descriptor or -1.
int test_tcp_connect_nowait(const char *ip, int port);
// Bytes read (0 on end of stream), -1 on error, -2 when nothing came within ms.
int test_recv(int fd, void *buf, size_t len, int ms);
// Sends everything; true on success.
bool test_send_all(int fd, const void *buf, size_t len);
// Waits until the peer closed (end of stream or reset); false when it did not within ms.
bool test_wait_closed(int fd, int ms);
// Port of a fresh listener bound to 127.0.0.1 port 0 and closed again: nothing listens there.
int test_dead_port();

// Polls pred every 5 ms up to bound_ms; the last value of pred.
bool test_wait_until(const std::function<bool()> &pred, int bound_ms = 10000);
// Entries of /proc/self/fd.
size_t test_open_fds();

// Loop passes counted by the periodic hook of the fixture.
extern std::atomic<uint64_t> g_test_loop_passes;
// Waits until the loop has run count more passes.
bool test_wait_loop_passes(uint64_t count, int bound_ms = 20000);

// Starts the event loop with both time-outs off and a pass-counting hook;
// stops and frees it afterwards.
class SockLoopTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
