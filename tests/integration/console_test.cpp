// The console shell of the real binary, driven through a pipe and through a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "shell_client_util.h"

namespace {

// Replies are CR LF text ended by one byte 0 after every dispatched command.
std::string reply(const std::string &text) { return crlf(text) + std::string(1, '\0'); }

TEST(Console, CommandsThroughAPipeGetExactRepliesAndEndMarkers) {
    HubdDir dir;
    HubdResult r =
        run_hubd(dir, no_servers(), {}, "echo -n a b\necho -e \\101\\777\nX=hello world\nalias x\npwd\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string expected = "\nType `help` to learn how to use prompt\n";
    expected += "hubd>" + reply("a b");
    expected += "hubd>" + reply("A?7\n");
    expected += "hubd>" + reply("");  // an assignment prints nothing, but its line still ends
    expected += "hubd>" + reply("x not found\n");
    expected += "hubd>" + reply(dir.path() + "\n");
    // One marker for the line of exit, as for every line.
    expected += "hubd>" + reply("");
    EXPECT_EQ(r.out, expected);
}

TEST(Console, ShowConfigMatchesTheDumpOption) {
    HubdDir dir;
    dir.write_file("hubd.ini", "[debug]\nshell_server_port = 0\nhttp_server_port = 0\n[log]\nlevel = warn\n");
    HubdResult dump = run_hubd(dir, {"-q", "-p"});
    ASSERT_EQ(dump.exit_code, 0);
    HubdResult r = run_hubd(dir, {"-q"}, {}, "show config\nquit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("hubd>" + reply(dump.out)), std::string::npos) << r.out;
}

TEST(Console, ShowAloneListsTheItemsInOrder) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, no_servers(), {}, "show\nquit\n");
    size_t pos = 0;
    for (const char *item : {"show info -- ", "show memory -- ", "show llog -- ", "show dvar -- ",
                             "show config -- ", "show status -- "}) {
        size_t at = r.out.find(item, pos);
        ASSERT_NE(at, std::string::npos) << item << "\n" << r.out;
        pos = at;
    }
}

TEST(Console, SetLogLevelTakesEffectAtOnce) {
    HubdDir dir;
    HubdResult r = run_hubd(dir, no_servers(), {}, "call tlog\nset log.level dbg\ncall tlog\nquit\n");
    // At info only info and above show; after the change debug shows too.
    size_t first_debug = r.err.find("log_debug");
    size_t second_info = r.err.find("log_info", r.err.find("log_info") + 1);
    ASSERT_NE(second_info, std::string::npos) << r.err;
    EXPECT_NE(first_debug, std::string::npos);
    EXPECT_GT(first_debug, r.err.find("log_info"));
    EXPECT_EQ(r.err.find("log_verb"), std::string::npos);
    EXPECT_NE(r.err.find("log_crit2"), std::string::npos);
}

TEST(Console, SourceRunsAFileAndRefusesDeepNesting) {
    HubdDir dir;
    dir.write_file("cmds.txt", "echo from file\nsource cmds.txt\n");
    HubdResult r = run_hubd(dir, no_servers(), {}, "source cmds.txt\nquit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("from file\r\n"), std::string::npos);
    EXPECT_EQ(r.term_signal, 0);
}

TEST(Console, CallKillExitsZeroAndCallNullFaults) {
    HubdDir dir;
    HubdProcess killer(dir, no_servers());
    killer.send("call kill\n");
    HubdResult k = killer.wait();
    EXPECT_EQ(k.exit_code, 0);
    EXPECT_NE(k.err.find("user req exit!!"), std::string::npos);

    HubdProcess faulty(dir, no_servers());
    faulty.send("call null\n");
    HubdResult n = faulty.wait();
    EXPECT_NE(n.exit_code, 0);
    EXPECT_NE(n.err.find("user req null=0 !!"), std::string::npos);
}

TEST(Console, EndOfInputLeavesTheProgramIdleUntilASignal) {
    HubdDir dir;
    HubdProcess p(dir, no_servers({"-l", "verb"}), {}, false);
    ASSERT_TRUE(p.wait_for_err("debug_shell_stdio_loop(): <==")) << p.err();
    long before = p.cpu_ticks();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(p.running());
    long used = p.cpu_ticks() - before;
    // A spinning loop would burn ~200 ticks in two seconds.
    EXPECT_LT(used, 20) << "cpu ticks used while idle: " << used;
    EXPECT_NE(p.err().find("console input ended; the server goes on"), std::string::npos) << p.err();
    HubdResult r = p.stop(SIGTERM);
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Console, BadLinesDoNotCrash) {
    HubdDir dir;
    dir.write_file("long.txt", std::string(100000, 'e') + "\n");
    std::string input = std::string(5000, 'x') + "\n";
    input += "echo 'unbalanced\n";
    input += std::string("echo a\0b\xff\xfe\n", 12);
    input += "alias p=q\nalias q=p\np\n";
    input += "source long.txt\nsource nothere.txt\nsource .\n";
    input += "set " + std::string(5000, 'n') + " " + std::string(5000, 'v') + "\n";
    input += "echo still here\nquit\n";
    HubdResult r = run_hubd(dir, no_servers(), {}, input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_NE(r.err.find("syntax error"), std::string::npos);
    EXPECT_NE(r.out.find("still here\r\n"), std::string::npos);
}

// A line over the limit, or with a byte 0, is refused whole with one error
// reply; the lines around it run, and both sides of the limit hold.
TEST(Console, PipedLinesThatCannotRunAreRefusedWholeAndTheNextRuns) {
    const std::string fits(4090, 'f');  // "echo " and these: 4095 bytes
    const struct {
        std::string line;
        std::string reply;
    } rows[] = {
        {"echo " + fits, reply(fits + "\n")},
        {"echo " + fits + "\r", reply(fits + "\n")},
        {"echo " + fits + "g", reply("error: line too long (4096 bytes, at most 4095)\n")},
        {"echo " + std::string(5000, 'x'), reply("error: line too long (5005 bytes, at most 4095)\n")},
        {"echo " + std::string(1 << 20, 'm'), reply("error: line too long (1048581 bytes, at most 4095)\n")},
        {std::string("echo a\0b", 8), reply("error: line has a byte 0 at offset 6 (a command line is text)\n")},
        {"echo after", reply("after\n")},
    };
    std::string input, expected;
    for (const auto &row : rows) {
        input += row.line + "\n";
        expected += "hubd>" + row.reply;
    }
    HubdDir dir;
    HubdResult r = run_hubd(dir, no_servers(), {}, input + "quit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out.substr(0, 300);
}

// The prompt on a real terminal.
TEST(Console, PromptOnAPseudoTerminal) {
    HubdDir dir;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string bin = dir.binary();
        execl(bin.c_str(), bin.c_str(), "-q", "-s", "debug_server_port=0", "-s", "http_server_port=0",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string screen;
    auto read_until = [&](const std::string &text) {
        for (int i = 0; i < 400; ++i) {
            if (screen.find(text) != std::string::npos) return true;
            pollfd pfd{master, POLLIN, 0};
            if (poll(&pfd, 1, 50) > 0) {
                char buf[4096];
                ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0) return screen.find(text) != std::string::npos;
                screen.append(buf, static_cast<size_t>(n));
            }
        }
        return false;
    };
    EXPECT_TRUE(read_until("hubd>")) << screen;
    ASSERT_EQ(write(master, "echo hi\n", 8), 8);
    EXPECT_TRUE(read_until("hi\r\n")) << screen;
    ASSERT_EQ(write(master, "exit\n", 5), 5);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        read_until("\x01");  // keep draining so the child never blocks on output
    }
    if (waitpid(pid, &status, WNOHANG) == 0 && !WIFEXITED(status)) kill(pid, SIGKILL);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(master);
}

}  // namespace
