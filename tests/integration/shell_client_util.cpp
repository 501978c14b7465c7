#include "shell_client_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace {

int count_dir(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// Socket inodes of listening TCP sockets in one /proc/net table.
void listening_inodes(const std::string &table, std::set<std::string> *inodes) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
        f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state == "0A") inodes->insert(inode);
    }
}

}  // namespace

ShellConn::ShellConn(int port) : fd_(loopback_connect(port)) {}

ShellConn::~ShellConn() { close_now(); }

void ShellConn::close_now() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void ShellConn::reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close_now();
}

bool ShellConn::send_raw(const std::string &bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

bool ShellConn::replies(int count, std::vector<std::string> *out, int limit_ms) {
    long end = now_ms() + limit_ms;
    while (static_cast<int>(out->size()) < count) {
        size_t marker = pending_.find('\0');
        if (marker != std::string::npos) {
            out->push_back(pending_.substr(0, marker));
            pending_.erase(0, marker + 1);
            continue;
        }
        long left = end - now_ms();
        if (fd_ < 0 || left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
    return true;
}

std::string ShellConn::run(const std::string &command, int limit_ms) {
    std::vector<std::string> got;
    if (!request(command) || !replies(1, &got, limit_ms)) return "<no reply>";
    return got[0];
}

bool ShellConn::wait_closed(int limit_ms) {
    long end = now_ms() + limit_ms;
    while (fd_ >= 0) {
        long left = end - now_ms();
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

std::string crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string shell_ini(int port) {
    return "[debug]\nshell_server_port = " + std::to_string(port) +
           "\nshell_server_addr = 127.0.0.1\nhttp_server_port = 0\n";
}

bool wait_shell_ready(HubdProcess &p, int port, int limit_ms) {
    long end = now_ms() + limit_ms;
    while (now_ms() < end) {
        if (!p.running()) return false;
        ShellConn probe(port);
        if (probe.connected() && probe.run("echo ready", 5000) == "ready\r\n") return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

ShellHubd::ShellHubd(const std::string &extra_ini, bool keep_stdin_open) {
    dir.write_file("hubd.ini", shell_ini(port) + extra_ini);
    proc = std::make_unique<HubdProcess>(dir, std::vector<std::string>{"-q"}, EnvOverrides{}, keep_stdin_open);
}

std::vector<std::string> client_args(int port, const std::string &commands) {
    return {"-q", "-s", "debug_server_port=" + std::to_string(port), "-s", "http_server_port=0", "-e", commands};
}

HubdResult run_client(int port, const std::string &commands, const std::string &stdin_text) {
    HubdDir dir;
    return run_hubd(dir, client_args(port, commands), {}, stdin_text);
}

bool port_bindable(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = loopback_addr(port);
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd, 1) == 0;
    close(fd);
    return ok;
}

int listening_sockets(pid_t pid) {
    std::set<std::string> inodes;
    listening_inodes("/proc/net/tcp", &inodes);
    listening_inodes("/proc/net/tcp6", &inodes);
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent *e = readdir(d)) {
        char target[256];
        ssize_t len = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (len <= 0) continue;
        target[len] = 0;
        // "socket:[12345]"
        if (std::strncmp(target, "socket:[", 8) != 0) continue;
        std::string inode(target + 8, std::strlen(target + 8) - 1);
        n += inodes.count(inode) ? 1 : 0;
    }
    closedir(d);
    return n;
}

int thread_count(pid_t pid) { return count_dir("/proc/" + std::to_string(pid) + "/task"); }

int fd_count(pid_t pid) { return count_dir("/proc/" + std::to_string(pid) + "/fd"); }

long long memory_field(const std::string &reply, const std::string &key) {
    size_t at = reply.find(key + "=");
    if (at == std::string::npos) return -1;
    return std::atoll(reply.c_str() + at + key.size() + 1);
}
