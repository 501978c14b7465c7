// The reentrant option scanner used by the built-in commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libsh/shell_getopt.h"

namespace {

struct args {
    std::vector<std::string> store;
    std::vector<char *> ptrs;
    explicit args(std::vector<std::string> words) : store(std::move(words)) {
        for (auto &w : store) ptrs.push_back(w.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(store.size()); }
    char **argv() { return ptrs.data(); }
};

TEST(ShellGetopt, FindsOptionAfterNonOptionsAndPermutes) {
    args a({"unset", "X", "-h", "Y"});
    shell_getopt_state st;
    shell_getopt_reset(&st);
    EXPECT_EQ('h', shell_getopt(&st, a.argc(), a.argv(), "h"));
    EXPECT_EQ(-1, shell_getopt(&st, a.argc(), a.argv(), "h"));
    ASSERT_EQ(2, st.optind);
    EXPECT_STREQ("X", a.argv()[2]);
    EXPECT_STREQ("Y", a.argv()[3]);
}

TEST(ShellGetopt, NoOptionsLeavesIndexAtFirstArgument) {
    args a({"source", "f1", "f2"});
    shell_getopt_state st;
    shell_getopt_reset(&st);
    EXPECT_EQ(-1, shell_getopt(&st, a.argc(), a.argv(), "h"));
    EXPECT_EQ(1, st.optind);
}

TEST(ShellGetopt, UnknownOptionGivesQuestionMark) {
    args a({"pwd", "-x"});
    shell_getopt_state st;
    shell_getopt_reset(&st);
    st.opterr = 0;
    EXPECT_EQ('?', shell_getopt(&st, a.argc(), a.argv(), "h"));
    EXPECT_EQ('x', st.optopt);
    EXPECT_EQ(-1, shell_getopt(&st, a.argc(), a.argv(), "h"));
}

TEST(ShellGetopt, GroupedLettersAndDoubleDash) {
    args a({"unalias", "-ah", "--", "-h"});
    shell_getopt_state st;
    shell_getopt_reset(&st);
    EXPECT_EQ('a', shell_getopt(&st, a.argc(), a.argv(), "ah"));
    EXPECT_EQ('h', shell_getopt(&st, a.argc(), a.argv(), "ah"));
    EXPECT_EQ(-1, shell_getopt(&st, a.argc(), a.argv(), "ah"));
    ASSERT_EQ(3, st.optind);
    EXPECT_STREQ("-h", a.argv()[3]);
}

TEST(ShellGetopt, OptionArgumentAttachedOrSeparate) {
    args a({"cmd", "-fone", "-f", "two", "-f"});
    shell_getopt_state st;
    shell_getopt_reset(&st);
    st.opterr = 0;
    EXPECT_EQ('f', shell_getopt(&st, a.argc(), a.argv(), "f:"));
    EXPECT_STREQ("one", st.optarg);
    EXPECT_EQ('f', shell_getopt(&st, a.argc(), a.argv(), "f:"));
    EXPECT_STREQ("two", st.optarg);
    EXPECT_EQ('?', shell_getopt(&st, a.argc(), a.argv(), "f:"));
}

TEST(ShellGetopt, ResetAllowsASecondScan) {
    args a({"pwd", "-h"});
    shell_getopt_state st;
    shell_getopt_reset(&st);
    EXPECT_EQ('h', shell_getopt(&st, a.argc(), a.argv(), "h"));
    EXPECT_EQ(-1, shell_getopt(&st, a.argc(), a.argv(), "h"));
    shell_getopt_reset(&st);
    EXPECT_EQ('h', shell_getopt(&st, a.argc(), a.argv(), "h"));
}

}  // namespace
