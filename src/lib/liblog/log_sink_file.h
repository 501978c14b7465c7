// The log file sink: a text file capped at a maximum size that keeps its
// newest half, or a pcap file written by the binary log layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "liblog/log_cache.h"

constexpr size_t LOG_FILE_NAME_MAXN = 4096;
constexpr size_t LOG_FILE_DIR_MAXN = 2048;
constexpr uint32_t LOG_FILE_DEFAULT_MAX = 0x200000;
constexpr uint32_t LOG_FILE_MIN_MAX = 1024;
enum : int { LOG_FILE_PCAP = 1, LOG_FILE_TEXT = 2 };
// Date, time, level, pid, thread name and tag fit with room to spare.
constexpr size_t LOG_FILE_HEADER_MAXN = 768;
// A log line or file body, its newline included (8191 bytes and the NUL).
constexpr size_t LOG_LINE_MAXN = 8192;
// Lines checked against the path in each millisecond; later lines of a busy
// millisecond skip the check, so a burst pays one system call per line.
constexpr uint32_t LOG_FILE_CHECKS_PER_MS = 8;

struct log_file_sink {
    char name[LOG_FILE_NAME_MAXN] = {};  // absolute path
    char dir[LOG_FILE_DIR_MAXN] = {};
    char mode[2] = {'w', 0};             // "w" truncates at open, "a" appends
    uint32_t max_size = LOG_FILE_DEFAULT_MAX;
    int type = LOG_FILE_TEXT;
    bool pcap_open = false;              // the pcap attach point holds the file
    int fd = -1;                         // text file
    // Of the open text file: what the path must still lead to, and its size
    // as counted from our own writes (checked against the file near the cap).
    uint64_t dev = 0;
    uint64_t ino = 0;
    uint64_t size = 0;
    uint64_t check_ms = 0;       // the millisecond whose checks are counted
    uint32_t checks_in_ms = 0;
    bool stream = false;         // the open file takes no offset (a pipe, a terminal)
    // While the file cannot be opened or written: lines lost since the last
    // report, and when the next report may come. notice is a line for standard error
    // that the caller says and clears (empty when none).
    bool failing = false;
    bool reported = false;       // this failure has been said
    uint64_t lost_while_failing = 0;
    uint64_t next_report_ms = 0;
    char notice[LOG_FILE_NAME_MAXN + 160] = {};
};

// Reminders while the file keeps failing come this far apart.
constexpr uint64_t LOG_FILE_REPORT_EVERY_MS = 60 * 1000;

// Closes the current file and opens name (joined to dir unless absolute).
// 0, or -1 with a notice naming the path and the reason; the resolved path
// is kept either way, so that the next write retries it.
int log_file_open(log_file_sink *sink, const char *name);
void log_file_close(log_file_sink *sink);
// "%04d-%02d-%02d %02d:%02d:%02d.%06u %-5s %d --- [%s] %s " for a record of
// level and tag (tag_len bytes, at most 255 used) at time t, into out
// (LOG_FILE_HEADER_MAXN); returns its length.
size_t log_file_header(char *out, size_t size, int level, const char *tag, size_t tag_len, const log_time &t);
// Writes one file line (header and body) in one system call; re-creates a
// file that was deleted or renamed away and applies the cap. now_us (the
// record's time) paces the path checks. 0, or -1 when the line could not be
// written (counted as lost; a part already written is cut off again, so
// the file holds whole lines only). Caller holds the log lock.
int log_file_write(log_file_sink *sink, const char *text, size_t len, uint64_t now_us);
// Joins dir and name unless name is absolute or dir empty, expands a leading
// "~/" from HOME and makes the result absolute. false when it does not fit.
bool log_file_resolve(const char *dir, const char *name, char *out, size_t size);
// True while the text file is configured but cannot be opened or written.
inline bool log_file_failing(const log_file_sink *sink) { return sink->type == LOG_FILE_TEXT && sink->failing; }
