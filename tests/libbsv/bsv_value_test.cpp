#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libbsv/bsv_type.h"
#include "libbsv/bsv_value.h"

namespace {

struct info_row {
    const char *info;
    int count;
};

class ValueGetInfo : public ::testing::TestWithParam<info_row> {};

TEST_P(ValueGetInfo, CountsFieldsOrRefuses) {
    EXPECT_EQ(value_get_info(nullptr, GetParam().info), GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ValueGetInfo,
                         ::testing::Values(info_row{BSV_LOG_INFO, 11}, info_row{BSV_KLOG_INFO, 13},
                                           info_row{BSV_NET_HEAD_INFO, 10}, info_row{"a-u8", 1},
                                           info_row{"a-u8,b", -1},            // item without "-"
                                           info_row{"a-u128", -1},            // unknown type
                                           info_row{"s-str,a-u8", -1},        // fixed field after a string
                                           info_row{"a|b-u32", -1},           // "|" only joins strings
                                           info_row{"-u8", -1}));

// A little record: u16 7, u32 0x01020304 (stored in the context's order), then "ab", "", "xyz".
std::string make_record(bool big_endian) {
    const char *numbers = big_endian ? "\x00\x07\x01\x02\x03\x04" : "\x07\x00\x04\x03\x02\x01";
    return std::string(numbers, 6) + std::string("ab\0\0xyz\0", 8);
}

TEST(BsvValue, ReadsIntegersInEitherByteOrderAndWalksTheTexts) {
    for (int big_endian : {0, 1}) {
        bsv_value_ctx *ctx = bsv_value_init("a-u16,b-u32,s1|s2|s3-str", big_endian);
        ASSERT_NE(ctx, nullptr);
        std::string rec = make_record(big_endian != 0);
        EXPECT_EQ(bsv_value_get_u16(ctx, rec.data(), 0), 7);
        EXPECT_EQ(bsv_value_get_u32(ctx, rec.data(), 1), 0x01020304u);
        EXPECT_STREQ(bsv_value_get_str(ctx, rec.data(), 2), "ab");
        EXPECT_STREQ(bsv_value_get_str(ctx, rec.data(), 3), "");
        EXPECT_STREQ(bsv_value_get_str(ctx, rec.data(), 4), "xyz");
        bsv_value found{};
        int32_t type = -1;
        ASSERT_EQ(bsv_value_find(ctx, rec.data(), "s3", &found, &type), 0);
        EXPECT_EQ(type, VALUE_TYPE_STRING);
        EXPECT_STREQ(found.str, "xyz");
        EXPECT_EQ(bsv_value_find(ctx, rec.data(), "nope", &found, &type), -1);
        bsv_value_exit(ctx);
    }
}

TEST(BsvValue, RefusesWrongKindAndIndex) {
    bsv_value_ctx *ctx = bsv_value_init("a-u16,b-u32,s1|s2|s3-str", 0);
    ASSERT_NE(ctx, nullptr);
    std::string rec = make_record(false);
    EXPECT_EQ(bsv_value_get_u32(ctx, rec.data(), 2), 0u);        // a string field
    EXPECT_EQ(bsv_value_get_str(ctx, rec.data(), 0), nullptr);   // an integer field
    EXPECT_EQ(bsv_value_get_u64(ctx, rec.data(), 5), 0u);        // beyond the fields
    bsv_value beyond = bsv_value_get(ctx, rec.data(), 9);
    EXPECT_EQ(beyond.u64, 0u);
    bsv_value_exit(ctx);
}

TEST(BsvValue, TextsMissingFromACutRecordReadEmpty) {
    bsv_value_ctx *ctx = bsv_value_init("a-u16,b-u32,s1|s2|s3-str", 0);
    ASSERT_NE(ctx, nullptr);
    std::string rec = make_record(false).substr(0, 9);  // "ab" and its terminator only
    EXPECT_STREQ(bsv_value_get_str_n(ctx, rec.data(), rec.size(), 2), "ab");
    EXPECT_STREQ(bsv_value_get_str_n(ctx, rec.data(), rec.size(), 4), "");
    bsv_value_exit(ctx);
}

TEST(BsvType, UnknownIdHasNoContext) {
    EXPECT_EQ(bsv_type_open_value(4), nullptr);
    EXPECT_EQ(bsv_type_get_os_endian(2), 1);
    EXPECT_EQ(bsv_type_get_os_endian(1), 0);
    bsv_value_ctx *ctx = bsv_type_open_value(5);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->count_idx, 10);
    bsv_value_exit(ctx);
}

}  // namespace
