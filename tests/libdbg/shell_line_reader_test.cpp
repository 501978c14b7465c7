// The console's line reader: whole lines out, over-long lines and lines with
// a byte 0 refused whole, however the bytes arrive.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "libdbg/shell_line_reader.h"
#include "thread_wakeups.h"

namespace {

constexpr size_t BUF = 8;  // lines of at most 7 bytes

struct LineRow {
    std::string stream;
    std::vector<std::string> lines;  // "!N" too long (N bytes), "0N" byte 0 at N, else the text
};

class DbgshLine : public ::testing::TestWithParam<LineRow> {};

std::vector<std::string> read_all(const std::string &stream, size_t piece) {
    dbgsh_line_reader r{};
    std::vector<std::string> out;
    char buf[BUF];
    auto take = [&] {
        for (;;) {
            size_t len = 0;
            int result = dbgsh_line_next(&r, buf, sizeof buf, &len);
            if (result == DBGSH_LINE_MORE || result == DBGSH_LINE_END) return;
            if (result == DBGSH_LINE_READY) out.emplace_back(buf, len);
            if (result == DBGSH_LINE_TOO_LONG) out.push_back("!" + std::to_string(len));
            if (result == DBGSH_LINE_ZERO_BYTE) out.push_back("0" + std::to_string(len));
        }
    };
    for (size_t at = 0; at < stream.size(); at += piece) {
        dbgsh_line_feed(&r, stream.data() + at, std::min(piece, stream.size() - at));
        take();
    }
    dbgsh_line_end(&r);
    take();
    return out;
}

TEST_P(DbgshLine, SameLinesWhateverThePieces) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{1000}})
        EXPECT_EQ(read_all(GetParam().stream, piece), GetParam().lines) << "pieces of " << piece;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DbgshLine,
    ::testing::Values(LineRow{"abc\n\ndef", {"abc", "", "def"}},
                      LineRow{"1234567\n12345678\n", {"1234567", "!8"}},      // both sides of the limit
                      LineRow{"1234567\r\nab\rc\r\n", {"1234567", "ab\rc"}},  // CR LF; a CR inside stays
                      LineRow{"12345678\r\nnext\n", {"!8", "next"}},          // CR of a dropped line
                      LineRow{std::string(100000, 'x') + "\nok\n", {"!100000", "ok"}},
                      LineRow{std::string(20, 'y'), {"!20"}},                 // over-long at the end
                      LineRow{std::string("ab\0c\nok", 7), {"02", "ok"}},
                      LineRow{"\r", {"\r"}}));

TEST(DbgshLineRefusal, SaysWhatWasWrongAndWhatIsAllowed) {
    char text[128];
    dbgsh_line_refusal(DBGSH_LINE_TOO_LONG, 4205, 4096, text, sizeof text);
    EXPECT_STREQ(text, "error: line too long (4205 bytes, at most 4095)\n");
    dbgsh_line_refusal(DBGSH_LINE_ZERO_BYTE, 6, 4096, text, sizeof text);
    EXPECT_STREQ(text, "error: line has a byte 0 at offset 6 (a command line is text)\n");
}

// A reader with a stop callback sleeps until a line or a stop comes: it is
// not woken to ask, and dbgsh_line_wake ends its wait at once.
TEST(DbgshLineReadConcurrent, SleepsUntilInputOrAStopWakesIt) {
    static std::atomic<bool> stop{false};
    stop.store(false, std::memory_order_relaxed);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::atomic<pid_t> tid{0};
    std::atomic<int> first{DBGSH_LINE_MORE};
    std::atomic<int> second{DBGSH_LINE_MORE};
    std::thread reader([&] {
        tid.store(gettid(), std::memory_order_relaxed);
        dbgsh_line_reader r{};
        char buf[BUF];
        size_t len = 0;
        auto asked = [] { return stop.load(std::memory_order_relaxed); };
        first.store(dbgsh_line_read_fd(&r, fds[0], buf, sizeof buf, &len, asked), std::memory_order_relaxed);
        second.store(dbgsh_line_read_fd(&r, fds[0], buf, sizeof buf, &len, asked), std::memory_order_relaxed);
    });
    ASSERT_EQ(write(fds[1], "hi\n", 3), 3);
    for (int i = 0; i < 500 && first.load(std::memory_order_relaxed) == DBGSH_LINE_MORE; ++i) usleep(10000);
    EXPECT_EQ(first.load(std::memory_order_relaxed), DBGSH_LINE_READY);
    usleep(100000);  // into its wait for the next line
    long before = thread_wakeups(tid.load(std::memory_order_relaxed));
    usleep(QUIET_WINDOW_MS * 1000);
    long after = thread_wakeups(tid.load(std::memory_order_relaxed));
    stop.store(true, std::memory_order_relaxed);
    dbgsh_line_wake();
    reader.join();
    close(fds[0]);
    close(fds[1]);
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, QUIET_WAKEUPS_MAX) << "woken while nothing came";
    EXPECT_EQ(second.load(std::memory_order_relaxed), DBGSH_LINE_END);
}

}  // namespace
