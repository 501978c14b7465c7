// Parameter checks: a failed check logs "expr[%s]: assert failed\n" at err with
// the call stack and makes the function return its failure value. It never
// stops the program.
#pragma once

#include "liblog/log2.h"

// Logs the current call stack at err as "[%s]\n" (one frame per line).
void assert_dump_stack();

void pal_assert_report(const char *tag, const char *file, int line, const char *func,
                       const char *expr);

#define PAL_ASSERT_REPORT(expr_text) \
    pal_assert_report(LOG_TAG, __FILE__, __LINE__, __func__, expr_text)

// Reports and goes on.
#define PAL_ASSERT(expr)                                   \
    do {                                                   \
        if (!(expr)) PAL_ASSERT_REPORT(#expr);             \
    } while (0)

// Reports and returns ret.
#define PAL_ASSERT_RET(expr, ret)                          \
    do {                                                   \
        if (!(expr)) {                                     \
            PAL_ASSERT_REPORT(#expr);                      \
            return ret;                                    \
        }                                                  \
    } while (0)

// Same as PAL_ASSERT_RET, reporting the given text instead of the expression.
#define PAL_CHECK_RET(cond, text, ret)                     \
    do {                                                   \
        if (!(cond)) {                                     \
            PAL_ASSERT_REPORT(text);                       \
            return ret;                                    \
        }                                                  \
    } while (0)
