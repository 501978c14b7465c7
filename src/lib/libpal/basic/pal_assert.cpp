#include "libpal/basic/pal_assert.h"

#define LOG_TAG "pal"

void pal_assert_report(const char *tag, const char *file, int line, const char *func,
                       const char *expr) {
    log2_printf(nullptr, LOG_ERR, tag, file, line, func, "expr[%s]: assert failed\n", expr);
    assert_dump_stack();
}
