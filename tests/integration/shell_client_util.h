// A raw client of the debug shell's TCP protocol for the integration tests:
// a request is its text and one byte 0; every reply ends with one byte 0.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "hubd_process_util.h"

// Safety limit of every wait below; a wait that runs into it fails the test.
constexpr int SHELL_WAIT_LIMIT_MS = 30000;

class ShellConn {
public:
    explicit ShellConn(int port);  // connects to 127.0.0.1:port
    ~ShellConn();
    ShellConn(const ShellConn &) = delete;
    ShellConn &operator=(const ShellConn &) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Sends the bytes as they are (add the terminating 0 yourself).
    bool send_raw(const std::string &bytes);
    bool request(const std::string &command) { return send_raw(command + std::string(1, '\0')); }
    // Reads until count replies have ended; they come back without their 0.
    // False when the peer closes or the limit passes first.
    bool replies(int count, std::vector<std::string> *out, int limit_ms = SHELL_WAIT_LIMIT_MS);
    // One request, one reply; "<no reply>" when none came.
    std::string run(const std::string &command, int limit_ms = SHELL_WAIT_LIMIT_MS);
    // True when the peer closes the connection within the limit (bytes before the close are dropped).
    bool wait_closed(int limit_ms = SHELL_WAIT_LIMIT_MS);
    // Closes with a reset instead of an orderly close.
    void reset();
    void close_now();

private:
    int fd_ = -1;
    std::string pending_;
};

// The reply text of a command whose output is text: LF as CR LF.
std::string crlf(const std::string &text);

// hubd.ini for a shell server on 127.0.0.1:port with the web console off.
std::string shell_ini(int port);
// Waits until the shell server of p accepts and answers on port; false when
// it did not within the limit.
bool wait_shell_ready(HubdProcess &p, int port, int limit_ms = SHELL_WAIT_LIMIT_MS);

// hubd -q in a folder of its own with shell_ini(port) and the extra lines.
struct ShellHubd {
    HubdDir dir;
    int port = free_tcp_port();
    std::unique_ptr<HubdProcess> proc;
    explicit ShellHubd(const std::string &extra_ini = "", bool keep_stdin_open = true);
    bool ready() { return wait_shell_ready(*proc, port); }
};

// The arguments of `hubd -e commands` as a client of the shell server on port.
std::vector<std::string> client_args(int port, const std::string &commands);
// Runs that client in a folder of its own, stdin_text on its standard input.
HubdResult run_client(int port, const std::string &commands, const std::string &stdin_text = "");
// True when a TCP listener can be bound on 127.0.0.1:port.
bool port_bindable(int port);
// Listening TCP sockets the process owns (from /proc/net/tcp, tcp6 and its fds).
int listening_sockets(pid_t pid);
// Entries of /proc/<pid>/task and /proc/<pid>/fd; -1 when unreadable.
int thread_count(pid_t pid);
int fd_count(pid_t pid);
// The number behind "key=" in a "show memory" reply; -1 when absent.
long long memory_field(const std::string &reply, const std::string &key);
