// Console lines carry their syslog priority when standard error is the journal.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "liblog/log2.h"
#include "liblog/log2_panic.h"
#include "liblog/log_sink_console.h"

namespace {

// Standard error goes to a file for the scope; JOURNAL_STREAM names either
// that file or another one.
class stderr_to_file {
public:
    explicit stderr_to_file(bool journal) {
        char tmpl[] = "/tmp/hubd-journal-XXXXXX";
        int fd = mkstemp(tmpl);
        path_ = tmpl;
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
        struct stat st {};
        fstat(journal ? STDERR_FILENO : saved_, &st);
        setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        log_console_journal_recheck();
    }
    ~stderr_to_file() {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        unsetenv("JOURNAL_STREAM");
        log_console_journal_recheck();
        unlink(path_.c_str());
    }
    std::string text() {
        std::fflush(stderr);
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    std::string path_;
    int saved_ = -1;
};

struct PriorityRow {
    int level;
    const char *prefix;
};

TEST(LogJournal, EveryLineStartsWithItsPriority) {
    const PriorityRow rows[] = {{LOG_CRIT, "<2>"}, {LOG_ERR, "<3>"}, {LOG_WARN, "<4>"}, {LOG_NOTI, "<5>"},
                                {LOG_INFO, "<6>"}, {LOG_DBG, "<7>"}, {LOG_VERB, "<7>"}};
    for (const PriorityRow &row : rows) {
        stderr_to_file capture(true);
        ASSERT_TRUE(log_console_is_journal());
        const std::string record = "first line\nsecond line\n";
        log_console_write(LOG_FMT_COLOUR, row.level, record.data(), record.size());
        std::string p = row.prefix;
        EXPECT_EQ(capture.text(), p + "first line\n" + p + "second line\n") << "level " << row.level;
    }
}

TEST(LogJournal, OtherStreamGetsPlainLines) {
    stderr_to_file capture(false);
    EXPECT_FALSE(log_console_is_journal());
    log_console_write(0, LOG_ERR, "plain\n", 6);
    EXPECT_EQ(capture.text(), "plain\n");
}

// The crash path's raw text (when the log lock cannot be had) is crit there too.
TEST(LogJournal, RawCrashTextCarriesTheCritPriority) {
    for (bool journal : {true, false}) {
        stderr_to_file capture(journal);
        const std::string text = "Code: 0xc0000005\nCmsg: ACCESS_VIOLATION\n";
        log2_panic_direct(text.data(), text.size());
        EXPECT_EQ(capture.text(), journal ? "<2>Code: 0xc0000005\n<2>Cmsg: ACCESS_VIOLATION\n" : text);
    }
}

}  // namespace
