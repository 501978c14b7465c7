#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "libnet/net_sock.h"
#include "libpal/os/os_pipe.h"
#include "net_test_util.h"

namespace {

std::string unique_name(const char *what) {
    return std::string(OS_NAME_PIPE_PREFIX) + "hubd_test_" + what + "_" + std::to_string(getpid());
}

std::string read_some(int fd, size_t want) {
    std::string out;
    char buf[256];
    for (int tries = 0; out.size() < want && tries < 1000; ++tries) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        else test_wait_until([] { return false; }, 5);
    }
    return out;
}

// Each test's own server FIFO, closed after the test.
class OsNamePipeSrv : public ::testing::Test {
protected:
    void TearDown() override {
        if (pipe_) os_name_pipe_srv_close(pipe_);
    }
    os_name_pipe_srv *open_pipe(const char *what) {
        return pipe_ = os_name_pipe_single_srv_open(unique_name(what).c_str());
    }
    os_name_pipe_srv *pipe_ = nullptr;
};

}  // namespace

TEST(OsNamePipePath, PipeNamespaceAndBareNamesMapUnderTmp) {
    char out[OS_NAME_PIPE_PATH_MAXN];
    EXPECT_STREQ(os_name_pipe_path("\\\\.\\pipe\\qelto_hubd_1234", out, sizeof out),
                 "/tmp/qelto_hubd_1234");
    EXPECT_STREQ(os_name_pipe_path("plain", out, sizeof out), "/tmp/plain");
    EXPECT_STREQ(os_name_pipe_path("/run/x/fifo", out, sizeof out), "/run/x/fifo");
    EXPECT_EQ(os_name_pipe_path("\\\\.\\pipe\\a/../b", out, sizeof out), nullptr);
    char small[8];
    EXPECT_EQ(os_name_pipe_path("longer_than_small", small, sizeof small), nullptr);
}

TEST_F(OsNamePipeSrv, CreatesFifoWithOwnerOnlyModeNeedingAClient) {
    ASSERT_NE(open_pipe("mode"), nullptr);
    struct stat st;
    ASSERT_EQ(stat(pipe_->path, &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(pipe_->need_connect.load(), 1);
    std::string path = pipe_->path;
    os_name_pipe_srv_close(pipe_);
    pipe_ = nullptr;
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(OsNamePipeSrv, WaitsForReaderNoticesItLeaveThenWaitsForTheNext) {
    ASSERT_NE(open_pipe("cycle"), nullptr);
    std::string path = pipe_->path;

    // Nobody reads yet: a bounded wait gives up without closing the record.
    EXPECT_FALSE(os_name_pipe_srv_connect(pipe_, 120));
    EXPECT_EQ(pipe_->closed.load(), 0);

    // A reader comes, is written to, leaves; then the next one.
    for (const std::string word : {"hello", "again"}) {
        std::atomic<int> reader{-1};
        std::thread opener = test_later(100, [&] { reader = open(path.c_str(), O_RDONLY | O_NONBLOCK); });
        EXPECT_TRUE(os_name_pipe_srv_connect(pipe_, 20000));
        opener.join();
        ASSERT_GE(reader.load(), 0);
        EXPECT_EQ(os_name_pipe_srv_write(pipe_, word.data(), 5), 5);
        EXPECT_EQ(read_some(reader, 5), word);
        // Alive but silent: the probe answers 0; gone, it fails and a new reader is awaited.
        EXPECT_EQ(os_name_pipe_srv_write(pipe_, nullptr, 0), 0);
        close(reader);
        EXPECT_EQ(os_name_pipe_srv_write(pipe_, nullptr, 0), -1);
        EXPECT_EQ(pipe_->need_connect.load(), 1);
    }
}

TEST_F(OsNamePipeSrv, StopEventEndsUnlimitedWaitAndMarksClosed) {
    ASSERT_NE(open_pipe("stop"), nullptr);
    std::thread stopper = test_later(100, [&] { os_name_pipe_srv_stop(pipe_); });
    EXPECT_FALSE(os_name_pipe_srv_connect(pipe_, OS_NAME_PIPE_WAIT_FOREVER));
    stopper.join();
    EXPECT_EQ(pipe_->closed.load(), 1);
    // Already stopped: the next wait fails at once.
    EXPECT_FALSE(os_name_pipe_srv_connect(pipe_, OS_NAME_PIPE_WAIT_FOREVER));
}

TEST_F(OsNamePipeSrv, ReadOnServerEndFailsWithEnotsup) {
    ASSERT_NE(open_pipe("read"), nullptr);
    char buf[4];
    errno = 0;
    EXPECT_EQ(os_name_pipe_srv_read(pipe_, buf, sizeof buf, 10), -1);
    EXPECT_EQ(errno, ENOTSUP);
}

TEST(NetSockPipe, StreamWritesProbesAndRefusesReads) {
    std::string name = unique_name("stream");
    os_name_pipe_srv *pipe = os_name_pipe_single_srv_open(name.c_str());
    ASSERT_NE(pipe, nullptr);
    net_sock ns{};
    net_sock_init_pipe(&ns, pipe, 100);
    // No reader within the stream's time-out: a line read gives 0.
    char line[NET_GETS_MAXN];
    EXPECT_EQ(net_gets(&ns, line), 0);
    int reader = open(pipe->path, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(os_name_pipe_srv_connect(pipe, 5000));
    EXPECT_EQ(net_printf(&ns, "n=%d", 5), 3);
    EXPECT_EQ(read_some(reader, 3), "n=5");
    EXPECT_EQ(net_write(&ns, "", 0), 0);
    char buf[4];
    EXPECT_EQ(net_read(&ns, buf, sizeof buf), 0);
    os_name_pipe_srv_stop(pipe);
    pipe->closed = 1;
    EXPECT_EQ(net_read(&ns, buf, sizeof buf), -1);
    EXPECT_EQ(net_gets(&ns, line), -1);
    EXPECT_EQ(net_close(&ns), 0);
    close(reader);
    os_name_pipe_srv_close(pipe);
}

TEST(OsNamePipeCli, WritesIntoFifoMadeByReader) {
    std::string path = "/tmp/hubd_test_cli_" + std::to_string(getpid());
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    // No reader yet: the client cannot open.
    EXPECT_LT(os_name_pipe_cli_open(path.c_str()), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    int fd = os_name_pipe_cli_open(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os_name_pipe_cli_write(fd, "head", 4), 4);
    EXPECT_EQ(read_some(reader, 4), "head");
    os_name_pipe_cli_close(fd);
    close(reader);
    unlink(path.c_str());
}

// Whatever sits at the FIFO's path and is not our own FIFO is left alone.
TEST_F(OsNamePipeSrv, RefusesAnythingButItsOwnFifoAtThePath) {
    std::string name = unique_name("squat");
    char path[OS_NAME_PIPE_PATH_MAXN];
    ASSERT_NE(os_name_pipe_path(name.c_str(), path, sizeof path), nullptr);
    std::string target = std::string(path) + "_target";
    struct squatter {
        const char *what;
        void (*make)(const char *path, const std::string &target);
    };
    const squatter rows[] = {
        {"regular file", [](const char *p, const std::string &) { close(open(p, O_CREAT | O_WRONLY, 0666)); }},
        {"symbolic link to a file", [](const char *p, const std::string &t) {
             close(open(t.c_str(), O_CREAT | O_WRONLY, 0666));
             ASSERT_EQ(symlink(t.c_str(), p), 0);
         }},
        {"directory", [](const char *p, const std::string &) { ASSERT_EQ(mkdir(p, 0700), 0); }},
    };
    for (const squatter &row : rows) {
        row.make(path, target);
        errno = 0;
        EXPECT_EQ(os_name_pipe_single_srv_open(name.c_str()), nullptr) << row.what;
        EXPECT_EQ(errno, EEXIST) << row.what;
        struct stat st;
        EXPECT_EQ(lstat(path, &st), 0) << row.what << " was removed";
        if (access(target.c_str(), F_OK) == 0) {
            EXPECT_EQ(stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_size, 0) << "written through the link";
        }
        unlink(path);
        rmdir(path);
        unlink(target.c_str());
    }
}

TEST_F(OsNamePipeSrv, FifoRemovedFromOutsideIsMadeAgainForTheNextReader) {
    ASSERT_NE(open_pipe("removed"), nullptr);
    unlink(pipe_->path);
    EXPECT_FALSE(os_name_pipe_srv_connect(pipe_, 100));  // no reader yet, but the FIFO is back
    struct stat st;
    ASSERT_EQ(lstat(pipe_->path, &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Removed while the server waits for a reader: made again, and a reader
    // with a blocking open of the new one is taken.
    std::string path = pipe_->path;
    std::atomic<int> reader{-1};
    std::thread remover = test_later(100, [&] {
        unlink(path.c_str());
        struct stat again;
        test_wait_until([&] { return lstat(path.c_str(), &again) == 0; }, 5000);
        reader = open(path.c_str(), O_RDONLY);
    });
    EXPECT_TRUE(os_name_pipe_srv_connect(pipe_, 20000));
    remover.join();
    ASSERT_GE(reader.load(), 0);
    EXPECT_EQ(os_name_pipe_srv_write(pipe_, "new", 3), 3);
    EXPECT_EQ(read_some(reader, 3), "new");
    close(reader);
}

TEST(OsNamePipeSweep, RemovesOnlyOwnFifosOfThreadsThatNoLongerRun) {
    std::string prefix = "hubd_test_sweep_" + std::to_string(getpid()) + "_";
    // A thread id far above pid_max never runs; our own pid does.
    const struct {
        std::string name;
        bool fifo;
        bool removed;
    } rows[] = {
        {prefix + "4999999", true, true},
        {prefix + std::to_string(getpid()), true, false},
        {prefix + "4999998", false, false},  // a plain file is not ours to judge
        {prefix + "12x", true, false},
    };
    for (const auto &row : rows) {
        std::string path = "/tmp/" + row.name;
        unlink(path.c_str());
        if (row.fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else {
            close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
        }
    }
    EXPECT_EQ(os_name_pipe_sweep(prefix.c_str()), 1);
    for (const auto &row : rows) {
        std::string path = "/tmp/" + row.name;
        EXPECT_EQ(access(path.c_str(), F_OK) != 0, row.removed) << row.name;
        unlink(path.c_str());
    }
}
