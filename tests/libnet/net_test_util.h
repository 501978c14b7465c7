// Helpers shared by the networking tests: raw loopback clients written with
// plain POSIX calls (so they do not depend on the code under test), bounded
// waits, descriptor counting and an event-loop fixture.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "libnet/sock_tcp_server.h"

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
// Reads until len bytes came, the peer closed or ms passed between two reads; what came.
std::string test_recv_n(int fd, size_t len, int ms = 10000);
// Sends msg and expects the same bytes back (ms as for test_recv_n).
bool test_round_trip(int fd, const std::string &msg, int ms = 10000);
// Port of a fresh listener bound to 127.0.0.1 port 0 and closed again: nothing listens there.
int test_dead_port();

// Polls pred every 5 ms up to bound_ms; the last value of pred.
bool test_wait_until(const std::function<bool()> &pred, int bound_ms = 10000);
// Runs what on a thread of its own after ms; join it.
std::thread test_later(int ms, std::function<void()> what);
// Entries of /proc/self/fd.
size_t test_open_fds();

// Loop passes counted by the periodic hook of the fixture.
extern std::atomic<uint64_t> g_test_loop_passes;
// Waits until the loop has run count more passes.
bool test_wait_loop_passes(uint64_t count, int bound_ms = 20000);

// Event procedure that echoes what came and ends the connection at the peer's close.
int test_echo_event(os_socket sock, uint32_t events, uint64_t arg);
// Accept procedure that puts the connection into the loop with the event procedure in arg.
int test_accept_into_loop(os_socket sock, const os_ipaddr *peer, void *arg);
// Listener on 127.0.0.1 port 0 named name; null on failure, *port set.
sock_srv *test_server_start(const char *name, int backlog, sock_accept_proc accept, void *arg, int *port);

// Starts the event loop with both time-outs off and a pass-counting hook;
// stops and frees it afterwards.
class SockLoopTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the test's listener (see test_server_start), stopped before the loop.
    void serve(const char *name, sock_accept_proc accept, void *arg = nullptr, int backlog = 64);
    void stop_server();
    // A client of that listener; -1 on failure.
    int client() const { return test_tcp_connect("127.0.0.1", port_); }
    sock_srv *srv_ = nullptr;
    int port_ = 0;
};
