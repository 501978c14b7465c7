// The one log call of the system. Kept free of anything above libpal so that
// every layer may include it.
#pragma once

#include <cstdarg>
#include <cstdint>

// Levels: lower is more severe; a record passes when level <= configured level.
enum {
    LOG_CRIT = 2,
    LOG_ERR = 3,
    LOG_WARN = 4,
    LOG_NOTI = 5,
    LOG_INFO = 6,
    LOG_DBG = 7,
    LOG_VERB = 8,
};

// Record flag bits above the level byte.
constexpr uint32_t LOG_F_LEVEL_MASK = 0xFF;
constexpr uint32_t LOG_F_APPEND_OSERR = 0x100;
constexpr uint32_t LOG_F_NO_EXIT = 0x200;
constexpr uint32_t LOG_F_BSV_NET = 0x400;
constexpr uint32_t LOG_F_BSV_ONLY = 0x800;

// Format flags of the context.
constexpr uint32_t LOG_FMT_TID = 0x01;
constexpr uint32_t LOG_FMT_TIME = 0x02;
constexpr uint32_t LOG_FMT_FUNC = 0x04;
constexpr uint32_t LOG_FMT_FILE = 0x08;
constexpr uint32_t LOG_FMT_FILE_BASE = 0x10;
constexpr uint32_t LOG_FMT_COLOUR = 0x20;
constexpr uint32_t LOG_FMT_TIME_MS = 0x40;
constexpr uint32_t LOG_FMT_TID_NAME = 0x80;

struct log_ctx;

// Returns the length of the formatted line, 0 when the level filter drops it.
// Leaves errno as it was.
int log2_printf(log_ctx *ctx, uint32_t flags, const char *tag, const char *file, int line,
                const char *func, const char *fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_vprintf(log_ctx *ctx, uint32_t flags, const char *tag, const char *file, int line,
                 const char *func, const char *fmt, va_list args);

// The configured level of the process context, read without a lock; lets the
// macros below drop a record with one comparison.
int log2_level_get();

// Ends the process with exit status 1 after a failure it cannot go on from,
// whatever the level filter says: the record is logged at crit and, when the
// filter drops it, written to standard error, so a fatal end is never silent.
[[noreturn]] void log2_fatal(const char *tag, const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
// Ends the process with status after flushing the standard streams. A crit
// record alone ends nothing; this call does.
[[noreturn]] void log2_fatal_exit(int status);

// Self-trace of the log library (QLDBGLOG); writes nothing when off.
void log2_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Each source file defines LOG_TAG before using these.
// A record above the level costs one call and one comparison, before the
// arguments are even passed.
#define LOG2_AT(flags, fmt, ...)                                                     \
    (static_cast<int>((flags) & LOG_F_LEVEL_MASK) > log2_level_get()                 \
         ? 0                                                                         \
         : log2_printf(nullptr, (flags), LOG_TAG, __FILE__, __LINE__, __func__, fmt, \
                       ##__VA_ARGS__))
#define LOGC(fmt, ...) LOG2_AT(LOG_CRIT, fmt, ##__VA_ARGS__)
// A crit record that ends the process (log2_fatal).
#define LOG_FATAL(fmt, ...) log2_fatal(LOG_TAG, __FILE__, __LINE__, __func__, fmt, ##__VA_ARGS__)
#define LOGE(fmt, ...) LOG2_AT(LOG_ERR, fmt, ##__VA_ARGS__)
#define LOGW(fmt, ...) LOG2_AT(LOG_WARN, fmt, ##__VA_ARGS__)
#define LOGN(fmt, ...) LOG2_AT(LOG_NOTI, fmt, ##__VA_ARGS__)
#define LOGI(fmt, ...) LOG2_AT(LOG_INFO, fmt, ##__VA_ARGS__)
#define LOGD(fmt, ...) LOG2_AT(LOG_DBG, fmt, ##__VA_ARGS__)
#define LOGV(fmt, ...) LOG2_AT(LOG_VERB, fmt, ##__VA_ARGS__)
// Same, with the text of the current OS error appended.
#define LOGE_OS(fmt, ...) LOG2_AT(LOG_ERR | LOG_F_APPEND_OSERR, fmt, ##__VA_ARGS__)
#define LOGD_OS(fmt, ...) LOG2_AT(LOG_DBG | LOG_F_APPEND_OSERR, fmt, ##__VA_ARGS__)
#define LOGV_OS(fmt, ...) LOG2_AT(LOG_VERB | LOG_F_APPEND_OSERR, fmt, ##__VA_ARGS__)
