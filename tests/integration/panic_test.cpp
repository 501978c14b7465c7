// Crash reports and dumps of the real program, and of a stand-in that faults
// on request (crash_prog.cpp) for the faults an operator cannot cause.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"
#include "web_client_util.h"

namespace fs = std::filesystem;

namespace {

const std::string DUMP_INI = "[debug]\npanic_dump_dir = dumps\n";

// The stand-in runs in dir, with the hubd.ini given (none when empty).
void use_crash_prog(const HubdDir &dir, const std::string &ini = "") {
    fs::copy_file(HUBD_CRASH_BIN, dir.binary(), fs::copy_options::overwrite_existing);
    if (!ini.empty()) dir.write_file("hubd.ini", ini);
}

// Every file under the folder whose name matches pattern.
std::vector<std::string> files_matching(const std::string &root, const std::string &pattern) {
    std::vector<std::string> found;
    std::regex re(pattern);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
        if (std::regex_match(it->path().filename().string(), re)) found.push_back(it->path().string());
    return found;
}

std::vector<std::string> dumps(const HubdDir &dir) {
    return files_matching(dir.path(), R"(hubd-\d{4}_\d\d_\d\d-\d\d_\d\d_\d\d(-\d+)?\.dmp)");
}

std::string run_capture(const std::string &command) { return run_command(command + " 2>&1"); }

bool have_gdb() { return std::system("gdb --version >/dev/null 2>&1") == 0; }

struct CrashCase {
    const char *kind;
    const char *cmsg;
};

class CrashKinds : public ::testing::TestWithParam<CrashCase> {};

// Each kind runs more than once: every run must give the report, the dump and 254.
TEST_P(CrashKinds, ReportDumpAndExitCodeEveryRun) {
    SKIP_UNDER_SANITIZER();
    const CrashCase &c = GetParam();
    for (int run = 0; run < 2; ++run) {
        HubdDir dir;
        use_crash_prog(dir, DUMP_INI);
        HubdResult r = run_hubd(dir, no_servers(), {{"HUBD_CRASH", c.kind}});
        EXPECT_EQ(r.exit_code, 254) << r.err;
        EXPECT_EQ(count_of(r.err, "--ExptInfo-- \n"), 1u) << r.err;
        EXPECT_NE(r.err.find(std::string("Cmsg: ") + c.cmsg + "\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("crash_prog.cpp @ "), std::string::npos) << "stack without source lines:\n" << r.err;
        // The recent lines go to the binary log alone.
        EXPECT_EQ(dir.read_file("bsv-only.txt").rfind("--LastLog-- \n", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find("--LastLog--"), std::string::npos);
        EXPECT_NE(r.err.find("process panic exit\n"), std::string::npos);
        EXPECT_EQ(dumps(dir).size(), 1u) << r.err;
        EXPECT_TRUE(files_matching(dir.path(), R"(.*\.tmp)").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, CrashKinds,
                         ::testing::Values(CrashCase{"null", "ACCESS_VIOLATION"},
                                           CrashCase{"stack", "STACK_OVERFLOW"},
                                           CrashCase{"thread_stack", "STACK_OVERFLOW"},
                                           CrashCase{"div0", "INT_DIVIDE_BY_ZERO"},
                                           CrashCase{"abort", "ABORT"}),
                         [](const auto &info) { return std::string(info.param.kind); });

TEST(Panic, CallNullInTheShellLeavesADumpThatGdbOpens) {
    SKIP_UNDER_SANITIZER();
    HubdDir dir;
    dir.write_file("hubd.ini", DUMP_INI);
    HubdResult r = run_hubd(dir, no_servers(), {}, "call null\n");
    EXPECT_EQ(r.exit_code, 254) << r.err;
    EXPECT_NE(r.err.find("Cmsg: ACCESS_VIOLATION\n"), std::string::npos) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(fvar_null_func.*sh_items\.cpp @ \d+\])"))) << r.err;
    EXPECT_NE(r.err.find("MiniDump " + dir.path() + "/dumps/hubd-"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("process panic exit\n"), std::string::npos);
    std::vector<std::string> found = dumps(dir);
    ASSERT_EQ(found.size(), 1u) << r.err;
    if (!have_gdb()) GTEST_SKIP() << "gdb cannot run here";
    std::string bt = run_capture("gdb -batch -ex bt " + dir.binary() + " " + found[0]);
    EXPECT_NE(bt.find("fvar_null_func"), std::string::npos) << bt;
    EXPECT_NE(bt.find("SIGSEGV"), std::string::npos) << bt;
}

// Shell sessions share the interpreter's state: a fault in one ends the program.
TEST(Panic, CallNullInATcpSessionEndsTheProgram) {
    SKIP_UNDER_SANITIZER();
    ShellHubd s("panic_dump_dir = dumps\n");
    ASSERT_TRUE(s.ready());
    ShellConn conn(s.port);
    ASSERT_TRUE(conn.request("call null"));
    HubdResult r = s.proc->wait();
    EXPECT_EQ(r.exit_code, 254) << r.err;
    EXPECT_NE(r.err.find("Cmsg: ACCESS_VIOLATION\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("except handle"), std::string::npos);
    EXPECT_EQ(dumps(s.dir).size(), 1u);
}

TEST(Panic, NoDumpWithoutADumpDirectory) {
    SKIP_UNDER_SANITIZER();
    HubdDir dir;
    use_crash_prog(dir);
    HubdResult r = run_hubd(dir, no_servers(), {{"HUBD_CRASH", "null"}});
    EXPECT_EQ(r.exit_code, 254);
    EXPECT_NE(r.err.find("Cmsg: ACCESS_VIOLATION\n"), std::string::npos) << r.err;
    EXPECT_TRUE(files_matching(dir.path(), R"(.*\.dmp)").empty());
}

TEST(Panic, NoHandlersAndNoDumpUnderADebugger) {
    SKIP_UNDER_SANITIZER();
    if (!have_gdb()) GTEST_SKIP() << "gdb cannot run here";
    HubdDir dir;
    use_crash_prog(dir, DUMP_INI);
    std::string out = run_capture("cd " + dir.path() + " && HUBD_CRASH=null gdb -batch -ex run --args ./hubd -q -s " +
                                  "debug_server_port=0 -s http_server_port=0 </dev/null");
    if (out.find("SIGSEGV") == std::string::npos && out.find("ptrace") != std::string::npos)
        GTEST_SKIP() << "gdb may not trace processes here:\n" << out;
    // The fault stops in the debugger instead of in the crash handling.
    EXPECT_NE(out.find("SIGSEGV"), std::string::npos) << out;
    EXPECT_EQ(out.find("--ExptInfo--"), std::string::npos) << out;
    EXPECT_TRUE(files_matching(dir.path(), R"(.*\.dmp)").empty());
}

TEST(Panic, TwoThreadsFaultingAtOnceGiveOneReportAndOneDump) {
    SKIP_UNDER_SANITIZER();
    for (int run = 0; run < 3; ++run) {
        HubdDir dir;
        use_crash_prog(dir, DUMP_INI);
        HubdResult r = run_hubd(dir, no_servers(), {{"HUBD_CRASH", "twin"}});
        EXPECT_EQ(r.exit_code, 254) << r.err;
        EXPECT_EQ(count_of(r.err, "--ExptInfo-- \n"), 1u) << r.err;
        // The thread filter reported and passed the fault on to the process handler.
        EXPECT_EQ(count_of(r.err, "except continue\n"), 1u) << r.err;
        EXPECT_EQ(count_of(r.err, "process panic exit\n"), 1u) << r.err;
        EXPECT_EQ(dumps(dir).size(), 1u) << r.err;
    }
}

TEST(Panic, LogLockHeldByAnotherThreadStillEndsWithTheReport) {
    SKIP_UNDER_SANITIZER();
    HubdDir dir;
    use_crash_prog(dir, DUMP_INI);
    HubdResult r = run_hubd(dir, no_servers({"-o", dir.path() + "/crash.log"}), {{"HUBD_CRASH", "loglock"}}, "", 20000);
    ASSERT_EQ(r.exit_code, 254) << "the crash path hung:\n" << r.err;
    EXPECT_NE(r.err.find("Cmsg: ACCESS_VIOLATION\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("process panic exit\n"), std::string::npos) << r.err;
    std::string log = dir.read_file("crash.log");
    EXPECT_NE(log.find("Cmsg: ACCESS_VIOLATION\n"), std::string::npos) << log;
    EXPECT_NE(log.find("process panic exit\n"), std::string::npos) << log;
    EXPECT_EQ(dumps(dir).size(), 1u);
}

struct DumpFailure {
    const char *name;
    const char *dump_dir;
    const char *fsize;  // file size limit standing in for a full disk, or ""
    const char *reason;
};

class DumpFailures : public ::testing::TestWithParam<DumpFailure> {};

TEST_P(DumpFailures, LeaveTheReportAndNoCutFile) {
    SKIP_UNDER_SANITIZER();
    const DumpFailure &c = GetParam();
    HubdDir dir;
    use_crash_prog(dir);
    dir.write_file("blocker", "a file where the dump folder should go\n");
    fs::create_directory(dir.path() + "/dumps");
    dir.write_file("dumps/hubd-2000_01_01-00_00_00.dmp", "older dump");
    dir.write_file("hubd.ini", std::string("[debug]\npanic_dump_dir = ") + c.dump_dir + "\n");
    EnvOverrides env = {{"HUBD_CRASH", "null"}};
    if (c.fsize[0]) env["HUBD_CRASH_FSIZE"] = c.fsize;
    HubdResult r = run_hubd(dir, no_servers(), env);
    EXPECT_EQ(r.exit_code, 254) << r.err;
    EXPECT_NE(r.err.find("Cmsg: ACCESS_VIOLATION\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("process panic exit\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("MiniDump "), std::string::npos) << r.err;
    // Said at the default level, with the file it could not write and why.
    const std::string target = dir.path() + "/" + c.dump_dir + "/hubd-";
    EXPECT_TRUE(std::regex_search(r.err, std::regex("crash dump not written: " + target +
                                                    R"(\d{4}_\d\d_\d\d-\d\d_\d\d_\d\d-\d+\.dmp: )" + c.reason + "\n")))
        << r.err;
    EXPECT_EQ(dumps(dir).size(), 1u);  // only the older one
    EXPECT_EQ(dir.read_file("dumps/hubd-2000_01_01-00_00_00.dmp"), "older dump");
    EXPECT_TRUE(files_matching(dir.path(), R"(.*\.tmp)").empty());
}

INSTANTIATE_TEST_SUITE_P(Panic, DumpFailures,
                         ::testing::Values(DumpFailure{"FolderCannotBeMade", "blocker/dumps", "", "Not a directory"},
                                           DumpFailure{"DiskFull", "dumps", "65536", "File too large"}),
                         [](const auto &info) { return std::string(info.param.name); });

// The start warns at once when the dump folder cannot be made.
TEST(Panic, StartWarnsWhenTheDumpFolderIsNotWritable) {
    HubdDir dir;
    dir.write_file("blocker", "a file where the dump folder should go\n");
    dir.write_file("hubd.ini", "[debug]\npanic_dump_dir = blocker/dumps\n");
    HubdProcess p(dir, no_servers());
    EXPECT_TRUE(p.wait_for_err("crash dump folder " + dir.path() + "/blocker/dumps is not writable: Not a directory"))
        << p.err();
    EXPECT_EQ(p.stop(SIGTERM).exit_code, 0);
}

// A crash with sessions open: the dump carries every thread's registers, so
// gdb shows a backtrace for each, and its name carries the pid.
TEST(Panic, DumpHoldsEveryThreadWithItsRegisters) {
    SKIP_UNDER_SANITIZER();
    ShellHubd s("panic_dump_dir = dumps\n");
    ASSERT_TRUE(s.ready());
    std::vector<std::unique_ptr<ShellConn>> sessions;
    for (int i = 0; i < 5; ++i) {
        sessions.push_back(std::make_unique<ShellConn>(s.port));
        ASSERT_TRUE(sessions.back()->request("show info"));
    }
    ASSERT_TRUE(sessions[0]->request("call null"));
    HubdResult r = s.proc->wait();
    ASSERT_EQ(r.exit_code, 254) << r.err;
    std::vector<std::string> found = dumps(s.dir);
    ASSERT_EQ(found.size(), 1u) << r.err;
    EXPECT_NE(found[0].find("-" + std::to_string(s.proc->pid()) + ".dmp"), std::string::npos) << found[0];
    if (!have_gdb()) GTEST_SKIP() << "gdb cannot run here";
    std::string bt = run_capture("gdb -batch -ex 'thread apply all bt' " + s.dir.binary() + " " + found[0]);
    EXPECT_EQ(bt.find("general-purpose registers"), std::string::npos) << bt;
    EXPECT_EQ(bt.find("<unavailable>"), std::string::npos) << bt;
    // main, sock_listen, sig_wait, bsv_pipe_srv and five sessions at least,
    // each with its innermost frame.
    const std::regex header(R"(\nThread \d+ \()");
    auto threads = std::distance(std::sregex_iterator(bt.begin(), bt.end(), header), std::sregex_iterator());
    int frames = count_of(bt, "\n#0 ");
    EXPECT_GE(threads, 9) << bt;
    // gdb shows the current frame once on opening, then each thread's stack.
    EXPECT_EQ(frames, threads + 1) << bt;
    EXPECT_NE(bt.find("fvar_null_func"), std::string::npos) << bt;
}

TEST(Panic, DumpsBeyondTheNewestFiveAreRemoved) {
    SKIP_UNDER_SANITIZER();
    HubdDir dir;
    use_crash_prog(dir, DUMP_INI);
    for (int run = 0; run < 7; ++run) {
        HubdResult r = run_hubd(dir, no_servers(), {{"HUBD_CRASH", "null"}});
        ASSERT_EQ(r.exit_code, 254) << r.err;
    }
    EXPECT_EQ(dumps(dir).size(), 5u);
}

// A fault signal that another process sent is no fault of this one.
TEST(Panic, ASignalSentByAnotherProcessIsReportedAsSuch) {
    SKIP_UNDER_SANITIZER();
    HubdDir dir;
    HubdProcess p(dir, no_servers());
    ASSERT_TRUE(p.send("show info\n"));
    ASSERT_TRUE(p.wait_for_out("bsv_pipe_name"));
    kill(p.pid(), SIGSEGV);
    HubdResult r = p.wait();
    EXPECT_EQ(r.exit_code, 254) << r.err;
    EXPECT_NE(r.err.find("Cmsg: signal 11 sent by pid " + std::to_string(getpid()) + "\n"), std::string::npos)
        << r.err;
}

TEST(Panic, FailedAssertionLogsItsStackAndGoesOn) {
    HubdDir dir;
    use_crash_prog(dir);
    HubdResult r = run_hubd(dir, no_servers(), {{"HUBD_CRASH", "assert"}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    size_t report = r.err.find("expr[kind.empty()]: assert failed\n");
    ASSERT_NE(report, std::string::npos) << r.err;
    size_t open = r.err.find("assert_dump_stack(): [", report);
    ASSERT_NE(open, std::string::npos) << r.err;
    size_t after = r.err.find("after the assertion\n", open);
    ASSERT_NE(after, std::string::npos) << r.err;
    std::string stack = r.err.substr(open, after - open);
    EXPECT_EQ(stack.substr(stack.size() - 3), "\n]\n");
    int lines = count_of(stack, "\n") - 1;
    EXPECT_LE(lines, 128);
    EXPECT_GE(lines, 3);
    EXPECT_NE(stack.find("crash_prog.cpp @ "), std::string::npos) << stack;
}

}  // namespace
