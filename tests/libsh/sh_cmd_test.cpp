// The built-in commands and the exact texts they print.
#include <algorithm>
#include <climits>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log2_ctl.h"
#include "libpal/env/malloc.h"
#include "libpal/value/rvar.h"
#include "libsh/alias.h"
#include "libsh/sh_env.h"
#include "sh_fixture.h"

namespace {

const char *HELP_LIST =
    "show      \tShow the status of the program\n"
    "set       \tSet public options\n"
    "call      \tcall application commands\n"
    "pwd       \tPrint working directory\n"
    "alias     \tDefine or display alias\n"
    "unalias   \tDelete the alias set by alias\n"
    "unset     \tCancel environment variable\n"
    "echo      \tEcho the STRING(s) to output\n"
    "env       \tDisplay all variables\n"
    "source    \tExec commands from file\n"
    "exit      \tExit the service program\n"
    "quit      \tQuit the current session\n"
    "help      \tDisplay this text\n"
    "?         \tSynonym for `help'\n"
    "\nFor more information, type 'help command' for each command.\n"
    "e.g. help pwd\n";

const char *SET_LIST =
    "Set public options\n"
    "set log.level [verb|dbg|info|noti|warn|err|crit] -- Set log output level\n"
    "set log.dbgview [0|1] -- Turn outputDebugString output on or off\n";

std::string temp_path(const char *name) {
    return ::testing::TempDir() + "hubd_sh_" + std::to_string(getpid()) + "_" + name;
}

std::string write_file(const char *name, const std::string &content) {
    std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

char *config_text() { return mem_strdup("http_server_port=0\n"); }
char *status_text() { return nullptr; }
rvar g_config{"config", "View configuration parameters", config_text};
rvar g_status{"status", "Show the status of the program", status_text};

std::atomic<int> g_hook_calls{0};
int count_hook() {
    g_hook_calls.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

class ShellCmdTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        saved_level_ = log2_level_get();
    }
    void TearDown() override {
        log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, saved_level_);
        ShellTest::TearDown();
    }
    int saved_level_ = LOG_DBG;
};

// ---- help ----------------------------------------------------------------

TEST_F(ShellCmdTest, HelpListsFourteenRowsInTableOrder) {
    EXPECT_EQ(HELP_LIST, out("help"));
    EXPECT_EQ(HELP_LIST, out("?"));
    EXPECT_EQ(HELP_LIST, out("help nosuch"));
}

// Commands whose whole output and result are fixed (INT_MIN: result not checked).
TEST_F(ShellCmdTest, FixedOutputAndResult) {
    const std::string missing = temp_path("missing");
    const std::string dir = ::testing::TempDir();
    const std::string source_usage = "source [opt] [file]...\nExec commands from file\n-h: Display this help\n";
    const struct {
        std::string line;
        std::string text;
        int ret;
    } rows[] = {
        {"help pwd", "pwd\nPrint working directory\n\t-h Display this help\n", INT_MIN},
        {"help set", SET_LIST, 0},
        {"show nosuch", "error: The show variable 'nosuch' does not exist\n", -12},
        {"set log.level foo", "error: invalid param [foo]\n\n", -1},
        {"set log.dbgview 2", "error: error: invalid param [2]\n\n", -1},
        {"set no.such 1", "error: The set variable 'no.such' does not exist\n", -12},
        {"set", SET_LIST, -1},
        {"set -h", SET_LIST, 0},
        {"call",
         "call application commands\n"
         "call kill -- Execute exit() to exit the process\n"
         "call null -- null memory access exception\n"
         "call tlog -- Test All log level output\n",
         -1},
        {"c nosuch", "error: The call func 'nosuch' does not exist\n", -12},
        {"echo -nh a", "echo [opt] [string|var]...\nEcho the STRING(s) to output\n\t-h Display this help\n", 1},
        {"alias x", "x not found\n", 1},
        {"unset", "unsetenv: Too few arguments\n", -1},
        {"unset -h", "unset [var ...]\nCancel environment variable\n\t-h Display this help\n", INT_MIN},
        {"source " + missing, "open:[" + missing + "] error:No such file or directory\n", -1},
        {"source " + dir, "open:[" + dir + "] error:Is a directory\n", -1},
        {"source", source_usage, 1},
        {"source -h", source_usage, 0},
    };
    for (const auto &row : rows) {
        int ret = INT_MIN;
        EXPECT_EQ(row.text, out(row.line.c_str(), &ret)) << row.line;
        if (row.ret != INT_MIN) {
            EXPECT_EQ(row.ret, ret) << row.line;
        }
    }
    EXPECT_EQ(0, log2_dbgview_get());  // the refused value changed nothing
}

// help X prints X's usage and never runs X; X -h prints the same.
TEST_F(ShellCmdTest, HelpAndDashHPrintTheUsageAndRunNothing) {
    g_hook_calls = 0;
    libsh_exit_hook_set(count_hook);
    alias_set("keep", "show");
    const struct {
        const char *name;
        const char *head;  // the usage starts with this
    } rows[] = {
        {"show", "show [item]\nShow the status of the program\n\t-h Display this help\nshow info -- "},
        {"set", "Set public options\nset log.level ["},
        {"call", "call [func [arg]...]\ncall application commands\n\t-h Display this help\ncall kill -- "},
        {"pwd", "pwd\nPrint working directory\n\t-h Display this help\n"},
        {"alias", "alias [name[=value]]...\nDefine or display alias\n"},
        {"unalias", "unalias [-a] [name]...\nDelete the alias set by alias\n\t-a Delete every alias\n"},
        {"unset", "unset [var ...]\nCancel environment variable\n\t-h Display this help\n"},
        {"echo", "echo [opt] [string|var]...\nEcho the STRING(s) to output\n\t-h Display this help\n"},
        {"env", "env\nDisplay all variables\n\t-h Display this help\n"},
        {"source", "source [opt] [file]...\nExec commands from file\n-h: Display this help\n"},
        {"exit", "exit\nExit the service program\n\t-h Display this help\n"},
        {"quit", "quit\nQuit the current session\n\t-h Display this help\n"},
        {"help", "help [command]\nDisplay this text\n\t-h Display this help\n"},
        {"?", "? [command]\nSynonym for `help'\n"},
    };
    for (const auto &row : rows) {
        for (const std::string &line : {"help " + std::string(row.name), std::string(row.name) + " -h"}) {
            mem_session m;
            int ret = m.run(line.c_str());
            EXPECT_EQ(0u, m.text.find(row.head)) << line << ": " << m.text;
            EXPECT_EQ(0, m.ctx.exit_flag) << line;
            if (line[0] == 'h') {
                EXPECT_EQ(0, ret) << line;
            }
        }
    }
    libsh_exit_hook_set(nullptr);
    EXPECT_EQ(0, g_hook_calls.load());
    // unalias -h removes nothing.
    std::string text = out("unalias -h keep; alias keep");
    EXPECT_EQ("\nkeep=show\n", text.substr(text.size() - 11));
}

// ---- show ----------------------------------------------------------------

TEST_F(ShellCmdTest, ShowAloneListsViewsInOrder) {
    ASSERT_EQ(0, rvar_mgr_add(&g_config));
    ASSERT_EQ(0, rvar_mgr_add(&g_status));
    int ret = -5;
    EXPECT_EQ("Show the status of the program\n"
              "show info -- View program running global info\n"
              "show memory -- View program memory stats\n"
              "show llog -- show last log\n"
              "show dvar -- View program Dynamic variable\n"
              "show config -- View configuration parameters\n"
              "show status -- Show the status of the program\n",
              out("show", &ret));
    EXPECT_EQ(0, ret);
}

TEST_F(ShellCmdTest, ShowViewWithNoTextPrintsNothing) {
    ASSERT_EQ(0, rvar_mgr_add(&g_status));
    int ret = -5;
    EXPECT_EQ("", out("show status", &ret));
    EXPECT_EQ(0, ret);
    ASSERT_EQ(0, rvar_mgr_add(&g_config));
    EXPECT_EQ("http_server_port=0\n", out("sc"));
}

TEST_F(ShellCmdTest, ShowInfoHasTwelveLinesInOrder) {
    std::string text = out("show info");
    const char *keys[] = {"ver=", "ver_date=", "start_time=", "is_root=", "log_level=", "poller=", "bsv_pipe_name=",
                          "cpu_endian=", "os_is_nt=", "os_info=", "hw_info=", "os_start_time="};
    size_t pos = 0;
    for (const char *key : keys) {
        ASSERT_EQ(0u, text.compare(pos, std::strlen(key), key)) << key << " in\n" << text;
        pos = text.find('\n', pos) + 1;
    }
    EXPECT_EQ(text.size(), pos);
    EXPECT_NE(std::string::npos, text.find("bsv_pipe_name=''\n"));
    // Without a running loop: the back end the loop would start on.
    EXPECT_NE(std::string::npos, text.find("\npoller=epoll\n"));
    EXPECT_EQ(3, std::count(text.begin() + static_cast<long>(text.find("hw_info=")),
                            text.begin() + static_cast<long>(text.find("os_start_time=")), '|') + 1);
}

TEST_F(ShellCmdTest, ShowInfoUsesRegisteredPipeName) {
    libsh_pipe_name_getter_set([] { return "/tmp/qelto_hubd_42"; });
    EXPECT_NE(std::string::npos, out("show info").find("bsv_pipe_name=/tmp/qelto_hubd_42\n"));
    libsh_pipe_name_getter_set(nullptr);
}

TEST_F(ShellCmdTest, ShowMemoryHasFiveCounters) {
    std::string text = out("show memory");
    for (const char *key : {"malloc_count=", "\nmalloc_bytes=", "\nmalloc_max_size=", "\nmalloc_max_count=",
                            "\nmalloc_max_bytes="})
        EXPECT_NE(std::string::npos, text.find(key)) << key;
}

TEST_F(ShellCmdTest, ShowDvarListsLogSettings) {
    ASSERT_EQ(0, s.run("set log.level warn"));
    EXPECT_EQ("log.level=warn\nlog.dbgview=0\n", out("show dvar"));
}

// ---- set -----------------------------------------------------------------

TEST_F(ShellCmdTest, SetLogLevelChangesLevel) {
    int ret = -5;
    EXPECT_EQ("", out("set log.level dbg", &ret));
    EXPECT_EQ(0, ret);
    EXPECT_EQ(LOG_DBG, log2_level_get());
    out("set log.level err");
    EXPECT_EQ(LOG_ERR, log2_level_get());
}

TEST_F(ShellCmdTest, SetWithOverlongNameAndValueIsRefused) {
    std::string line = "set " + std::string(3000, 'n') + " " + std::string(1000, 'v');
    int ret = 0;
    std::string text = out(line.c_str(), &ret);
    EXPECT_EQ(-12, ret);
    EXPECT_EQ(0u, text.find("error: The set variable 'nnnn"));
    line = "set log.level " + std::string(4000, 'v');
    text = out(line.c_str(), &ret);
    EXPECT_EQ(-1, ret);
    EXPECT_EQ(0u, text.find("error: invalid param [vvvv"));
}

// ---- call ----------------------------------------------------------------

TEST_F(ShellCmdTest, CallTlogLogsAndSucceeds) {
    EXPECT_EQ(0, s.run("call tlog"));
    EXPECT_EQ(1, s.flushes);
    char *last = log2_last_log();
    std::string text = last ? last : "";
    mem_free(last);
    EXPECT_NE(std::string::npos, text.find("log_error"));
}

TEST(ShellCmdDeathTest, CallNullFaultsOnMemoryAccess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        libsh_init();
        mem_session s;
        s.run("call null");
    };
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    EXPECT_DEATH(run(), "SEGV|null pointer");
#else
    EXPECT_EXIT(run(), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

TEST(ShellCmdDeathTest, CallKillEndsWithCodeZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        libsh_init();
        mem_session s;
        s.run("call kill");
        std::exit(3);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

// ---- echo ----------------------------------------------------------------

TEST_F(ShellCmdTest, EchoWordsOptionsAndEscapes) {
    const struct {
        const char *cmd, *expect;
    } rows[] = {
        // Words joined with one blank.
        {"echo a   b\tc", "a b c\n"},
        {"echo", "\n"},
        {"echo -n a b", "a b"},
        // -e interprets escapes, -E turns them off again.
        {"echo -e a\\tb", "a\tb\n"},
        {"echo a\\tb", "a\\tb\n"},
        {"echo -eE a\\tb", "a\\tb\n"},
        {"echo -e \\a\\b\\f\\n\\r\\t\\v\\\\", "\a\b\f\n\r\t\v\\\n"},
        // Octal escapes.
        {"echo -e \\101", "A\n"},
        {"echo -e \\777", "?7\n"},
        {"echo -e \\1x", "\x01x\n"},
        // An unknown escape keeps its backslash.
        {"echo -e \\q", "\\q\n"},
        {"echo -e end\\", "end\\\n"},
        // \c stops the newline, not the text.
        {"echo -e a\\cb c", "ab c"},
        // Words that are not options print as text.
        {"echo -x a", "-x a\n"},
        {"echo -", "-\n"},
        {"echo a -n", "a -n\n"},
    };
    for (const auto &row : rows) EXPECT_EQ(row.expect, out(row.cmd)) << row.cmd;
}

// ---- alias / unalias -----------------------------------------------------

TEST_F(ShellCmdTest, AliasListsBucketByBucket) {
    EXPECT_EQ("e=exit\ns=show\nc=call\nq=quit\na=alias\nsc=show config\nsd=show dvar\n"
              "si=show info\nsl=show llog\nsm=show memory\n",
              out("alias"));
}

TEST_F(ShellCmdTest, AliasChainKeepsInsertionOrder) {
    // Same first byte and same byte sum: one bucket, so the order is the chain's.
    ASSERT_EQ(alias_hash("xab"), alias_hash("xba"));
    alias_remove_all();
    out("alias xba=one xab=two");
    EXPECT_EQ("xba=one\nxab=two\n", out("alias"));
    out("alias xba=three");
    EXPECT_EQ("xba=three\nxab=two\n", out("alias"));
}

TEST_F(ShellCmdTest, AliasDefinesAndShows) {
    int ret = -5;
    EXPECT_EQ("", out("alias \"x=show info\"", &ret));
    EXPECT_EQ(0, ret);
    EXPECT_EQ("x=show info\n", out("alias x"));
    EXPECT_EQ("ver=", out("x").substr(0, 4));
    out("alias x=echo");
    EXPECT_EQ("x=echo\n", out("alias x"));
}

TEST_F(ShellCmdTest, AliasLeadingEqualsBelongsToName) {
    out("alias =q=v");
    EXPECT_EQ("=q=v\n", out("alias =q"));
}

TEST_F(ShellCmdTest, UnaliasRemovesAndReportsMissing) {
    int ret = -5;
    EXPECT_EQ("", out("unalias sm", &ret));
    EXPECT_EQ(0, ret);
    EXPECT_EQ("sm not found\n", out("alias sm"));
    EXPECT_EQ("zz not found\n", out("unalias zz s", &ret));
    EXPECT_EQ(1, ret);
    EXPECT_EQ("s not found\n", out("alias s"));
}

TEST_F(ShellCmdTest, UnaliasDashARemovesAll) {
    int ret = -5;
    out("unalias -a", &ret);
    EXPECT_EQ(0, ret);
    EXPECT_EQ("", out("alias"));
}

// ---- env / unset ---------------------------------------------------------

TEST_F(ShellCmdTest, EnvListsCopyWithAssignmentsLast) {
    s.run("HUBD_T1=one");
    std::string text = out("env");
    ASSERT_GE(text.size(), 12u);
    EXPECT_EQ("HUBD_T1=one\n", text.substr(text.size() - 12));
    EXPECT_EQ(nullptr, std::getenv("HUBD_T1"));
}

TEST_F(ShellCmdTest, EnvStartsWithProcessEnvironment) {
    ASSERT_NE(nullptr, std::getenv("PATH"));
    EXPECT_NE(std::string::npos, out("env").find(std::string("PATH=") + std::getenv("PATH") + "\n"));
}

TEST_F(ShellCmdTest, UnsetRemovesAndKeepsOrder) {
    s.run("U1=a;U2=b;U3=c");
    int ret = -5;
    out("unset U2 missing", &ret);
    EXPECT_EQ(0, ret);
    std::string text = out("env");
    EXPECT_EQ(std::string::npos, text.find("U2="));
    EXPECT_EQ("U1=a\nU3=c\n", text.substr(text.size() - 10));
}

// ---- pwd / exit / quit ---------------------------------------------------

TEST_F(ShellCmdTest, PwdPrintsWorkingDirectory) {
    char dir[4096];
    ASSERT_NE(nullptr, getcwd(dir, sizeof dir));
    EXPECT_EQ(std::string(dir) + "\n", out("pwd"));
}

TEST_F(ShellCmdTest, ExitCallsHookAndEndsSession) {
    g_hook_calls = 0;
    libsh_exit_hook_set(count_hook);
    EXPECT_EQ(0, s.run("exit"));
    libsh_exit_hook_set(nullptr);
    EXPECT_EQ(1, g_hook_calls.load());
    EXPECT_EQ(1, s.ctx.exit_flag);
    EXPECT_EQ(1, s.flushes);
}

TEST_F(ShellCmdTest, ExitWithoutHookStillEndsSession) {
    EXPECT_EQ(0, s.run("e"));
    EXPECT_EQ(1, s.ctx.exit_flag);
}

TEST_F(ShellCmdTest, QuitEndsOnlyTheSession) {
    g_hook_calls = 0;
    libsh_exit_hook_set(count_hook);
    EXPECT_EQ(0, s.run("q"));
    libsh_exit_hook_set(nullptr);
    EXPECT_EQ(0, g_hook_calls.load());
    EXPECT_EQ(1, s.ctx.exit_flag);
    EXPECT_EQ(1, s.flushes);
}

// ---- source --------------------------------------------------------------

TEST_F(ShellCmdTest, SourceRunsEveryLine) {
    std::string path = write_file("lines", "echo one\n\n   \n# note\necho two; echo three\nbad\necho four");
    int ret = -5;
    std::string text = out(("source " + path).c_str(), &ret);
    EXPECT_EQ(0, ret);
    EXPECT_EQ(std::string("one\ntwo\nthree\ncommand not found: [bad]\nType `help` to learn how to use prompt\nfour\n"),
              text);
    std::remove(path.c_str());
}

TEST_F(ShellCmdTest, SourceStopsAtFirstUnreadableFile) {
    std::string good = write_file("good", "echo g\n");
    std::string missing = temp_path("none");
    int ret = 0;
    std::string text = out(("source " + good + " " + missing + " " + good).c_str(), &ret);
    EXPECT_EQ(-1, ret);
    EXPECT_EQ("g\nopen:[" + missing + "] error:No such file or directory\n", text);
    std::remove(good.c_str());
}

// Files without an end would hold the session for ever: refused before reading.
TEST_F(ShellCmdTest, SourceRefusesFilesThatNeverEnd) {
    std::string fifo = temp_path("fifo");
    std::remove(fifo.c_str());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    for (const std::string &path : {std::string("/dev/zero"), fifo}) {
        int ret = 0;
        EXPECT_EQ("open:[" + path + "] error:Not a regular file\n", out(("source " + path).c_str(), &ret)) << path;
        EXPECT_EQ(-1, ret) << path;
    }
    std::remove(fifo.c_str());
}

TEST_F(ShellCmdTest, SourceStopsAtTheLineLimit) {
    std::string lines;
    for (int i = 0; i < 100000; ++i) lines += "#\n";
    std::string path = write_file("long", lines + "echo beyond\n");
    int ret = 0;
    EXPECT_EQ("source: [" + path + "] stopped after 100000 lines\n", out(("source " + path).c_str(), &ret));
    EXPECT_EQ(-1, ret);
    std::remove(path.c_str());
}

std::atomic<int> g_stop_after{0};
int stop_after_countdown(void *) { return g_stop_after.fetch_sub(1) <= 0; }

TEST_F(ShellCmdTest, SourceEndsWhenTheSessionStops) {
    std::string path = write_file("steps", "echo 1\necho 2\necho 3\necho 4\n");
    g_stop_after = 2;
    s.ctx.stopped = stop_after_countdown;
    int ret = s.run(("source " + path).c_str());
    EXPECT_EQ("1\n2\n", s.text);
    EXPECT_EQ(-1, ret);
    std::remove(path.c_str());
}

TEST_F(ShellCmdTest, SourceRefusesAHugeLineWholeAndGoesOn) {
    std::string path = write_file("huge", "echo " + std::string(100000, 'x') + "\necho done\n");
    s.run(("source " + path).c_str());
    EXPECT_EQ("source: [" + path + "] line 1: error: line too long (100005 bytes, at most 4095)\ndone\n", s.text);
    EXPECT_EQ(-1, s.ctx.status);
    EXPECT_EQ(1, s.flushes);
    std::remove(path.c_str());
}

TEST_F(ShellCmdTest, SourceOfItselfStopsAtDepthLimit) {
    std::string path = temp_path("self");
    write_file("self", "echo level\nsource " + path + "\n");
    int ret = -5;
    std::string text = out(("source " + path).c_str(), &ret);
    EXPECT_EQ(0, ret);
    size_t levels = 0;
    for (size_t pos = 0; (pos = text.find("level\n", pos)) != std::string::npos; ++pos) ++levels;
    EXPECT_EQ(16u, levels);
    EXPECT_NE(std::string::npos, text.find("source: [" + path + "] nested deeper than 16, refused\n"));
    std::remove(path.c_str());
}

TEST_F(ShellCmdTest, SourceLoopThroughTwoFilesStops) {
    std::string a = temp_path("loop_a");
    std::string b = temp_path("loop_b");
    write_file("loop_a", "source " + b + "\n");
    write_file("loop_b", "source " + a + "\n");
    std::string text = out(("source " + a).c_str());
    EXPECT_NE(std::string::npos, text.find("nested deeper than 16, refused\n"));
    std::remove(a.c_str());
    std::remove(b.c_str());
}

}  // namespace
