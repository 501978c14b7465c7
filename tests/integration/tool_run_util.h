// Runs an operator's tool (tshark, capinfos, the extcap program) as a child
// process for the integration tests, collecting its output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "hubd_process_util.h"

struct ToolResult {
    int exit_code = -1;  // -1 when it was killed at the safety limit or by a signal
    std::string out;
    std::string err;
};

class ToolProcess {
public:
    // argv[0] is looked up in PATH.
    explicit ToolProcess(const std::vector<std::string> &argv, const EnvOverrides &env = {});
    ~ToolProcess();
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;
    bool started() const { return pid_ > 0; }
    // Waits for the end; at the safety limit the tool is killed.
    ToolResult wait(int safety_limit_ms = 30000);
    void signal(int sig);

private:
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
};

ToolResult run_tool(const std::vector<std::string> &argv, const EnvOverrides &env = {}, int safety_limit_ms = 30000);
// True when the program is found in PATH and runs.
bool tool_available(const std::string &name);
