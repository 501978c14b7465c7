#include "hubd_process_util.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

void set_env(const EnvOverrides &env) {
    for (const auto &[key, value] : env) {
        if (value.empty())
            unsetenv(key.c_str());
        else
            setenv(key.c_str(), value.c_str(), 1);
    }
}

}  // namespace

pid_t spawn_child(const std::vector<std::string> &argv, const EnvOverrides &env, int *in, int *out, int *err) {
    int pin[2] = {-1, -1}, pout[2], perr[2];
    if ((in && pipe2(pin, O_CLOEXEC)) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC)) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in ? pin[0] : open("/dev/null", O_RDONLY), 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        setpgid(0, 0);
        // Not run by systemd unless the test says so.
        unsetenv("NOTIFY_SOCKET");
        set_env(env);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (in) {
        close(pin[0]);
        *in = pin[1];
    }
    close(pout[1]);
    close(perr[1]);
    *out = pout[0];
    *err = perr[0];
    fcntl(*out, F_SETFL, O_NONBLOCK);
    fcntl(*err, F_SETFL, O_NONBLOCK);
    return pid;
}

std::vector<std::string> no_servers(const std::vector<std::string> &extra) {
    std::vector<std::string> args = {"-q", "-s", "debug_server_port=0", "-s", "http_server_port=0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void drain(int fd, std::string &into) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return;
        into.append(buf, static_cast<size_t>(n));
    }
}


HubdDir::HubdDir() {
    char tmpl[] = "/tmp/hubd-it-XXXXXX";
    path_ = mkdtemp(tmpl);
    fs::copy_file(HUBD_BIN, binary());
    fs::permissions(binary(), fs::perms::owner_all);
}

HubdDir::~HubdDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void HubdDir::write_file(const std::string &name, const std::string &text) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
}

std::string HubdDir::read_file(const std::string &name) const { return read_text(path_ + "/" + name); }

size_t count_of(const std::string &text, const std::string &piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool HubdDir::exists(const std::string &name) const { return fs::exists(path_ + "/" + name); }

HubdResult run_hubd(const HubdDir &dir, const std::vector<std::string> &args, const EnvOverrides &env,
                    const std::string &stdin_text, int safety_limit_ms) {
    HubdProcess p(dir, args, env, true);
    if (!stdin_text.empty()) p.send(stdin_text);
    p.close_stdin();
    HubdResult r = p.wait(safety_limit_ms);
    return r;
}

HubdProcess::HubdProcess(const HubdDir &dir, const std::vector<std::string> &args, const EnvOverrides &env,
                         bool keep_stdin_open) {
    std::vector<std::string> argv = {dir.binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn_child(argv, env, &in_, &out_fd_, &err_fd_);
    if (!keep_stdin_open) close_stdin();
}

HubdProcess::~HubdProcess() {
    if (!ended_ && pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_fd_, err_fd_})
        if (fd >= 0) close(fd);
}

bool HubdProcess::send(const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void HubdProcess::close_stdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void HubdProcess::pump(int ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    poll(fds, 2, ms);
    drain(out_fd_, out_);
    drain(err_fd_, err_);
}

bool HubdProcess::running() {
    if (ended_) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        ended_ = true;
        result_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result_.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return false;
    }
    return true;
}

bool HubdProcess::wait_for(const std::string &text, const std::string &stream, int safety_limit_ms) {
    long end = now_ms() + safety_limit_ms;
    while (now_ms() < end) {
        pump(50);
        if (stream.find(text) != std::string::npos) return true;
        if (!running()) {
            pump(0);
            return stream.find(text) != std::string::npos;
        }
    }
    return false;
}

bool HubdProcess::wait_for_err(const std::string &text, int safety_limit_ms) {
    return wait_for(text, err_, safety_limit_ms);
}

bool HubdProcess::wait_for_out(const std::string &text, int safety_limit_ms) {
    return wait_for(text, out_, safety_limit_ms);
}

HubdResult HubdProcess::wait(int safety_limit_ms) {
    long end = now_ms() + safety_limit_ms;
    while (running() && now_ms() < end) pump(20);
    if (!ended_) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        ended_ = true;
        result_.exit_code = -1;
        result_.term_signal = SIGKILL;
    }
    // Whatever is still in the pipes belongs to this run.
    for (int i = 0; i < 3; ++i) pump(10);
    result_.out = out_;
    result_.err = err_;
    return result_;
}

HubdResult HubdProcess::stop(int sig, int safety_limit_ms) {
    if (running()) kill(pid_, sig);
    return wait(safety_limit_ms);
}

long HubdProcess::cpu_ticks() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close_paren = content.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream fields(content.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

int free_tcp_port() {
    int port = 0;
    close(loopback_bind(SOCK_STREAM, 0, &port));
    return port;
}

sockaddr_in loopback_addr(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int loopback_bind(int type, int port, int *bound) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback_addr(port);
    socklen_t len = sizeof a;
    const bool tcp = (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_STREAM;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (tcp && listen(fd, 64) != 0)) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    if (bound) *bound = ntohs(a.sin_port);
    return fd;
}

int loopback_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback_addr(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}
