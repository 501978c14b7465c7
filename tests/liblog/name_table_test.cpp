#include "liblog/name_table.h"

#include <gtest/gtest.h>

#include "liblog/log2_ctl.h"

namespace {
constexpr name_table COLOURS[] = {{1, "red"}, {2, "green"}, {3, "blue"}};
}

TEST(NameTable, ValueToName) { EXPECT_STREQ(name_table_to_str(2, COLOURS, 3), "green"); }

TEST(NameTable, UnknownValueIsFormatted) {
    EXPECT_STREQ(name_table_to_str(9, COLOURS, 3), "unkown(9)");
    EXPECT_STREQ(name_table_to_str(-123456789, COLOURS, 3), "unkown(-1234567");
}

TEST(NameTable, NameToValueIsCaseSensitive) {
    EXPECT_EQ(name_table_to_val("blue", COLOURS, 3), 3);
    EXPECT_EQ(name_table_to_val("Blue", COLOURS, 3), -1);
    EXPECT_EQ(name_table_to_val(nullptr, COLOURS, 3), -1);
}

TEST(LogLevelNames, ShortAndFileNames) {
    EXPECT_STREQ(log2_level_name(LOG_VERB), "verb");
    EXPECT_STREQ(log2_level_name(LOG_DBG), "dbg");
    EXPECT_STREQ(log2_level_name(LOG_CRIT), "crit");
    EXPECT_STREQ(log2_level_file_name(LOG_DBG), "DEBUG");
    EXPECT_STREQ(log2_level_file_name(LOG_ERR), "ERROR");
    EXPECT_STREQ(log2_level_name(-1), "unkown(-1)");
    EXPECT_EQ(log2_level_from_name("noti"), LOG_NOTI);
    EXPECT_EQ(log2_level_from_name("INFO"), -1);
}
