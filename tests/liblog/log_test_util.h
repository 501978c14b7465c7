// Helpers shared by the log tests: private contexts, temporary folders and
// a guard that puts the process context back as it was.
#pragma once

#include <string>

#include "liblog/log_ctx.h"

// A private context, console off, freed at scope end.
struct scoped_log_ctx {
    log_ctx *ctx;
    scoped_log_ctx();
    ~scoped_log_ctx();
    scoped_log_ctx(const scoped_log_ctx &) = delete;
    scoped_log_ctx &operator=(const scoped_log_ctx &) = delete;
};

// A fresh directory under the system temp dir, removed with its files.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// Saves the settings of the process context and restores them, sinks and
// hooks included, at scope end.
struct process_ctx_guard {
    uint32_t flags;
    int32_t level;
    uint8_t console_on, dbgview_on, file_on, syslog_on;
    log2_hook_fn hook_info, hook_warn;
    log_file_sink file;
    process_ctx_guard();
    ~process_ctx_guard();
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
