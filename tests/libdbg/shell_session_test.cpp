// Shell sessions over streams: the output path, the session loop on a socket
// and the console loop on standard input.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "http_util.h"
#include "libdbg/shell_session.h"
#include "libdbg/shell_console.h"
#include "liblog/log2_ctl.h"
#include "libsh/libsh.h"

namespace {

const std::string END(1, '\0');
std::mutex g_log_lock;
std::string g_log_text;

void capture(int, const char *, const char *line, int length) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_log_text.append(line, static_cast<size_t>(length));
}

std::string mem_text(const net_sock *ns) {
    size_t len = 0;
    const char *data = net_sock_mem_data(ns, &len);
    return data ? std::string(data, len) : std::string();
}

class DbgshTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, libsh_init());
        ASSERT_EQ(0, net_sock_init_memory(&mem_));
    }
    void TearDown() override {
        net_close(&mem_);
        libsh_exit();
    }
    net_sock mem_{};
};

// Line feeds become CR LF, trailing blanks go, a high byte stops their
// removal, and all-blank text writes nothing.
TEST_F(DbgshTest, OutputRulesOfTheWritePath) {
    const struct {
        const char *in, *out;
    } rows[] = {{"a\nb \t\n \t\v\f", "a\r\nb \t\r\n"}, {"x \x80 ", "x \x80"}, {"   ", ""}};
    for (const auto &row : rows) {
        net_close(&mem_);
        ASSERT_EQ(0, net_sock_init_memory(&mem_));
        int result = dbgout_write_imp(&mem_, row.in);
        EXPECT_GE(result, 0) << row.in;
        EXPECT_EQ(row.out, mem_text(&mem_)) << row.in;
        if (!*row.out) {
            EXPECT_EQ(0, result);
        }
    }
}

TEST_F(DbgshTest, PrintFormatsAndCutsAt8191Bytes) {
    dbgsh_print(&mem_, "%s=%d\n", "n", 5);
    EXPECT_EQ("n=5\r\n", mem_text(&mem_));
    net_close(&mem_);
    ASSERT_EQ(0, net_sock_init_memory(&mem_));
    std::string big(10000, 'z');
    dbgsh_print(&mem_, "%s", big.c_str());
    EXPECT_EQ(std::string(8191, 'z'), mem_text(&mem_));
}

TEST_F(DbgshTest, WriteStopsAtNul) {
    dbgsh_write(&mem_, "ab\0cd", 5);
    EXPECT_EQ("ab", mem_text(&mem_));
}

TEST_F(DbgshTest, FlushWritesOneZeroByte) {
    EXPECT_EQ(1, dbgsh_flush(&mem_));
    EXPECT_EQ(std::string("\0", 1), mem_text(&mem_));
    net_sock closed{};
    closed.kind = NET_SOCK_KIND_CLOSED;
    EXPECT_EQ(-1, dbgsh_flush(&closed));
}

TEST_F(DbgshTest, ModeTwoIsRefused) {
    log2_ioctl(nullptr, LOG2_IOCTL_HOOK_INFO, capture);
    log2_ioctl(nullptr, LOG2_IOCTL_HOOK_WARN, capture);
    shell_ctx ctx{};
    net_sock stream{};
    EXPECT_EQ(-1, dbgsh_srv_ctx_init(&ctx, &stream, 2, OS_SOCKET_NONE));
    EXPECT_EQ(-1, dbgsh_srv_ctx_init(&ctx, &stream, PIPE_MODE, OS_SOCKET_NONE));
    log2_ioctl(nullptr, LOG2_IOCTL_HOOK_INFO, static_cast<log2_hook_fn>(nullptr));
    log2_ioctl(nullptr, LOG2_IOCTL_HOOK_WARN, static_cast<log2_hook_fn>(nullptr));
    std::lock_guard<std::mutex> lock(g_log_lock);
    EXPECT_NE(std::string::npos, g_log_text.find("mode=2 invalid\n"));
    EXPECT_NE(std::string::npos, g_log_text.find("mode=3 invalid\n"));
}

TEST_F(DbgshTest, UnknownModeSessionLoopFails) {
    shell_ctx ctx{};
    ctx.mode = 7;
    ctx.out = &mem_;
    EXPECT_EQ(-1, dbgsh_srv_imp(&ctx));
}

// ---- a NET_MODE session over a local socket pair -------------------------

class NetSessionTest : public DbgshTest {
protected:
    void SetUp() override {
        DbgshTest::SetUp();
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        peer_ = fds[1];
        ASSERT_EQ(0, dbgsh_srv_ctx_init(&ctx_, &stream_, NET_MODE, os_socket_from_fd(fds[0])));
        session_ = std::thread([this] { result_ = dbgsh_srv_imp(&ctx_); });
    }
    void TearDown() override {
        if (peer_ >= 0) close(peer_);
        if (session_.joinable()) session_.join();
        DbgshTest::TearDown();
    }
    void send_text(const std::string &text) {
        ASSERT_EQ(static_cast<ssize_t>(text.size()), ::send(peer_, text.data(), text.size(), 0));
    }
    std::string read_replies(int count) { return shell_test_replies(peer_, count); }

    shell_ctx ctx_{};
    net_sock stream_{};
    int peer_ = -1;
    int result_ = -5;
    std::thread session_;
};

TEST_F(NetSessionTest, QuitGetsOneEndByteAndEndsTheSession) {
    send_text("quit\n");
    EXPECT_EQ(END, read_replies(1));
    session_.join();
    EXPECT_EQ(0, result_);
    EXPECT_EQ(1, ctx_.exit_flag);
}

// One request, one reply: its output, then exactly one end byte. Each row's
// reply is followed by that of "echo next", so a second end byte, or a
// missing one, shows up as a wrong reply.
TEST_F(NetSessionTest, EveryRequestGetsExactlyOneEndByte) {
    const std::string big(5000, 'e');
    const struct {
        std::string request;
        std::string reply;
    } rows[] = {
        {std::string("echo hi\0", 8), "hi\r\n" + END},
        {std::string("echo a b  c\0", 12), "a b c\r\n" + END},  // echo keeps single blanks between words
        {std::string("echo a;echo b\0", 14), "a\r\nb\r\n" + END},
        {std::string("call tlog\0", 10), END},
        {std::string("X=hello world\0", 14), END},
        {std::string("echo \"abc\0", 10), "error: unbalanced quotes, nothing ran\r\n" + END},
        {std::string("\0", 1), "next\r\n" + END},  // repeats the session's last line
        {"echo " + std::string(4090, 'f') + '\0', std::string(4090, 'f') + "\r\n" + END},
        {"echo " + std::string(4091, 'f') + '\0', "error: line too long (4096 bytes, at most 4095)\r\n" + END},
        {big + std::string("\r\0", 2), "error: line too long (5000 bytes, at most 4095)\r\n" + END},
        {std::string("\x01nosuch\0", 8), "error: unknown session option [nosuch]\r\n" + END},
    };
    for (const auto &row : rows) {
        send_text(row.request + std::string("echo next\0", 10));
        EXPECT_EQ(row.reply + "next\r\n" + END, read_replies(2)) << row.request.substr(0, 20);
    }
}

// With the status option on, every reply carries its line's status before the end byte.
TEST_F(NetSessionTest, StatusOptionEndsEachReplyWithTheLinesStatus) {
    send_text("\x01status" + END + "echo ok" + END + "show nosuch" + END);
    EXPECT_EQ("\x01" "0" + END + "ok\r\n\x01" "0" + END +
                  "error: The show variable 'nosuch' does not exist\r\n\x01-12" + END,
              read_replies(3));
}

// A client that shut its sending side down after its request still reads the whole reply.
TEST_F(NetSessionTest, HalfClosedClientGetsTheWholeReply) {
    std::string path = ::testing::TempDir() + "hubd_dbgsh_src_" + std::to_string(getpid());
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fputs("echo one\necho two\necho three\n", f);
    std::fclose(f);
    send_text("source " + path + '\0');
    ASSERT_EQ(0, shutdown(peer_, SHUT_WR));
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = ::recv(peer_, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ("one\r\ntwo\r\nthree\r\n" + END, got);
    session_.join();
    std::remove(path.c_str());
}

TEST_F(NetSessionTest, LineSplitByAnIdleSecondRunsAsOneCommand) {
    send_text("echo sl");
    // Longer than the session's one-second read time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    send_text(std::string("ow\0echo next\0", 13));
    EXPECT_EQ(std::string("slow\r\n\0next\r\n\0", 14), read_replies(2));
}


TEST_F(NetSessionTest, PeerCloseEndsSession) {
    close(peer_);
    peer_ = -1;
    session_.join();
    EXPECT_EQ(0, result_);
    EXPECT_EQ(0, ctx_.exit_flag);
}

// ---- the console loop on a redirected standard input ---------------------

class StdioLoopTest : public DbgshTest {
protected:
    // Runs the console loop with input as standard input; returns standard output.
    std::string run_console(const std::string &input, int *result) {
        FILE *in = std::tmpfile(), *out = std::tmpfile();
        std::fwrite(input.data(), 1, input.size(), in);
        std::rewind(in);
        std::fflush(stdout);
        int saved_in = dup(STDIN_FILENO), saved_out = dup(STDOUT_FILENO);
        dup2(fileno(in), STDIN_FILENO);
        dup2(fileno(out), STDOUT_FILENO);
        *result = debug_shell_stdio_loop();
        std::fflush(stdout);
        dup2(saved_in, STDIN_FILENO);
        dup2(saved_out, STDOUT_FILENO);
        close(saved_in);
        close(saved_out);
        std::string text;
        std::rewind(out);
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;) text.append(buf, n);
        std::fclose(in);
        std::fclose(out);
        return text;
    }
};

const std::string HINT = "\nType `help` to learn how to use prompt\n";

// Each row is the console's whole standard input and what it wrote; the loop
// returns 0 at the end of its input every time.
TEST_F(StdioLoopTest, RunsLinesUntilQuitOrTheEndOfInput) {
    const struct {
        const char *prompt;
        std::string input, output;
    } rows[] = {
        {"hubd>", "echo hi\r\nX=1\n", HINT + "hubd>hi\r\n" + END + "hubd>" + END + "hubd>"},
        {nullptr, "quit\necho never\n", HINT + ">" + END},  // quit ends the loop
        {nullptr, "echo tail", HINT + ">tail\r\n" + END + ">"},  // a last line without line feed runs
        {nullptr, std::string(5000, 'x') + "\necho ok\n",  // an over-long line is refused with an error reply
         HINT + ">error: line too long (5000 bytes, at most 4095)\r\n" + END + ">ok\r\n" + END + ">"},
        {nullptr, "", HINT + ">"},  // empty input returns at once
    };
    for (const auto &row : rows) {
        libsh_prompt_set(row.prompt);
        int result = -5;
        EXPECT_EQ(row.output, run_console(row.input, &result)) << row.input.substr(0, 20);
        EXPECT_EQ(0, result) << row.input.substr(0, 20);
    }
    libsh_prompt_set(nullptr);
}

}  // namespace
