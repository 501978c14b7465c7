// Splitting one command into words (Windows command-line rules).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libpal/env/malloc.h"
#include "libsh/sh_words.h"

namespace {

std::vector<std::string> split(const char *command) {
    int argc = -1;
    char **argv = libsh_split_words(command, &argc);
    EXPECT_NE(nullptr, argv);
    std::vector<std::string> words;
    if (!argv) return words;
    for (int i = 0; i < argc; ++i) words.emplace_back(argv[i]);
    EXPECT_EQ(nullptr, argv[argc]);
    mem_free(argv);
    return words;
}

using words = std::vector<std::string>;

TEST(ShWords, BlanksAndTabsSeparateWords) {
    EXPECT_EQ((words{"echo", "a", "b", "c"}), split("echo  a\tb \t c"));
}

TEST(ShWords, BackslashQuoteGivesLiteralQuote) {
    EXPECT_EQ((words{"echo", "a\"b"}), split("echo a\\\"b"));
}

TEST(ShWords, EvenBackslashesBeforeQuoteHalveAndToggle) {
    EXPECT_EQ((words{"echo", "a\\b c"}), split("echo a\\\\\"b c\""));
}

TEST(ShWords, OddRunOfThreeBackslashesKeepsOneAndQuote) {
    EXPECT_EQ((words{"x", "a\\\"b"}), split("x a\\\\\\\"b"));
}

TEST(ShWords, PairOfQuotesInsideQuotedRunIsOneQuote) {
    EXPECT_EQ((words{"echo", "a\"b c"}), split("echo \"a\"\"b c\""));
}

TEST(ShWords, BackslashesNotBeforeQuoteAreLiteral) {
    EXPECT_EQ((words{"echo", "a\\\\tb"}), split("echo a\\\\tb"));
}

TEST(ShWords, SingleQuotesAreOrdinary) {
    EXPECT_EQ((words{"echo", "'a", "b'"}), split("echo 'a b'"));
}

TEST(ShWords, CommandNameKeepsBackslashesAndDropsQuotes) {
    EXPECT_EQ((words{"a\\b c", "d"}), split("\"a\\b c\" d"));
}

TEST(ShWords, EmptyQuotedWordIsAWord) {
    EXPECT_EQ((words{"echo", "", "x"}), split("echo \"\" x"));
}

TEST(ShWords, EmptyCommandIsOneEmptyName) {
    EXPECT_EQ((words{""}), split(""));
}

TEST(ShWords, UnclosedQuoteRunsToTheEnd) {
    EXPECT_EQ((words{"echo", "a b"}), split("echo \"a b"));
}

TEST(ShWords, HighBytesAreOrdinary) {
    EXPECT_EQ((words{"echo", "\xc3\xa9\xff"}), split("echo \xc3\xa9\xff"));
}

}  // namespace
