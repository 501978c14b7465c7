#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "libpal/env/malloc.h"
#include "libpal/env/thread_name.h"
#include "log_test_util.h"

namespace {

void open_file(log_ctx *ctx, const std::string &path) {
    ASSERT_EQ(log2_ioctl(ctx, LOG2_IOCTL_FILE, path.c_str()), 0);
    log2_ioctl(ctx, LOG2_IOCTL_FILE_ON, 1);
}

size_t count_lines(const std::string &text) {
    size_t n = 0;
    for (char ch : text) n += ch == '\n';
    return n;
}

// A private log context and a folder for its files.
class LogFile : public testing::Test {
protected:
    // Opens dir's file name as the log file; its path.
    std::string opened(const char *name) {
        std::string path = dir.file(name);
        open_file(c.ctx, path);
        return path;
    }
    scoped_log_ctx c;
    temp_dir dir;
};

}  // namespace

TEST_F(LogFile, LineHasDateTimeLevelPidThreadTagAndBody) {
    std::string path = opened("fmt.log");
    c.ctx->flags.store(LOG_FMT_FUNC | LOG_FMT_TIME | LOG_FMT_TID);
    log2_printf(c.ctx, LOG_INFO, "net", "f.cpp", 3, "sock_open", "port %d\n", 80);
    log2_printf(c.ctx, LOG_DBG, "net", "f.cpp", 3, nullptr, "second");
    char name[OS_THREAD_NAME_MAXN];
    os_thread_name_get(name);
    std::string text = read_file(path);
    std::string date_time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} )";
    std::string who = std::to_string(getpid()) + R"( --- \[)" + name + R"(\] net )";
    std::regex expect(date_time + "INFO  " + who + R"(sock_open\(\): port 80\n)" + date_time + "DEBUG " + who +
                      R"(second\n)");
    EXPECT_TRUE(std::regex_match(text, expect)) << text;
}

TEST_F(LogFile, EveryLevelHasItsColumnName) {
    open_file(c.ctx, dir.file("lv.log"));
    c.ctx->level.store(LOG_VERB);
    for (int level = LOG_CRIT; level <= LOG_VERB; ++level) {
        log2_printf(c.ctx, static_cast<uint32_t>(level) | LOG_F_NO_EXIT, "t", "f", 1, nullptr, "x\n");
    }
    std::string text = read_file(dir.file("lv.log"));
    for (const char *col : {" CRIT  ", " ERROR ", " WARN  ", " NOTI  ", " INFO  ", " DEBUG ", " VERB  "}) {
        EXPECT_NE(text.find(col), std::string::npos) << col;
    }
}

TEST_F(LogFile, ModeWTruncatesExistingFile) {
    std::string path = dir.file("w.log");
    write_file(path, "old line\n");
    open_file(c.ctx, path);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "new\n");
    std::string text = read_file(path);
    EXPECT_EQ(text.find("old line"), std::string::npos);
    EXPECT_EQ(count_lines(text), 1u);
}

TEST_F(LogFile, ModeAAppendsToExistingFile) {
    std::string path = dir.file("a.log");
    write_file(path, "old line\n");
    c.ctx->file.mode[0] = 'a';
    open_file(c.ctx, path);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "new\n");
    std::string text = read_file(path);
    EXPECT_EQ(text.rfind("old line\n", 0), 0u);
    EXPECT_EQ(count_lines(text), 2u);
}

TEST_F(LogFile, RelativeNameIsJoinedToDirectory) {
    std::string sub = dir.file("logs/deeper");
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_DIR, sub.c_str());
    open_file(c.ctx, "joined.log");
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "x\n");
    EXPECT_EQ(std::string(c.ctx->file.name), sub + "/joined.log");
    EXPECT_EQ(count_lines(read_file(sub + "/joined.log")), 1u);
}

TEST_F(LogFile, AbsoluteNameIgnoresDirectory) {
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_DIR, dir.file("unused").c_str());
    open_file(c.ctx, dir.file("abs.log"));
    EXPECT_EQ(std::string(c.ctx->file.name), dir.file("abs.log"));
}

TEST(LogFileDir, RelativeNameWithoutDirectoryBecomesAbsolute) {
    char out[4096];
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_TRUE(log_file_resolve("", "x.log", out, sizeof out));
    EXPECT_EQ(std::string(out), std::string(cwd) + "/x.log");
}

TEST(LogFileDir, TildeExpandsToHome) {
    char out[4096];
    const char *home = getenv("HOME");
    if (!home || !*home) GTEST_SKIP() << "HOME unset";
    ASSERT_TRUE(log_file_resolve("/ignored", "~/h.log", out, sizeof out));
    EXPECT_EQ(std::string(out), std::string(home) + "/h.log");
}

TEST(LogFileDir, DirectoryWithTrailingSlashGetsNoSecondSlash) {
    char out[4096];
    ASSERT_TRUE(log_file_resolve("/var/log/", "y.log", out, sizeof out));
    EXPECT_STREQ(out, "/var/log/y.log");
}

TEST_F(LogFile, MissingDirectoryFailsAndRetriesLater) {
    std::string path = dir.file("later/r.log");
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FILE, path.c_str()), -1);
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "lost\n");
    ASSERT_EQ(mkdir(dir.file("later").c_str(), 0755), 0);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "kept\n");
    std::string text = read_file(path);
    EXPECT_EQ(count_lines(text), 1u);
    EXPECT_NE(text.find("kept"), std::string::npos);
}

TEST_F(LogFile, DeletedFileIsRecreatedByNextLine) {
    std::string path = opened("del.log");
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "before\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "after\n");
    std::string text = read_file(path);
    EXPECT_EQ(count_lines(text), 1u);
    EXPECT_NE(text.find("after"), std::string::npos);
}

TEST_F(LogFile, FileRenamedAwayIsRecreatedForTheNextLines) {
    std::string path = opened("rot.log");
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "before\n");
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    for (int i = 0; i < 3; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "after %d\n", i);
    std::string fresh = read_file(path);
    std::string rotated = read_file(path + ".1");
    EXPECT_EQ(count_lines(fresh), 3u) << fresh;
    EXPECT_NE(fresh.find("after 0\n"), std::string::npos);
    EXPECT_EQ(count_lines(rotated), 1u) << rotated;
    EXPECT_NE(rotated.find("before\n"), std::string::npos);
}

// A file is appended to by offset-less positional writes; a FIFO takes no
// offset at all and must still get every line, by plain writes.
TEST_F(LogFile, FifoAsLogFileGetsEveryLine) {
    std::string path = dir.file("lines.fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    open_file(c.ctx, path);
    for (int i = 0; i < 3; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "piped %d\n", i);
    char buf[4096];
    ssize_t got = read(reader, buf, sizeof buf);
    close(reader);
    ASSERT_GT(got, 0);
    std::string text(buf, static_cast<size_t>(got));
    EXPECT_EQ(count_lines(text), 3u) << text;
    EXPECT_NE(text.find("piped 2\n"), std::string::npos) << text;
}

TEST_F(LogFile, FileTruncatedFromOutsideIsWrittenFromItsNewEnd) {
    std::string path = opened("trunc.log");
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_SIZE, 4096);
    for (int i = 0; i < 30; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "old %03d\n", i);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    // Enough for the bytes written in all to pass the cap, not for the file itself.
    const int fresh_lines = 40;
    for (int i = 0; i < fresh_lines; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "new %03d\n", i);
    std::string text = read_file(path);
    EXPECT_LT(text.size(), 4096u);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(text.find("old "), std::string::npos);
    EXPECT_EQ(count_lines(text), static_cast<size_t>(fresh_lines));
    EXPECT_NE(text.substr(0, text.find('\n')).find("new 000"), std::string::npos) << text.substr(0, 200);
}

TEST_F(LogFile, ConcurrentWritersLeaveWholeLinesNoneInterleaved) {
    std::string path = opened("two.log");
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_SIZE, 0x40000000);
    constexpr int per_thread = 100000;
    auto writer = [&](int id) {
        for (int i = 0; i < per_thread; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, "w", "writer %d line %d\n", id, i);
    };
    std::thread first(writer, 0), second(writer, 1);
    first.join();
    second.join();
    std::string text = read_file(path);
    // Each writer's lines appear whole and in its own order.
    int next[2] = {0, 0};
    size_t lines = 0, bad = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lines;
        int id = -1, seq = -1;
        size_t at = line.find("w(): writer ");
        if (line.size() < 27 || line[4] != '-' || line[26] != ' ' || at == std::string::npos ||
            std::sscanf(line.c_str() + at, "w(): writer %d line %d", &id, &seq) != 2 || id < 0 || id > 1 ||
            seq != next[id]) {
            if (bad++ < 3) ADD_FAILURE() << "line " << lines << ": " << line;
            continue;
        }
        ++next[id];
    }
    EXPECT_EQ(lines, 2u * per_thread);
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(next[0], per_thread);
    EXPECT_EQ(next[1], per_thread);
}

TEST_F(LogFile, FullFileKeepsNewestHalfFromALineStart) {
    std::string path = opened("cap.log");
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_SIZE, 4096);
    for (int i = 0; i < 200; ++i) log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "line %03d padding\n", i);
    std::string text = read_file(path);
    EXPECT_LT(text.size(), 4096u);
    EXPECT_GE(text.size(), 1024u);
    std::regex line_re(R"(\d{4}-[^\n]* t line \d{3} padding\n)");
    std::string first = text.substr(0, text.find('\n') + 1);
    EXPECT_TRUE(std::regex_match(first, line_re)) << first;
    EXPECT_NE(text.find("line 199 padding\n"), std::string::npos);
    EXPECT_EQ(text.find("line 000 padding\n"), std::string::npos);
}

TEST(LogFileCap, SizeBelow1024Becomes1024) {
    scoped_log_ctx c;
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_SIZE, 10);
    EXPECT_EQ(c.ctx->file.max_size, 1024u);
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_SIZE, -5);
    EXPECT_EQ(c.ctx->file.max_size, 1024u);
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_SIZE, 5000);
    EXPECT_EQ(c.ctx->file.max_size, 5000u);
}

namespace {
std::string g_pcap_path;
int g_pcap_append = -1;
int g_pcap_closes = 0;
const log2_pcap_ops PCAP_OPS = {
    [](const char *path, int append, uint32_t) {
        g_pcap_path = path;
        g_pcap_append = append;
        return 0;
    },
    [] { ++g_pcap_closes; },
};
}  // namespace

TEST_F(LogFile, PcapNameGoesToAttachedWriterAndNoTextLines) {
    std::string path = dir.file("bin.pcap");
    g_pcap_closes = 0;
    log2_attach_pcap(&PCAP_OPS);
    c.ctx->file.mode[0] = 'a';
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FILE, path.c_str()), 0);
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE_ON, 1);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, nullptr, "not as text\n");
    log2_ioctl(c.ctx, LOG2_IOCTL_FILE, dir.file("t.log").c_str());
    log2_attach_pcap(nullptr);
    EXPECT_EQ(g_pcap_path, path);
    EXPECT_EQ(g_pcap_append, 1);
    EXPECT_EQ(g_pcap_closes, 1);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(LogFile, UppercaseExtensionIsText) {
    EXPECT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FILE, dir.file("x.PCAP").c_str()), 0);
    EXPECT_EQ(c.ctx->file.type, LOG_FILE_TEXT);
}

TEST(LogFilePcapDeathTest, PcapWithoutWriterFailsWithTrace) {
    temp_dir dir;
    std::string path = dir.file("none.pcap");
    EXPECT_EXIT(
        {
            log2_trace_enable();
            scoped_log_ctx c;
            int r = log2_ioctl(c.ctx, LOG2_IOCTL_FILE, path.c_str());
            std::_Exit(r == -1 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "bsvf_pcap_file " + path + " err\n");
}

TEST(LogFileOpenDeathTest, UnopenableTextFileTracesFopenError) {
    EXPECT_EXIT(
        {
            log2_trace_enable();
            scoped_log_ctx c;
            int r = log2_ioctl(c.ctx, LOG2_IOCTL_FILE, "/nonexistent-dir/q.log");
            std::_Exit(r == -1 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "fopen /nonexistent-dir/q.log err\n");
}

namespace {
// Holds counted blocks in a chain until the live count reaches its high-water
// mark; from there any allocation would raise the mark.
void *fill_to_high_water() {
    void *chain = nullptr;
    mem_stats s;
    mem_stats_get(&s);
    while (s.malloc_count < s.malloc_max_count) {
        void *block = mem_malloc(sizeof(void *));
        *static_cast<void **>(block) = chain;
        chain = block;
        mem_stats_get(&s);
    }
    return chain;
}
void free_chain(void *chain) {
    while (chain) {
        void *next = *static_cast<void **>(chain);
        mem_free(chain);
        chain = next;
    }
}
}  // namespace

TEST_F(LogFile, FileAndRingPathAllocatesNothing) {
    open_file(c.ctx, dir.file("heap.log"));
    c.ctx->flags.store(0xFF & ~LOG_FMT_TIME_MS & ~LOG_FMT_COLOUR);
    log2_printf(c.ctx, LOG_INFO, "t", "f", 1, "warm", "warm up\n");
    void *chain = fill_to_high_water();
    mem_stats before;
    mem_stats_get(&before);
    for (int i = 0; i < 5000; ++i) {
        log2_printf(c.ctx, LOG_INFO, "heap", __FILE__, __LINE__, __func__, "record %d of a typical size\n", i);
    }
    mem_stats after;
    mem_stats_get(&after);
    free_chain(chain);
    EXPECT_EQ(after.malloc_max_count, before.malloc_max_count);
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_GT(c.ctx->last_log_ring.used, 0u);
    EXPECT_EQ(count_lines(read_file(dir.file("heap.log"))), 5001u);
}

// A held file is neither truncated nor written until the release, which
// writes the lines kept meanwhile; a file that was open is reopened.
TEST(LogFileHold, FileUntouchedUntilReleaseThenKeptLinesFirst) {
    for (bool open_before_hold : {false, true}) {
        scoped_log_ctx c;
        temp_dir dir;
        std::string path = dir.file("held.log");
        write_file(path, "running instance line\n");
        if (open_before_hold) {
            c.ctx->file.mode[0] = 'a';
            open_file(c.ctx, path);
            c.ctx->file.mode[0] = 'w';
        }
        ASSERT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FILE_HOLD, 1), 0);
        if (!open_before_hold) open_file(c.ctx, path);
        log2_printf(c.ctx, LOG_INFO, "main", "f.cpp", 1, nullptr, "kept one\n");
        log2_printf(c.ctx, LOG_INFO, "main", "f.cpp", 2, nullptr, "kept two\n");
        EXPECT_EQ(read_file(path), "running instance line\n") << open_before_hold;
        // The settings dump shows the file in force while it is held.
        EXPECT_EQ(std::string(c.ctx->file.name), path);

        ASSERT_EQ(log2_ioctl(c.ctx, LOG2_IOCTL_FILE_HOLD, 0), 0);
        log2_printf(c.ctx, LOG_INFO, "main", "f.cpp", 3, nullptr, "after\n");
        std::string text = read_file(path);
        EXPECT_EQ(text.find("running instance line"), std::string::npos) << "mode w truncates at the release";
        size_t one = text.find("kept one\n"), two = text.find("kept two\n"), after = text.find("after\n");
        EXPECT_TRUE(one != std::string::npos && one < two && two < after && after != std::string::npos) << text;
        EXPECT_EQ(count_lines(text), 3u) << text;
    }
}
