#include <cstdio>
#include <cstring>

#include "liblog/log2_ctl.h"

uint32_t log_flags_2_int(const char *list) {
    uint32_t flags = LOG_FMT_COLOUR;
    const char *p = list ? list : "";
    while (true) {
        const char *end = std::strchr(p, '|');
        size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        char token[256];
        if (len >= sizeof token) len = sizeof token - 1;
        std::memcpy(token, p, len);
        token[len] = 0;
        if (std::strcmp(token, "no_colour") == 0) {
            flags &= ~LOG_FMT_COLOUR;
        } else if (std::strcmp(token, "time") == 0) {
            flags |= LOG_FMT_TIME;
        } else if (std::strcmp(token, "time_ms") == 0) {
            flags = (flags & ~LOG_FMT_TIME) | LOG_FMT_TIME_MS;
        } else if (std::strcmp(token, "func") == 0) {
            flags |= LOG_FMT_FUNC;
        } else if (std::strcmp(token, "tid") == 0) {
            flags |= LOG_FMT_TID;
        } else if (std::strcmp(token, "tid_name") == 0) {
            flags |= LOG_FMT_TID_NAME;
        } else if (std::strcmp(token, "file") == 0) {
            flags |= LOG_FMT_FILE | LOG_FMT_FILE_BASE;
        } else {
            std::fprintf(stderr, "Invalid tags: [%s]\n", token);
        }
        if (!end) break;
        p = end + 1;
    }
    log2_trace("log_flags_2_int=%s 0x%x\n", list ? list : "", flags);
    return flags;
}
