// Running lines: splitting, aliases, assignments, the repeated last line.
#include <climits>
#include <string>
#include <vector>

#include "libsh/alias.h"
#include "libsh/sh_env.h"
#include "sh_fixture.h"

namespace {

std::string env_value(const char *name) {
    char buf[512];
    return libsh_getenv_copy(name, buf, sizeof buf) < 0 ? "<unset>" : buf;
}

const char *NOT_FOUND_TAIL = "Type `help` to learn how to use prompt\n";
const std::string END(1, '\0');

// Whatever a line does, its reply ends once, after all of its output, and
// its status tells whether every command ran and returned 0.
TEST_F(ShellTest, EveryLineEndsItsReplyExactlyOnce) {
    const struct {
        const char *line;
        std::string wire;
        int status;
    } rows[] = {
        {"echo a; echo b", "a\nb\n" + END, 0},
        {"echo a; #x; echo b", "a\nb\n" + END, 0},
        {"# echo hidden", END, 0},
        {"X=hello world", END, 0},
        {";;echo a;;", "a\n" + END, 0},
        {"echo ok; echo 'a", "error: unbalanced quotes, nothing ran\n" + END, -1},
        {"echo \"abc", "error: unbalanced quotes, nothing ran\n" + END, -1},
        {"bad;echo after", std::string("command not found: [bad]\n") + NOT_FOUND_TAIL + END, -12},
        {"alias nosuch; echo x", "nosuch not found\nx\n" + END, 1},
        {"show nosuch", "error: The show variable 'nosuch' does not exist\n" + END, -12},
        {"call tlog", END, 0},
        {"quit", END, 0},
        {"exit", END, 0},
    };
    for (const auto &row : rows) {
        mem_session m;
        m.run(row.line);
        EXPECT_EQ(row.wire, m.wire) << row.line;
        EXPECT_EQ(1, m.flushes) << row.line;
        EXPECT_EQ(row.status, m.ctx.status) << row.line;
    }
    EXPECT_EQ("hello world", env_value("X"));
}

// Both sides of every limit: the longest input is taken whole, one byte
// more is refused whole (an assignment then runs as a command, which no
// command table knows).
TEST_F(ShellTest, LimitsTakeTheLongestInputWholeAndRefuseOneByteMore) {
    alias_set("big", ("echo " + std::string(4085, 'c')).c_str());
    const std::string NAME_255(255, 'N'), VALUE_255(255, 'v');
    const std::string too_long = "error: line too long (4096 bytes, at most 4095)\n";
    const struct {
        std::string line;
        std::string text;
        std::string env_name;  // set by the line when not empty
    } rows[] = {
        {"echo " + std::string(4090, 'b'), std::string(4090, 'b') + "\n", ""},
        {"echo " + std::string(4091, 'b'), too_long, ""},
        {"echo " + std::string(4090, 'b') + "  \n", std::string(4090, 'b') + "\n", ""},
        {"big 1234", "c" + std::string(4084, 'c') + " 1234\n", ""},
        {"big 12345", "error: line too long after alias expansion (4096 bytes, at most 4095)\n", ""},
        {NAME_255 + "=v", "", NAME_255},
        {NAME_255 + "N=v", "command not found: [" + NAME_255 + "N=v]\n" + NOT_FOUND_TAIL, ""},
        {"V=" + VALUE_255, "", "V"},
        {"W=" + VALUE_255 + "v", "command not found: [W=" + VALUE_255 + "v]\n" + NOT_FOUND_TAIL, ""},
    };
    for (const auto &row : rows) {
        mem_session m;
        m.run(row.line.c_str());
        EXPECT_EQ(row.text, m.text) << row.line.substr(0, 40);
        EXPECT_EQ(1, m.flushes);
        if (!row.env_name.empty()) {
            EXPECT_NE("<unset>", env_value(row.env_name.c_str())) << row.env_name;
        }
    }
    EXPECT_EQ("v", env_value(NAME_255.c_str()));
    EXPECT_EQ(VALUE_255, env_value("V"));
    EXPECT_EQ("<unset>", env_value((NAME_255 + "N").c_str()));
    EXPECT_EQ("<unset>", env_value("W"));
}

TEST_F(ShellTest, ShowInfoAndShowMemoryRunBoth) {
    EXPECT_EQ(0, s.run("show info; show memory"));
    EXPECT_EQ(1, s.flushes);
    EXPECT_NE(std::string::npos, s.text.find("cpu_endian=little\n"));
    EXPECT_NE(std::string::npos, s.text.find("malloc_count="));
}

// What single lines print and return (INT_MIN: not checked).
TEST_F(ShellTest, LinesPrintTheirOutput) {
    const std::string not_found = "command not found: [";
    const std::string tail = std::string("]\n") + NOT_FOUND_TAIL;
    const std::string word(300, 'w');
    alias_set("x", "y");  // an alias expands only once
    alias_set("y", "x");
    alias_set("k", "echo K");
    alias_set("echo", "");  // an empty value does not expand
    const struct {
        std::string line;
        std::string text;
        int ret;
    } rows[] = {
        {"echo 'a;b'", "'a;b'\n", INT_MIN},
        {"nosuch arg", not_found + "nosuch" + tail, -12},
        {"nosuch", not_found + "nosuch" + tail, -12},
        {"x", not_found + "y" + tail, INT_MIN},
        // The alias word ends at a blank, not at a tab.
        {"k 1", "K 1\n", INT_MIN},
        {"k\t1", not_found + "k" + tail, INT_MIN},
        {"echo z", "z\n", INT_MIN},
        // A blank before '=' or a second '=' makes a command.
        {"X =1", not_found + "X" + tail, INT_MIN},
        {"A=b=c", not_found + "A=b=c" + tail, INT_MIN},
        {"A=", not_found + "A=" + tail, INT_MIN},
        // A failing command stops the line.
        {"bad;echo after", not_found + "bad" + tail, -12},
        {"echo before;bad", "before\n" + not_found + "bad" + tail, -12},
        {"echo \xc3\xa9t\xc3\xa9 \xff\xfe", "\xc3\xa9t\xc3\xa9 \xff\xfe\n", INT_MIN},
        {std::string("echo a\0; echo b", 15), "a\n", INT_MIN},  // a NUL ends the line
        {word, not_found + word + tail, INT_MIN},  // a long first word is no alias
    };
    for (const auto &row : rows) {
        int ret = 0;
        EXPECT_EQ(row.text, out(row.line.c_str(), &ret)) << row.line;
        if (row.ret != INT_MIN) {
            EXPECT_EQ(row.ret, ret) << row.line;
        }
    }
    EXPECT_EQ("<unset>", env_value("A"));
}

// An empty or blank line repeats the session's last line, if one is left.
TEST_F(ShellTest, EmptyLineRepeatsTheLastLineThatRan) {
    const struct {
        std::vector<const char *> before;
        const char *line;
        const char *text;
    } rows[] = {
        {{}, "", ""},
        {{"echo again"}, "  \t ", "again\n"},
        {{"echo one", "echo 'a"}, "", ""},  // a syntax error clears the last line
        {{"nosuch"}, "", ""},
    };
    for (const auto &row : rows) {
        mem_session m;
        for (const char *line : row.before) m.run(line);
        m.clear();
        EXPECT_EQ(0, m.run(row.line)) << row.line;
        EXPECT_EQ(std::string(row.text) + '\0', m.wire) << row.before.size();
        EXPECT_EQ(1, m.flushes);
    }
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

TEST_F(ShellTest, AliasSExpandsWithRestOfCommand) {
    EXPECT_EQ(out("show memory").substr(0, 13), out("s memory").substr(0, 13));
    EXPECT_EQ("malloc_count=", out("sm").substr(0, 13));
    EXPECT_EQ("ver=", out("s info").substr(0, 4));
}

TEST_F(ShellTest, EmptyPiecesAreDropped) {
    EXPECT_EQ(0, s.run(";;echo a;;"));
    EXPECT_EQ("a\n", s.text);
    EXPECT_EQ(1, s.flushes);
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
