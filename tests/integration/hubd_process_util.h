// Runs the real hubd binary for the integration tests: each test gets a
// private folder with its own copy of the binary, so that the hubd.ini beside
// it and the log files are the test's alone.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct HubdResult {
    int exit_code = -1;   // -1 when it did not exit on its own
    int term_signal = 0;  // signal that ended it, if any
    std::string out;
    std::string err;
};

class HubdDir {
public:
    HubdDir();
    ~HubdDir();
    HubdDir(const HubdDir &) = delete;
    HubdDir &operator=(const HubdDir &) = delete;

    const std::string &path() const { return path_; }
    std::string binary() const { return path_ + "/hubd"; }
    void write_file(const std::string &name, const std::string &text) const;
    std::string read_file(const std::string &name) const;
    bool exists(const std::string &name) const;

private:
    std::string path_;
};

using EnvOverrides = std::map<std::string, std::string>;  // an empty value removes the variable

// Runs hubd to its end; stdin gets stdin_text then end of file. A run that
// outlives the safety limit is killed, and exit_code stays -1.
HubdResult run_hubd(const HubdDir &dir, const std::vector<std::string> &args, const EnvOverrides &env = {},
                    const std::string &stdin_text = "", int safety_limit_ms = 30000);

// A hubd that runs in the background until the test stops it.
class HubdProcess {
public:
    HubdProcess(const HubdDir &dir, const std::vector<std::string> &args, const EnvOverrides &env = {},
                bool keep_stdin_open = true);
    ~HubdProcess();
    pid_t pid() const { return pid_; }
    // Writes to its standard input.
    bool send(const std::string &text);
    void close_stdin();
    // Reads standard error (and output) until the text appears; false when the
    // process ends or the safety limit passes first.
    bool wait_for_err(const std::string &text, int safety_limit_ms = 20000);
    bool wait_for_out(const std::string &text, int safety_limit_ms = 20000);
    // Sends sig and collects the end.
    HubdResult stop(int sig, int safety_limit_ms = 20000);
    // Waits for the process to end by itself.
    HubdResult wait(int safety_limit_ms = 20000);
    bool running();
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }
    // CPU time (user+system, clock ticks) used so far.
    long cpu_ticks() const;
    // Collects what it has written, waiting up to ms for the first of it.
    void pump(int ms);

private:
    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    HubdResult result_;
    bool ended_ = false;
    bool wait_for(const std::string &text, const std::string &stream, int safety_limit_ms);
};

// Starts argv (argv[0] looked up in PATH) in a process group of its own, its
// output and errors on non-blocking pipes, its input a pipe when in is given
// and /dev/null otherwise; -1 when it cannot.
pid_t spawn_child(const std::vector<std::string> &argv, const EnvOverrides &env, int *in, int *out, int *err);
// Arguments of a console-only run (-q, both servers off), then the extra ones.
std::vector<std::string> no_servers(const std::vector<std::string> &extra = {});

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer keeps the fault signals; crash handling is off there"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

// How often piece occurs in text.
size_t count_of(const std::string &text, const std::string &piece);
// The whole file; empty when it cannot be read.
std::string read_text(const std::string &path);

// Milliseconds of a steady clock, for the safety limits of the waits.
long now_ms();
// Appends whatever the non-blocking descriptor holds now.
void drain(int fd, std::string &into);

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_tcp_port();
// 127.0.0.1:port as a socket address.
sockaddr_in loopback_addr(int port);
// A socket of the type bound to 127.0.0.1:port (0: a free one, written to
// *bound) and, for TCP, listening; -1 when the port is taken.
int loopback_bind(int type, int port = 0, int *bound = nullptr);
// A TCP connection to 127.0.0.1:port; -1 when nothing accepts.
int loopback_connect(int port);
