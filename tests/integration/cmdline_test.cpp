// The command line of the real binary: texts, exit codes and order of effect.
#include <gtest/gtest.h>

#include <signal.h>

#include "hubd_process_util.h"

namespace {

const std::string BANNER = "hubd-linux-x86_64 v1.0.0.0 (2024-1-9) - QELTO TESSEL Server\n";

std::string help_text() {
    return "Usage: hubd [opt] [arguments] ...\n"
           "\t-c [config_file]  set config file\n"
           "\t-p dump current config\n"
           "\t-t check the configuration, print what is wrong, and exit\n"
           "\t-s [list|key=val] Set configuration options\n"
           "\t-e [\"cmd;...\"] execute string 'cmd'\n"
           "\t-v show version\n"
           "\t-q Do not display the startup banner and copyright message\n"
           "\t-d Run as a service\n"
           "\t-i Install service\n"
           "\t-u uninstall service\n"
           "\t-o [log_file]     set output log file\n"
           "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n"
           "\t-h display this help\n";
}

// Lines of the dump that the framework owns (the log lines follow them).
std::string framework_dump(int http, int shell) {
    return "http_server_port=" + std::to_string(http) + "\nhttp_server_addr=''\ndebug_server_port=" +
           std::to_string(shell) + "\ndebug_server_addr=''\npanic_dump_dir=''\n";
}

const EnvOverrides NO_POSIX{{"POSIXLY_CORRECT", ""}};
const EnvOverrides POSIX{{"POSIXLY_CORRECT", "1"}};

// One run of the binary in a folder of its own and what it must give: texts
// other than "*" whole, the "starts" text and the "has" pieces as parts.
struct RunRow {
    const char *what;
    std::vector<std::string> args;
    EnvOverrides env = {};
    std::string ini = "";  // hubd.ini beside the binary; empty: none
    int exit_code = 0;
    std::string out = "*", err = "*";  // "<bin>" at the start of err stands for the binary's path
    std::string out_starts = "";
    std::vector<std::string> out_has = {}, err_has = {}, err_lacks = {};
};

TEST(Cmdline, RunsGiveTheirTextsAndExitCodes) {
    std::vector<std::string> seventeen(17, "operand");
    seventeen.push_back("-v");
    const std::string long_key(300, 'k');
    const RunRow rows[] = {
        {.what = "version prints only the version", .args = {"-v"}, .out = "1.0.0.0\n", .err = ""},
        {.what = "help prints the banner, then the help", .args = {"-h"}, .out = "", .err = BANNER + help_text()},
        {.what = "quiet help", .args = {"-q", "-h"}, .err = help_text()},
        {.what = "an invalid option prints the message, banner and help",
         .args = {"-x"}, .env = NO_POSIX, .exit_code = 1, .err = "<bin>: invalid option -- x\n" + BANNER + help_text()},
        {.what = "the same under POSIXLY_CORRECT",
         .args = {"-q", "-x"}, .env = POSIX, .exit_code = 1, .err = "<bin>: illegal option -- x\n" + help_text()},
        {.what = "a missing argument is a usage error",
         .args = {"-q", "-c"}, .exit_code = 1, .err = "<bin>: option requires an argument -- c\n" + help_text()},
        // Options take effect in the order given.
        {.what = "version first", .args = {"-v", "-x"}, .out = "1.0.0.0\n", .err = ""},
        {.what = "bad option first", .args = {"-x", "-v"}, .exit_code = 1, .out = "", .err_has = {"invalid option -- x"}},
        // Operands are skipped unless POSIXLY_CORRECT.
        {.what = "operand skipped", .args = {"-q", "-p", "operand", "-x"}, .env = NO_POSIX, .exit_code = 1},
        {.what = "posix: parsing ends at the operand", .args = {"-q", "-p", "operand", "-x"}, .env = POSIX,
         .out_starts = framework_dump(12580, 12581)},
        {.what = "parsing ends at --", .args = {"-q", "-p", "--", "-x"}, .env = NO_POSIX},
        {.what = "seventeen arguments warn once and still parse", .args = seventeen, .env = NO_POSIX,
         .out = "1.0.0.0\n", .err = "error: Too many args\n"},
        {.what = "settings list", .args = {"-s", "list"},
         .err = "support the following key settings\nhttp_server_port\ndebug_server_port\nshell_server_port\n"},
        {.what = "the dump without a file shows the built-in ports", .args = {"-q", "-p"},
         .out_starts = framework_dump(12580, 12581), .out_has = {"log_level=info\n"},
         .err_has = {"iniparser: cannot open hubd.ini\n"}, .err_lacks = {"hubd-linux"}},
        {.what = "the dump without -q shows the banner", .args = {"-p"}, .err_has = {BANNER}},
        {.what = "settings override the file without regard to case",
         .args = {"-q", "-s", "HTTP_SERVER_PORT=81", "-s", "debug_server_port=0", "-p"},
         .ini = "[debug]\nshell_server_port = 3000\nhttp_server_port = 3001\n", .out_starts = framework_dump(81, 0)},
        {.what = "bad settings are each reported and stop the start",
         .args = {"-q", "-s", "foo=1", "-s", "port", "-s", long_key + "=1", "-p"}, .exit_code = 1, .out = "",
         .err_has = {"unsupported key [foo]\n", "port syntax error Example: k=v\n", long_key + "=1 syntax error Example: k=v\n",
                     "hubd: 3 configuration error(s), not started\n"}},
        {.what = "settings take the file's names too", .args = {"-q", "-s", "shell_server_port=4001", "-p"},
         .out_starts = framework_dump(12580, 4001)},
        {.what = "the file's debug and log sections are read", .args = {"-q", "-p"},
         .ini = "[debug]\nshell_server_port = 4000\nshell_server_addr = 127.0.0.1\n"
                "http_server_user = admin\npanic_dump_dir = my dumps\n[log]\nlevel = warn\nfile_size = 4k\n",
         .out_starts = "http_server_port=0\nhttp_server_addr=''\ndebug_server_port=4000\n"
                       "debug_server_addr=127.0.0.1\npanic_dump_dir='my dumps'\n",
         .out_has = {"log_level=warn\n", "log_file_max_size=4096\n"}},
        {.what = "a file without [debug] turns the servers off", .args = {"-q", "-p"}, .ini = "[log]\nlevel = info\n",
         .out_starts = framework_dump(0, 0)},
        {.what = "a broken file stops the start instead of leaving defaults", .args = {"-q", "-p"},
         .ini = "[debug]\nshell_server_port = 4000\nthis line is broken\n", .exit_code = 1, .out = "",
         .err_has = {"hubd.ini:3: expected key = value: this line is broken\n"}},
    };
    for (const RunRow &row : rows) {
        SCOPED_TRACE(row.what);
        HubdDir dir;
        if (!row.ini.empty()) dir.write_file("hubd.ini", row.ini);
        HubdResult r = run_hubd(dir, row.args, row.env);
        EXPECT_EQ(r.exit_code, row.exit_code) << r.err;
        if (row.out != "*") {
            EXPECT_EQ(r.out, row.out);
        }
        if (row.err != "*") {
            EXPECT_EQ(r.err, row.err.rfind("<bin>", 0) == 0 ? dir.binary() + row.err.substr(5) : row.err);
        }
        EXPECT_EQ(r.out.rfind(row.out_starts, 0), 0u) << r.out;
        for (const std::string &piece : row.out_has) EXPECT_NE(r.out.find(piece), std::string::npos) << piece << r.out;
        for (const std::string &piece : row.err_has) EXPECT_NE(r.err.find(piece), std::string::npos) << piece << r.err;
        for (const std::string &piece : row.err_lacks) EXPECT_EQ(r.err.find(piece), std::string::npos) << piece << r.err;
    }
}

TEST(Cmdline, GroupedLettersAndAttachedArguments) {
    HubdDir dir;
    dir.write_file("other.ini", "[debug]\nshell_server_port = 4444\n");
    HubdResult r = run_hubd(dir, {"-qpc" + dir.path() + "/other.ini"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(framework_dump(0, 4444), 0), 0u) << r.out;
}

TEST(Cmdline, LogFileAndLevelOptions) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-o", "run.log", "-l", "verb", "-p"});
    EXPECT_EQ(r.exit_code, 0);
    std::string log = dir.read_file("run.log");
    EXPECT_NE(log.find("Load default hubd.ini\n"), std::string::npos) << log;
    EXPECT_NE(log.find("load [hubd.ini] error\n"), std::string::npos) << log;
    EXPECT_NE(r.out.find("log_file_enale_out=1\n"), std::string::npos);
}

TEST(Cmdline, UnknownLevelNameIsAUsageError) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-o", "run.log", "-l", "loud", "-p"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("hubd: invalid log level -- loud (one of verb|dbg|info|noti|warn|err|crit)\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(help_text()), std::string::npos) << r.err;
    EXPECT_FALSE(dir.exists("run.log"));
}

TEST(ConsoleMode, WaitsAfterStartUpAndStopsOnSignalsWithZero) {
    for (int sig : {SIGINT, SIGTERM}) {
        HubdDir dir;
        HubdProcess p(dir, no_servers({"-l", "verb"}));
        ASSERT_TRUE(p.wait_for_err("app_start_server(): ==>")) << p.err();
        HubdResult r = p.stop(sig);
        EXPECT_EQ(r.exit_code, 0) << "signal " << sig << "\n" << r.err;
        EXPECT_NE(r.err.find("signal=" + std::to_string(sig)), std::string::npos) << r.err;
    }
}

}  // namespace
