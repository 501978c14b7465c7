// The log file sink: a text file capped at a maximum size that keeps its
// newest half, or a pcap file written by the binary log layer.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t LOG_FILE_NAME_MAXN = 4096;
constexpr size_t LOG_FILE_DIR_MAXN = 2048;
constexpr uint32_t LOG_FILE_DEFAULT_MAX = 0x200000;
constexpr uint32_t LOG_FILE_MIN_MAX = 1024;
enum : int { LOG_FILE_PCAP = 1, LOG_FILE_TEXT = 2 };

struct log_file_sink {
    char name[LOG_FILE_NAME_MAXN] = {};  // absolute path
    char dir[LOG_FILE_DIR_MAXN] = {};
    char mode[2] = {'w', 0};             // "w" truncates at open, "a" appends
    uint32_t max_size = LOG_FILE_DEFAULT_MAX;
    int type = LOG_FILE_TEXT;
    bool pcap_open = false;              // the pcap attach point holds the file
    int fd = -1;                         // text file
};

// Closes the current file and opens name (joined to dir unless absolute).
// 0, or -1 with a trace; the resolved path is kept either way, so that the
// next write retries it.
int log_file_open(log_file_sink *sink, const char *name);
void log_file_close(log_file_sink *sink);
// Writes one header plus body; reopens a deleted file and applies the cap.
// 0, or -1 when the record could not be written. Caller holds the log lock.
int log_file_write(log_file_sink *sink, int level, const char *tag, const char *body, size_t body_len);
// Joins dir and name unless name is absolute or dir empty, expands a leading
// "~/" from HOME and makes the result absolute. false when it does not fit.
bool log_file_resolve(const char *dir, const char *name, char *out, size_t size);
// The text file's line header of a record made now ("date time.usec LEVEL pid --- [thread] tag ").
size_t log_file_header(char *out, size_t size, int level, const char *tag);
