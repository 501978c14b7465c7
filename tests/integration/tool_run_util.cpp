#include "tool_run_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

ToolProcess::ToolProcess(const std::vector<std::string> &argv, const EnvOverrides &env) {
    int pout[2], perr[2];
    if (pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC)) return;
    pid_ = fork();
    if (pid_ == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        setpgid(0, 0);
        for (const auto &[key, value] : env) {
            if (value.empty()) {
                unsetenv(key.c_str());
            } else {
                setenv(key.c_str(), value.c_str(), 1);
            }
        }
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pout[1]);
    close(perr[1]);
    out_fd_ = pout[0];
    err_fd_ = perr[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

void ToolProcess::signal(int sig) {
    if (pid_ > 0) kill(-pid_, sig);
}

ToolResult ToolProcess::wait(int safety_limit_ms) {
    ToolResult result;
    if (pid_ <= 0) return result;
    long end = now_ms() + safety_limit_ms;
    int status = 0;
    bool ended = false;
    while (!ended) {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        poll(fds, 2, 50);
        drain(out_fd_, result.out);
        drain(err_fd_, result.err);
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended && now_ms() > end) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return result;
        }
    }
    drain(out_fd_, result.out);
    drain(err_fd_, result.err);
    pid_ = -1;
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

ToolResult run_tool(const std::vector<std::string> &argv, const EnvOverrides &env, int safety_limit_ms) {
    ToolProcess tool(argv, env);
    return tool.wait(safety_limit_ms);
}

bool tool_available(const std::string &name) {
    return run_tool({"sh", "-c", "command -v " + name + " >/dev/null"}).exit_code == 0;
}
