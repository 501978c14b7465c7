#include "libpal/basic/pal_assert.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#define LOG_TAG "pal"

void pal_assert_report(const char *tag, const char *file, int line, const char *func,
                       const char *expr) {
    log2_printf(nullptr, LOG_ERR, tag, file, line, func, "expr[%s]: assert failed\n", expr);
    assert_dump_stack();
}

// One line per frame: module, symbol and offset. Uses no heap for the frames;
// the demangler allocates only for C++ names.
void assert_dump_stack() {
    if (log2_level_get() < LOG_ERR) return;
    void *frames[64];
    int n = backtrace(frames, 64);
    for (int i = 1; i < n; ++i) {
        Dl_info info{};
        char line[512];
        if (dladdr(frames[i], &info) && info.dli_sname) {
            int status = -1;
            char *name = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
            std::snprintf(line, sizeof line, "%s+0x%lx", status == 0 && name ? name : info.dli_sname,
                          static_cast<unsigned long>(static_cast<char *>(frames[i]) -
                                                     static_cast<char *>(info.dli_saddr)));
            std::free(name);
        } else if (info.dli_fname) {
            std::snprintf(line, sizeof line, "%s+0x%lx", info.dli_fname,
                          static_cast<unsigned long>(static_cast<char *>(frames[i]) -
                                                     static_cast<char *>(info.dli_fbase)));
        } else {
            std::snprintf(line, sizeof line, "%p", frames[i]);
        }
        LOGE("[%s]\n", line);
    }
}
