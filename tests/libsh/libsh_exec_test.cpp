// Running lines: splitting, aliases, assignments, the repeated last line.
#include <string>

#include "libsh/alias.h"
#include "libsh/sh_env.h"
#include "sh_fixture.h"

namespace {

std::string env_value(const char *name) {
    char buf[512];
    return libsh_getenv_copy(name, buf, sizeof buf) < 0 ? "<unset>" : buf;
}

const char *NOT_FOUND_TAIL = "Type `help` to learn how to use prompt\n";

TEST_F(ShellTest, TwoCommandsFlushAfterEach) {
    EXPECT_EQ(0, s.run("echo a; echo b"));
    EXPECT_EQ("a\n", s.wire.substr(0, 2));
    EXPECT_EQ(std::string("a\n\0b\n\0", 6), s.wire);
    EXPECT_EQ(2, s.flushes);
}

TEST_F(ShellTest, ShowInfoAndShowMemoryRunBoth) {
    EXPECT_EQ(0, s.run("show info; show memory"));
    EXPECT_EQ(2, s.flushes);
    EXPECT_NE(std::string::npos, s.text.find("cpu_endian=little\n"));
    EXPECT_NE(std::string::npos, s.text.find("malloc_count="));
}

TEST_F(ShellTest, SemicolonInsideQuotesStaysInWord) {
    EXPECT_EQ("'a;b'\n", out("echo 'a;b'"));
}

TEST_F(ShellTest, UnbalancedQuoteRefusedAndNothingRuns) {
    EXPECT_EQ(-1, s.run("echo ok; echo 'a"));
    EXPECT_EQ("", s.wire);
    EXPECT_EQ(0, s.flushes);
}

TEST_F(ShellTest, SyntaxErrorClearsLastLine) {
    s.run("echo one");
    s.run("echo 'a");
    s.clear();
    EXPECT_EQ(0, s.run(""));
    EXPECT_EQ("", s.text);
    EXPECT_EQ(1, s.flushes);
}

TEST_F(ShellTest, BlankLineRepeatsLastLine) {
    s.run("echo again");
    s.clear();
    EXPECT_EQ(0, s.run("  \t "));
    EXPECT_EQ("again\n", s.text);
}

TEST_F(ShellTest, EmptyLineRepeatsOnlyItsOwnSessionsLine) {
    mem_session other;
    s.run("echo a");
    EXPECT_EQ(0, other.run(""));
    EXPECT_EQ("", other.text);
    other.run("echo b");
    s.clear();
    other.clear();
    s.run("");
    other.run("");
    EXPECT_EQ("a\n", s.text);
    EXPECT_EQ("b\n", other.text);
}

TEST_F(ShellTest, EmptyLineAfterUnknownCommandOnlyFlushes) {
    EXPECT_EQ(-12, s.run("nosuch"));
    s.clear();
    EXPECT_EQ(0, s.run(""));
    EXPECT_EQ("", s.text);
    EXPECT_EQ(1, s.flushes);
}

TEST_F(ShellTest, EmptyLineAtStartOnlyFlushes) {
    EXPECT_EQ(0, s.run(""));
    EXPECT_EQ(std::string("\0", 1), s.wire);
}

TEST_F(ShellTest, UnknownCommandPrintsTwoLines) {
    int ret = 0;
    EXPECT_EQ(std::string("command not found: [nosuch]\n") + NOT_FOUND_TAIL, out("nosuch arg", &ret));
    EXPECT_EQ(-12, ret);
}

TEST_F(ShellTest, AliasSExpandsWithRestOfCommand) {
    EXPECT_EQ(out("show memory").substr(0, 13), out("s memory").substr(0, 13));
    EXPECT_EQ("malloc_count=", out("sm").substr(0, 13));
    EXPECT_EQ("ver=", out("s info").substr(0, 4));
}

TEST_F(ShellTest, AliasExpandsOnlyOnce) {
    alias_set("x", "y");
    alias_set("y", "x");
    EXPECT_EQ(std::string("command not found: [y]\n") + NOT_FOUND_TAIL, out("x"));
}

TEST_F(ShellTest, AliasWordEndsAtBlankNotTab) {
    alias_set("k", "echo K");
    EXPECT_EQ("K 1\n", out("k 1"));
    EXPECT_EQ(std::string("command not found: [k]\n") + NOT_FOUND_TAIL, out("k\t1"));
}

TEST_F(ShellTest, AliasWithEmptyValueDoesNotExpand) {
    alias_set("echo", "");
    EXPECT_EQ("z\n", out("echo z"));
}

TEST_F(ShellTest, AssignmentSetsEnvironmentSilently) {
    EXPECT_EQ(0, s.run("X=hello world"));
    EXPECT_EQ("", s.wire);
    EXPECT_EQ(0, s.flushes);
    EXPECT_EQ("hello world", env_value("X"));
    s.run("X=again");
    EXPECT_EQ("again", env_value("X"));
}

TEST_F(ShellTest, BlankBeforeEqualsOrSecondEqualsIsACommand) {
    EXPECT_EQ(std::string("command not found: [X]\n") + NOT_FOUND_TAIL, out("X =1"));
    EXPECT_EQ(std::string("command not found: [A=b=c]\n") + NOT_FOUND_TAIL, out("A=b=c"));
    EXPECT_EQ(std::string("command not found: [A=]\n") + NOT_FOUND_TAIL, out("A="));
    EXPECT_EQ("<unset>", env_value("A"));
}

TEST_F(ShellTest, OverlongAssignmentIsACommand) {
    std::string line = "N=" + std::string(256, 'v');
    int ret = 0;
    out(line.c_str(), &ret);
    EXPECT_EQ(-12, ret);
    EXPECT_EQ("<unset>", env_value("N"));
    line = "N=" + std::string(255, 'v');
    EXPECT_EQ(0, s.run(line.c_str()));
    EXPECT_EQ(std::string(255, 'v'), env_value("N"));
}

TEST_F(ShellTest, FailingCommandStopsTheLine) {
    int ret = 0;
    EXPECT_EQ(std::string("command not found: [bad]\n") + NOT_FOUND_TAIL, out("bad;echo after", &ret));
    EXPECT_EQ(-12, ret);
    EXPECT_EQ(std::string("before\ncommand not found: [bad]\n") + NOT_FOUND_TAIL, out("echo before;bad", &ret));
    EXPECT_EQ(-12, ret);
}

TEST_F(ShellTest, CommentIsSkippedWithoutFlush) {
    EXPECT_EQ(0, s.run("# echo hidden"));
    EXPECT_EQ(0, s.flushes);
    EXPECT_EQ(0, s.run("echo a; #x; echo b"));
    EXPECT_EQ("a\nb\n", s.text);
    EXPECT_EQ(2, s.flushes);
}

TEST_F(ShellTest, EmptyPiecesAreDropped) {
    EXPECT_EQ(0, s.run(";;echo a;;"));
    EXPECT_EQ("a\n", s.text);
    EXPECT_EQ(1, s.flushes);
}

TEST_F(ShellTest, LongLineIsCutAt4095Bytes) {
    std::string line = "echo " + std::string(10000, 'a');
    EXPECT_EQ(0, s.run(line.c_str()));
    EXPECT_EQ(std::string(4090, 'a') + "\n", s.text);
}

TEST_F(ShellTest, LineOfExactly4095BytesIsKept) {
    std::string line = "echo " + std::string(4090, 'b');
    s.run(line.c_str());
    EXPECT_EQ(std::string(4090, 'b') + "\n", s.text);
    std::string cut = "echo " + std::string(4091, 'b');
    s.clear();
    s.run(cut.c_str());
    EXPECT_EQ(std::string(4090, 'b') + "\n", s.text);
}

TEST_F(ShellTest, HighBytesPassThrough) {
    EXPECT_EQ("\xc3\xa9t\xc3\xa9 \xff\xfe\n", out("echo \xc3\xa9t\xc3\xa9 \xff\xfe"));
}

TEST_F(ShellTest, NulEndsTheLine) {
    const char line[] = "echo a\0; echo b";
    EXPECT_EQ("a\n", out(line));
}

TEST_F(ShellTest, LongAliasValueIsCut) {
    alias_set("big", ("echo " + std::string(5000, 'c')).c_str());
    std::string text = out("big tail");
    EXPECT_EQ(std::string(4090, 'c') + "\n", text);
}

TEST_F(ShellTest, LongFirstWordIsNoAlias) {
    std::string word(300, 'w');
    std::string expect = "command not found: [" + word + "]\n" + NOT_FOUND_TAIL;
    EXPECT_EQ(expect, out(word.c_str()));
}

TEST_F(ShellTest, ExtensionCommandIsFoundAndListedFirst) {
    shell_cmd cmd{"config", [](shell_ctx *ctx, int, char **) { return ctx->print(ctx->out, "cfg\n") > 0 ? 0 : -1; },
                  "View configuration parameters"};
    EXPECT_EQ(0, libsh_cmd_add(&cmd));
    EXPECT_EQ(-1, libsh_cmd_add(&cmd));
    EXPECT_EQ("cfg\n", out("config"));
    EXPECT_EQ(std::string("config    \tView configuration parameters\n"), out("help").substr(0, 41));
}

TEST_F(ShellTest, BuiltinWinsOverExtension) {
    shell_cmd cmd{"echo", [](shell_ctx *ctx, int, char **) { return ctx->print(ctx->out, "ext\n") > 0 ? 0 : -1; },
                  "ext help"};
    ASSERT_EQ(0, libsh_cmd_add(&cmd));
    EXPECT_EQ("x\n", out("echo x"));
    EXPECT_STREQ("ext help", libsh_cmd_help("echo"));
}

TEST_F(ShellTest, HelpOfUnknownCommand) {
    EXPECT_STREQ("get cmd help failed", libsh_cmd_help("nosuch"));
}

TEST_F(ShellTest, SecondInitKeepsState) {
    alias_set("keep", "echo kept");
    EXPECT_EQ(0, libsh_init());
    EXPECT_EQ("kept\n", out("keep"));
}

TEST_F(ShellTest, PromptDefaultsToGreaterThan) {
    libsh_prompt_set(nullptr);
    EXPECT_STREQ(">", libsh_prompt());
    libsh_prompt_set("hubd>");
    EXPECT_STREQ("hubd>", libsh_prompt());
    libsh_prompt_set(std::string(100, 'p').c_str());
    EXPECT_EQ(std::string(31, 'p'), libsh_prompt());
    libsh_prompt_set(nullptr);
}

}  // namespace
