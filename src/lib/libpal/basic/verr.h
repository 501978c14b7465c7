// Error report handed back by the TCP client and the proxies: where it was
// filled, a code and a message. Callers print msg; code tells the kinds apart
// (-1 time-out/stop/protocol, -2 name resolution/authentication, else the OS code).
#pragma once

#include <cstdint>

constexpr int VERR_MSG_MAXN = 4096;

struct verr {
    const char *file;
    int32_t line;
    const char *func;
    int32_t code;
    char msg[VERR_MSG_MAXN];
};

// Fills the report with a printf-style message. A null report is ignored.
void verr_set_imp(verr *err, const char *file, int line, const char *func, int code,
                  const char *fmt, ...) __attribute__((format(printf, 6, 7)));
// Same, with the text of OS error os_code appended (behind ": " unless the
// message already ends in a blank), and code = os_code.
void verr_set_os_imp(verr *err, const char *file, int line, const char *func, int os_code,
                     const char *fmt, ...) __attribute__((format(printf, 6, 7)));
void verr_clear(verr *err);

#define verr_set(err, code, fmt, ...) \
    verr_set_imp((err), __FILE__, __LINE__, __func__, (code), fmt, ##__VA_ARGS__)
#define verr_set_os(err, os_code, fmt, ...) \
    verr_set_os_imp((err), __FILE__, __LINE__, __func__, (os_code), fmt, ##__VA_ARGS__)
