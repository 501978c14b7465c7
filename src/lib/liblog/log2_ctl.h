// Control of the log context: start-up from the configuration, settings,
// shutdown, dumps, and the attach points through which libraries above the
// runtime add their sinks. Kept apart from log2.h, which every file includes.
#pragma once

#include <cstdint>

#include "liblog/log2.h"

// Codes of log2_ioctl; the comment gives the argument passed after the code.
enum {
    LOG2_IOCTL_LEVEL = 1,          // int
    LOG2_IOCTL_FLAGS = 2,          // unsigned
    LOG2_IOCTL_LEVEL_NAME = 3,     // const char *: "verb" ... "crit"
    LOG2_IOCTL_FLAG_LIST = 4,      // const char *: "time|tid|func"
    LOG2_IOCTL_HOOK_INFO = 5,      // log2_hook_fn: levels 5..8
    LOG2_IOCTL_HOOK_WARN = 6,      // log2_hook_fn: levels 2..4
    LOG2_IOCTL_FILE = 20,          // const char *: file name
    LOG2_IOCTL_FILE_DIR = 21,      // const char *: directory
    LOG2_IOCTL_FILE_SIZE = 22,     // int: maximum bytes, at least 1024
    LOG2_IOCTL_BSVLOG = 23,        // const char *: URL of the bsv UDP sink
    LOG2_IOCTL_SYSLOG = 24,        // const char *: URL of the syslog server
    LOG2_IOCTL_DBGVIEW_ON = 41,    // int 0/1
    LOG2_IOCTL_FILE_ON = 42,       // int 0/1
    LOG2_IOCTL_SYSLOG_ON = 43,     // int 0/1
    // int 1: the log file is neither opened nor written (its lines are kept
    // in memory) until int 0 opens it and writes them; a process that ends
    // held never touches the file.
    LOG2_IOCTL_FILE_HOLD = 44,
};

// A text sink outside the log core; both hooks must be set for either to run.
using log2_hook_fn = void (*)(int level, const char *tag, const char *line, int length);

// Reads section "log" of the configuration file (null: none) into the process
// context, creating it when needed. Returns the context.
log_ctx *log2_init(const char *conf_path);
// The same from a configuration already loaded (null: none).
struct ConfHandle;
log_ctx *log2_init_conf(ConfHandle *conf);
// The keys of section "log" and their checks (a table for conf_rules_add).
struct conf_key_rule;
const conf_key_rule *log2_conf_rules();
// 0; -1 for an unknown code ("Invalid command code\n" on standard error).
// Codes 20, 23 and 24 return the result of their operation.
int log2_ioctl(log_ctx *ctx, int code, ...);
// Closes every sink and frees the process context; later calls do nothing.
void log2_exit();
// Closes the network sinks (syslog, UDP collector) and waits for the threads
// that open them; the context and the local sinks stay.
void log2_net_close();
// Nine "key=value" lines of the current settings; owned text (mem_free).
char *log2_dump();
// Copy of the ring of recent lines; owned text (mem_free).
char *log2_last_log();
// Format flags from "tid|time|func|file|time_ms|tid_name|no_colour".
uint32_t log_flags_2_int(const char *list);
// dbgview_on of the process context.
int log2_dbgview_get();
// Switches the self-trace on (it is never switched off).
void log2_trace_enable();
bool log2_trace_enabled();

// Records accepted so far at a level (2..8); counted by the log call.
void log2_count_record(int level);
uint64_t log2_record_count(int level);

// Lines handed to the sinks that can lose them, and the lines each lost.
enum : int {
    LOG2_SINK_FILE = 0,
    LOG2_SINK_SYSLOG = 1,
    LOG2_SINK_COLLECTOR = 2,
    LOG2_SINK_CONSOLE = 3,  // standard error, when its reader does not keep up
    LOG2_SINK_COUNT = 4
};
// Counts one line given to sink; lost when it did not get through.
void log2_sink_count(int sink, bool lost);
uint64_t log2_sink_lines(int sink);
uint64_t log2_sink_lost(int sink);
// "file", "syslog", "collector", "console"; "" for another number.
const char *log2_sink_name(int sink);

// Short level names ("verb" ... "crit") and file column names ("VERB" ... "CRIT").
const char *log2_level_name(int level);
const char *log2_level_file_name(int level);
// Level of a short name, -1 when unknown.
int log2_level_from_name(const char *name);
// The short names as one hint text.
constexpr const char *LOG2_LEVEL_HINT = "verb|dbg|info|noti|warn|err|crit";

// ---- Attach points -------------------------------------------------------
// The binary log layer: receives every accepted record before the text sinks
// run, outside the log lock. It is expected to ignore its own tags ("bsv",
// "net") so that its transports cannot feed themselves.
struct log2_bin_ops {
    void (*record)(uint32_t flags, const char *tag, const char *file, int line, const char *func,
                   const char *msg);
    void (*exit)();  // shutdown at log2_exit; may be null
};
void log2_attach_bin(const log2_bin_ops *ops);

// A network text sink (syslog client, bsv UDP sink). open returns 0 or -1;
// url returns the configured URL or null; send may be null for the bsv sink,
// which takes its records from the binary layer.
struct log2_net_ops {
    int (*open)(const char *url);
    void (*close)();
    const char *(*url)();
    void (*send)(int level, const char *tag, const char *line);
};
void log2_attach_syslog(const log2_net_ops *ops);
void log2_attach_bsvlog(const log2_net_ops *ops);

// The pcap log file. open returns 0 or -1; append is 1 for mode "a".
struct log2_pcap_ops {
    int (*open)(const char *path, int append, uint32_t max_size);
    void (*close)();
    void (*set_max)(uint32_t max_size);  // a later log file size; may be null
};
void log2_attach_pcap(const log2_pcap_ops *ops);

// A line editor on the console: before runs ahead of each console line and
// returns true when it cleared the line being typed; after then draws the
// prompt and the typed text again. Both run under the log lock.
struct log2_console_ops {
    bool (*before)();
    void (*after)();
};
void log2_attach_console(const log2_console_ops *ops);
