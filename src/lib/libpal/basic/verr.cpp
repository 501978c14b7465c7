#include "libpal/basic/verr.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libpal/os/os_error.h"
#include "libpal/string/str_safe.h"

namespace {

void verr_fill(verr *err, const char *file, int line, const char *func, int code,
               const char *fmt, va_list args) {
    err->file = file;
    err->line = line;
    err->func = func;
    err->code = code;
    vsnprintf(err->msg, sizeof err->msg, fmt, args);
}

}  // namespace

void verr_set_imp(verr *err, const char *file, int line, const char *func, int code,
                  const char *fmt, ...) {
    if (!err) return;
    va_list args;
    va_start(args, fmt);
    verr_fill(err, file, line, func, code, fmt, args);
    va_end(args);
}

void verr_set_os_imp(verr *err, const char *file, int line, const char *func, int os_code,
                     const char *fmt, ...) {
    if (!err) return;
    // Read the text before formatting: nothing below may touch errno, but a
    // caller's format arguments might have.
    char os_text[512];
    str_copy_trunc(os_text, sizeof os_text, os_strerror(os_code));
    va_list args;
    va_start(args, fmt);
    verr_fill(err, file, line, func, os_code, fmt, args);
    va_end(args);
    size_t len = strlen(err->msg);
    // Messages that already end in a separator (": " or a blank) take the text directly.
    bool has_sep = len >= 1 && err->msg[len - 1] == ' ';
    snprintf(err->msg + len, sizeof err->msg - len, "%s%s", has_sep ? "" : ": ", os_text);
}

void verr_clear(verr *err) {
    if (!err) return;
    err->file = nullptr;
    err->line = 0;
    err->func = nullptr;
    err->code = 0;
    err->msg[0] = '\0';
}
