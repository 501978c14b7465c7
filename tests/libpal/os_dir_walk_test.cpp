#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "libpal/os/linux/os_dir_walk.h"

namespace fs = std::filesystem;

namespace {

struct Seen {
    std::multiset<std::string> names;
    size_t stop_after;
};

bool note(const char *name, void *arg) {
    auto *seen = static_cast<Seen *>(arg);
    seen->names.insert(name);
    return seen->names.size() < seen->stop_after;
}

}  // namespace

// Every name once, through a buffer that takes only a few entries per read,
// on every walk of the same open folder; a visitor that says stop is obeyed.
TEST(OsDirWalk, VisitsEveryNameOnceAndStopsWhenAsked) {
    char tmpl[] = "/tmp/dirwalkXXXXXX";
    fs::path dir = mkdtemp(tmpl);
    std::set<std::string> expected = {".", ".."};
    for (int i = 0; i < 300; ++i) {
        std::string name = "entry-" + std::to_string(i) + std::string(static_cast<size_t>(i % 40), 'n');
        std::ofstream(dir / name).put('x');
        expected.insert(name);
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char buf[512];
    for (int pass = 0; pass < 2; ++pass) {
        Seen seen{{}, SIZE_MAX};
        EXPECT_EQ(os_dir_walk(fd, buf, sizeof buf, note, &seen), static_cast<int>(expected.size()));
        EXPECT_EQ(std::set<std::string>(seen.names.begin(), seen.names.end()), expected);
        EXPECT_EQ(seen.names.size(), expected.size());
    }
    Seen first{{}, 5};
    EXPECT_EQ(os_dir_walk(fd, buf, sizeof buf, note, &first), 5);
    EXPECT_EQ(first.names.size(), 5u);
    // A buffer too small for one entry, or no directory, is a failure.
    Seen none{{}, SIZE_MAX};
    EXPECT_EQ(os_dir_walk(fd, buf, 8, note, &none), -1);
    EXPECT_EQ(os_dir_walk(-1, buf, sizeof buf, note, &none), -1);
    EXPECT_TRUE(none.names.empty());
    close(fd);
    fs::remove_all(dir);
}
