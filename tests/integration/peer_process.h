// Runs a real peer program (rsyslogd, tinyproxy, danted, ...) for a test:
// started with its own arguments, output to a file, stopped with SIGTERM.
// Header-only so that the test folders of several libraries can share it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// A port on 127.0.0.1 of socket type (SOCK_STREAM / SOCK_DGRAM) that was free a moment ago.
inline int peer_free_port(int type) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

inline bool peer_tcp_accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// True while nothing holds the UDP port on 127.0.0.1 (the peer has not bound it yet).
inline bool peer_udp_free(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool free = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    return free;
}

inline bool peer_wait_until(const std::function<bool()> &pred, int bound_ms = 10000) {
    for (int waited = 0; waited < bound_ms; waited += 20) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

inline std::string peer_read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void peer_write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A fresh folder under $TMPDIR (or /tmp) for a peer's files, removed with them.
class PeerTempDir {
public:
    PeerTempDir() {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/hubd_peer_XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) path_ = buf.data();
    }
    ~PeerTempDir() {
        if (path_.empty()) return;
        nftw(path_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    PeerTempDir(const PeerTempDir &) = delete;
    PeerTempDir &operator=(const PeerTempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess() { stop(); }
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Starts argv[0] with output appended to log_path; false when it cannot start.
    bool start(const std::vector<std::string> &argv, const std::string &log_path) {
        stop();
        if (argv.empty() || access(argv[0].c_str(), X_OK) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            int null_fd = open("/dev/null", O_RDONLY);
            if (null_fd >= 0) dup2(null_fd, 0);
            for (int i = 3; i < 1024; ++i) close(i);
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        return true;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 250; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};
