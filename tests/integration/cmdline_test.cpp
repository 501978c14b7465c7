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

TEST(Cmdline, VersionPrintsOnlyTheVersion) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-v"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1.0.0.0\n");
    EXPECT_EQ(r.err, "");
}

TEST(Cmdline, HelpPrintsBannerThenHelp) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-h"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, BANNER + help_text());
    EXPECT_EQ(r.out, "");

    HubdResult quiet = run_hubd(dir, {"-q", "-h"});
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.err, help_text());
}

TEST(Cmdline, InvalidOptionPrintsMessageBannerHelpAndExitsOne) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-x"}, NO_POSIX);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, dir.binary() + ": invalid option -- x\n" + BANNER + help_text());

    HubdResult posix = run_hubd(dir, {"-q", "-x"}, POSIX);
    EXPECT_EQ(posix.exit_code, 1);
    EXPECT_EQ(posix.err, dir.binary() + ": illegal option -- x\n" + help_text());
}

TEST(Cmdline, MissingArgumentIsAUsageError) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-c"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, dir.binary() + ": option requires an argument -- c\n" + help_text());
}

TEST(Cmdline, OptionsTakeEffectInTheOrderGiven) {
    HubdDir dir;
    HubdResult version_first = run_hubd(dir, {"-v", "-x"});
    EXPECT_EQ(version_first.exit_code, 0);
    EXPECT_EQ(version_first.out, "1.0.0.0\n");
    EXPECT_EQ(version_first.err, "");

    HubdResult bad_first = run_hubd(dir, {"-x", "-v"});
    EXPECT_EQ(bad_first.exit_code, 1);
    EXPECT_EQ(bad_first.out, "");
    EXPECT_NE(bad_first.err.find("invalid option -- x"), std::string::npos);
}

TEST(Cmdline, GroupedLettersAndAttachedArguments) {
    HubdDir dir;
    dir.write_file("other.ini", "[debug]\nshell_server_port = 4444\n");
    HubdResult r = run_hubd(dir, {"-qpc" + dir.path() + "/other.ini"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(framework_dump(0, 4444), 0), 0u) << r.out;
}

TEST(Cmdline, OperandsAreSkippedUnlessPosixlyCorrect) {
    HubdDir dir;
    HubdResult gnu = run_hubd(dir, {"-q", "-p", "operand", "-x"}, NO_POSIX);
    EXPECT_EQ(gnu.exit_code, 1);

    HubdResult posix = run_hubd(dir, {"-q", "-p", "operand", "-x"}, POSIX);
    EXPECT_EQ(posix.exit_code, 0);
    EXPECT_EQ(posix.out.rfind(framework_dump(12580, 12581), 0), 0u) << posix.out;

    HubdResult dashes = run_hubd(dir, {"-q", "-p", "--", "-x"}, NO_POSIX);
    EXPECT_EQ(dashes.exit_code, 0);
}

TEST(Cmdline, SeventeenArgumentsWarnOnceAndStillParse) {
    HubdDir dir;
    std::vector<std::string> args(17, "operand");
    args.push_back("-v");
    HubdResult r = run_hubd(dir, args, NO_POSIX);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1.0.0.0\n");
    EXPECT_EQ(r.err, "error: Too many args\n");
}

TEST(Cmdline, SettingsList) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-s", "list"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "support the following key settings\nhttp_server_port\ndebug_server_port\nshell_server_port\n");
}

TEST(Cmdline, DumpWithoutConfigShowsBuiltInPorts) {
    HubdDir dir;
    HubdResult quiet = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.out.rfind(framework_dump(12580, 12581), 0), 0u) << quiet.out;
    EXPECT_NE(quiet.out.find("log_level=info\n"), std::string::npos);
    EXPECT_EQ(quiet.err.find("hubd-linux"), std::string::npos);
    EXPECT_NE(quiet.err.find("iniparser: cannot open hubd.ini\n"), std::string::npos) << quiet.err;

    HubdResult loud = run_hubd(dir, {"-p"});
    EXPECT_NE(loud.err.find(BANNER), std::string::npos) << loud.err;
}

TEST(Cmdline, SettingsOverrideTheConfigFileWithoutRegardToCase) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[debug]\nshell_server_port = 3000\nhttp_server_port = 3001\n");
    HubdResult r = run_hubd(dir, {"-q", "-s", "HTTP_SERVER_PORT=81", "-s", "debug_server_port=0", "-p"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(framework_dump(81, 0), 0), 0u) << r.out;
}

TEST(Cmdline, BadSettingsAreEachReportedAndStopTheStart) {
    HubdDir dir;
    std::string long_key(300, 'k');
    HubdResult r = run_hubd(dir, {"-q", "-s", "foo=1", "-s", "port", "-s", long_key + "=1", "-p"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("unsupported key [foo]\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("port syntax error Example: k=v\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(long_key + "=1 syntax error Example: k=v\n"), std::string::npos);
    EXPECT_NE(r.err.find("hubd: 3 configuration error(s), not started\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(Cmdline, SettingsTakeTheFileNamesToo) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, {"-q", "-s", "shell_server_port=4001", "-p"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind(framework_dump(12580, 4001), 0), 0u) << r.out;
}

TEST(Cmdline, ConfigFileReadsDebugAndLogSections) {
    HubdDir dir;
    dir.write_file("hubd.ini",
                   "[debug]\nshell_server_port = 4000\nshell_server_addr = 127.0.0.1\n"
                   "http_server_user = admin\npanic_dump_dir = my dumps\n"
                   "[log]\nlevel = warn\nfile_size = 4k\n");
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("http_server_port=0\nhttp_server_addr=''\ndebug_server_port=4000\n"
                          "debug_server_addr=127.0.0.1\npanic_dump_dir='my dumps'\n",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("log_level=warn\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("log_file_max_size=4096\n"), std::string::npos) << r.out;
}

TEST(Cmdline, ConfigWithoutDebugSectionTurnsServersOff) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[log]\nlevel = info\n");
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.out.rfind(framework_dump(0, 0), 0), 0u) << r.out;
}

TEST(Cmdline, BrokenConfigStopsTheStartInsteadOfLeavingDefaults) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[debug]\nshell_server_port = 4000\nthis line is broken\n");
    HubdResult r = run_hubd(dir, {"-q", "-p"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("hubd.ini:3: expected key = value: this line is broken\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
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
        HubdProcess p(dir, {"-q", "-l", "verb", "-s", "debug_server_port=0", "-s", "http_server_port=0"});
        ASSERT_TRUE(p.wait_for_err("app_start_server(): ==>")) << p.err();
        HubdResult r = p.stop(sig);
        EXPECT_EQ(r.exit_code, 0) << "signal " << sig << "\n" << r.err;
        EXPECT_NE(r.err.find("signal=" + std::to_string(sig)), std::string::npos) << r.err;
    }
}

}  // namespace
