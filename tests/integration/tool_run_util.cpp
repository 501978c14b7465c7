#include "tool_run_util.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>


ToolProcess::ToolProcess(const std::vector<std::string> &argv, const EnvOverrides &env) {
    pid_ = spawn_child(argv, env, nullptr, &out_fd_, &err_fd_);
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
