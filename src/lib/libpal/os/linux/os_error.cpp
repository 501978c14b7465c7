#include "libpal/os/os_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/string/str_tool.h"

const char *os_strerror(int code) {
    thread_local char text[256];
    if (code == 0) return "ok";
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char *msg = strerror_r(code, buf, sizeof buf);
    if (!msg || !*msg || std::strncmp(msg, "Unknown error", 13) == 0) {
        std::snprintf(text, sizeof text, "unkown os_errno=%u (0x%x)", static_cast<unsigned>(code),
                      static_cast<unsigned>(code));
        return text;
    }
    std::snprintf(text, sizeof text, "%s", msg);
    return str_trim(text);
}

int os_errno() { return errno; }
void os_errno_set(int code) { errno = code; }
