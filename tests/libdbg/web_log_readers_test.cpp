// The log view's reader table: every reader sees every record, is told what
// it missed, and a level filter keeps its records under a flood of others.
#define LOG_TAG "tag"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "libdbg/web_console_imp.h"
#include "libdbg/http_util.h"
#include "libbsv/bsv_log.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

namespace {

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// The console sink would print every line of a burst.
struct quiet_stderr {
    int saved = dup(2);
    quiet_stderr() {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        close(null_fd);
    }
    ~quiet_stderr() {
        dup2(saved, 2);
        close(saved);
    }
};

// All a reader gets until its reply is empty; the missed counts are summed into *missed.
std::string read_all(const char *reader, int max_level, uint64_t now, uint64_t *missed) {
    std::string all;
    for (int i = 0; i < 1000; ++i) {
        std::string reply = http_log_readers_reply(reader, max_level, now);
        EXPECT_TRUE(http_test_json_ok(reply)) << reply.substr(0, 200);
        EXPECT_LT(reply.size(), HTTP_LOG_REPLY_SIZE);
        if (reply == "[]") break;
        size_t at = reply.find("\"missed\":");
        if (at != std::string::npos) *missed += std::stoull(reply.substr(at + 9));
        all += reply;
    }
    return all;
}

TEST(HttpLogReaders, EachReaderSeesEveryRecordAndIsToldWhatItMissed) {
    http_log_readers_clear();
    uint64_t missed = 0;
    EXPECT_EQ(http_log_readers_reply("a", LOG_VERB, 1000), "[]");
    EXPECT_EQ(http_log_readers_reply("", LOG_VERB, 1000), "[]");
    for (int level = LOG_CRIT; level <= LOG_VERB; ++level) http_log_readers_add(level, ("line " + std::to_string(level)).c_str());
    for (const char *reader : {"a", ""}) {
        std::string got = read_all(reader, LOG_VERB, 2000, &missed);
        for (int level = LOG_CRIT; level <= LOG_VERB; ++level)
            EXPECT_EQ(count(got, "line " + std::to_string(level)), 1u) << reader << got;
        EXPECT_LT(got.find("\"level\":\"crit\""), got.find("\"level\":\"error\""));
        EXPECT_NE(got.find("\"level\":\"notice\""), std::string::npos);
    }
    EXPECT_EQ(missed, 0u);
    // A burst beyond what is kept.
    for (size_t i = 0; i < HTTP_LOG_KEEP_PER_LEVEL + 250; ++i) http_log_readers_add(LOG_INFO, ("info " + std::to_string(i)).c_str());
    std::string got = read_all("a", LOG_VERB, 3000, &missed);
    EXPECT_EQ(missed, 250u);
    EXPECT_NE(got.find("{\"log\":\"250 lines missed\",\"level\":\"warning\",\"missed\":250}"), std::string::npos);
    EXPECT_EQ(count(got, "\"info "), HTTP_LOG_KEEP_PER_LEVEL);
    // A reader idle for more than a minute is forgotten and starts afresh with what is kept.
    missed = 0;
    got = read_all("", LOG_VERB, 3000 + HTTP_LOG_READER_IDLE_MS + 1, &missed);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(count(got, "\"info "), HTTP_LOG_KEEP_PER_LEVEL);
}

TEST(HttpLogReaders, LevelFilterKeepsWarningsUnderAnInfoFlood) {
    http_log_readers_clear();
    EXPECT_EQ(http_log_readers_reply("w", LOG_WARN, 0), "[]");
    for (int i = 0; i < 5000; ++i) {
        http_log_readers_add(LOG_INFO, "flood");
        if (i % 100 == 0) http_log_readers_add(LOG_WARN, ("warn " + std::to_string(i)).c_str());
        if (i % 1000 == 0) http_log_readers_add(LOG_ERR, "err");
    }
    uint64_t missed = 0;
    std::string got = read_all("w", LOG_WARN, 10, &missed);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(count(got, "\"warn "), 50u);
    EXPECT_EQ(count(got, "\"err\""), 5u);
    EXPECT_EQ(count(got, "flood"), 0u);
    EXPECT_EQ(http_log_level_parse("warning"), LOG_WARN);
    EXPECT_EQ(http_log_level_parse(""), LOG_VERB);
    EXPECT_EQ(http_log_level_parse("loud"), -1);
}

// The records come from the log call itself, not from a ring drained when
// someone polls: a burst far beyond any ring between two polls loses no
// warning for the reader that asks for warnings, and the reader of every
// level is told how many info lines went by unseen.
TEST(HttpLogReaders, WarningReaderGetsEveryWarningOfAFloodBetweenTwoPolls) {
    constexpr int FLOOD = 258000, EVERY = 2580;
    bsv_log_attach();
    http_log_exit();
    ASSERT_EQ(http_log_init(), 0);
    int saved_level = log2_level_get();
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    EXPECT_EQ(http_log_readers_reply("warn", LOG_WARN, 0), "[]");
    uint64_t missed = 0;
    read_all("all", LOG_VERB, 0, &missed);
    {
        quiet_stderr quiet;
        for (int i = 0; i < FLOOD; ++i) {
            LOGI("flood %d\n", i);
            if (i % EVERY == 0) LOGW("burst warning %d\n", i);
        }
    }
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, saved_level);

    missed = 0;
    std::string got = read_all("warn", LOG_WARN, 10, &missed);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(count(got, "burst warning "), static_cast<size_t>(FLOOD / EVERY));
    EXPECT_NE(got.find("burst warning 255420"), std::string::npos);
    EXPECT_EQ(count(got, "flood "), 0u);
    got = read_all("all", LOG_VERB, 10, &missed);
    EXPECT_GE(missed, static_cast<uint64_t>(FLOOD - HTTP_LOG_KEEP_PER_LEVEL));
    EXPECT_LT(missed, static_cast<uint64_t>(FLOOD));
    EXPECT_EQ(count(got, "burst warning "), static_cast<size_t>(FLOOD / EVERY));
    EXPECT_NE(got.find("flood 257999"), std::string::npos);
    http_log_exit();
}

// Threads log while a reader polls: every warning reaches it once.
TEST(HttpLogReadersConcurrent, ThreadsLoggingWhileAReaderPollsLoseNoWarning) {
    constexpr int THREADS = 4, EACH = 200;
    bsv_log_attach();
    http_log_exit();
    ASSERT_EQ(http_log_init(), 0);
    EXPECT_EQ(http_log_readers_reply("c", LOG_WARN, 0), "[]");
    std::string got;
    uint64_t missed = 0;
    {
        quiet_stderr quiet;
        std::vector<std::thread> loggers;
        for (int t = 0; t < THREADS; ++t)
            loggers.emplace_back([t] {
                for (int i = 0; i < EACH; ++i) LOGW("concurrent warning %d.%d\n", t, i);
            });
        for (int i = 0; i < 50; ++i) got += http_log_readers_reply("c", LOG_WARN, 1);
        for (auto &t : loggers) t.join();
    }
    got += read_all("c", LOG_WARN, 2, &missed);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(count(got, "concurrent warning "), static_cast<size_t>(THREADS * EACH));
    EXPECT_EQ(count(got, "concurrent warning 3.199\\n"), 1u);
    http_log_exit();
}

}  // namespace

