#include "liblog/str_to_size.h"

#include <gtest/gtest.h>

struct size_case {
    const char *text;
    uint64_t expect;
};

class StrToSize : public testing::TestWithParam<size_case> {};

TEST_P(StrToSize, ParsesNumberAndSuffixes) {
    EXPECT_EQ(str_to_size(GetParam().text), GetParam().expect) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, StrToSize,
    testing::Values(size_case{"123", 123}, size_case{"2k", 2048}, size_case{"2kb", 2000}, size_case{"2KB", 2000},
                    size_case{"2K", 2048}, size_case{"2kD", 2000}, size_case{"1m", 1048576},
                    size_case{"1mb", 1000000}, size_case{"1M", 1048576}, size_case{"1G", 1073741824ULL},
                    size_case{"1gb", 1000000000ULL}, size_case{"1T", 1099511627776ULL},
                    size_case{"1tb", 1000000000000ULL}, size_case{"1P", 1125899906842624ULL},
                    size_case{"1pb", 1000000000000000ULL}, size_case{"3c", 3}, size_case{"3w", 6},
                    size_case{"2b", 1024}, size_case{"1.5k", 1536}, size_case{"2kk", 2097152},
                    size_case{"4k", 4096}, size_case{"1k", 1024}));

TEST(StrToSizeReject, NullBlankSignAndUnknownSuffixGiveZero) {
    EXPECT_EQ(str_to_size(nullptr), 0u);
    EXPECT_EQ(str_to_size(" 5"), 0u);
    EXPECT_EQ(str_to_size("+5"), 0u);
    EXPECT_EQ(str_to_size("-5"), 0u);
    EXPECT_EQ(str_to_size("5x"), 0u);
    EXPECT_EQ(str_to_size(""), 0u);
}

TEST(StrToSizeReject, HugeValueSaturates) { EXPECT_EQ(str_to_size("99999P"), UINT64_MAX); }
