// The failures that cannot go on end the process whatever the level filter
// lets through; they once relied on a crit record that the filter could drop.
#include <gtest/gtest.h>

#include <cstdlib>

#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "libpal/string/str_builder.h"

TEST(LogFatalDeathTest, BailingOutEndsTheProcessWithTheCritLevelFiltered) {
    EXPECT_EXIT(
        {
            log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_CRIT - 1);
            char *copy = safe_strdup(nullptr);
            std::_Exit(copy ? 3 : 0);
        },
        testing::ExitedWithCode(1), "fatal: safe_strdup called with NULL which would have crashed strdup. Bailing out");
}
