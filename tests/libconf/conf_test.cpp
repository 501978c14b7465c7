#include "libconf/conf.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "libconf/ini_file_util.h"

namespace {

struct HandleCloser {
    void operator()(ConfHandle *h) const { conf_close(h); }
};
using HandlePtr = std::unique_ptr<ConfHandle, HandleCloser>;

class ConfStore : public testing::Test {
protected:
    HandlePtr open_text(const std::string &bytes, const std::string &name = "hubd.ini") {
        return HandlePtr(conf_open(dir_.write(name, bytes).c_str()));
    }
    TempDir dir_;
};

const char *const kFramework =
    "[debug]\n"
    "shell_server_port = 12581\n"
    "http_server_port = 12580\n"
    "http_server_addr =\n"
    "panic_dump_dir = dumps\n"
    "spaced = \t -42abc\n"
    "word = abc\n"
    "huge = 99999999999\n"
    "tiny = -99999999999\n"
    "marker = NOT_FOUND\n"
    "[Debug]\n"
    "shell_server_port = 1\n";

}  // namespace

TEST_F(ConfStore, OpenPicksTheDriverByExtension) {
    EXPECT_TRUE(open_text("[a]\nk=1\n", "x.ini"));
    EXPECT_TRUE(open_text("[a]\nk=1\n", "x.QLI"));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(open_text("[a]\nk=1\n", "x.cfg"));
    testing::internal::GetCapturedStderr();
}

TEST_F(ConfStore, OpenFailsOnMissingFileDirectoryAndBadContent) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(conf_open(dir_.file("missing.ini").c_str()), nullptr);
    ASSERT_EQ(mkdir(dir_.file("dir.ini").c_str(), 0755), 0);
    EXPECT_EQ(conf_open(dir_.file("dir.ini").c_str()), nullptr);
    EXPECT_FALSE(open_text("[a]\nnot a setting\n"));
    testing::internal::GetCapturedStderr();
}

TEST_F(ConfStore, GetStrSplitsAtColon) {
    HandlePtr h = open_text(kFramework);
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "debug:panic_dump_dir", ""), "dumps");
}

TEST_F(ConfStore, GetStrPrefersTabOverColon) {
    HandlePtr h = open_text("[a:b]\nk=1\n[a]\nb:k=2\n");
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "a:b\tk", "none"), "1");
    EXPECT_STREQ(conf_get_str(h.get(), "a:b:k", "none"), "2");
}

TEST_F(ConfStore, GetStrWithoutSeparatorReturnsDefault) {
    HandlePtr h = open_text("k=1\n");
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "k", "def"), "def");
    EXPECT_STREQ(conf_get_str(h.get(), ":k", "def"), "1");
}

TEST_F(ConfStore, NamesAreCaseSensitive) {
    HandlePtr h = open_text(kFramework);
    ASSERT_TRUE(h);
    EXPECT_STREQ(conf_get_str(h.get(), "debug:Shell_server_port", "def"), "def");
    EXPECT_EQ(conf_get_int(h.get(), "Debug:shell_server_port", 0), 1);
}

TEST_F(ConfStore, OverlongSectionIsCutNotOverrun) {
    HandlePtr h = open_text("[a]\nk=1\n");
    ASSERT_TRUE(h);
    std::string name(20000, 's');
    name += ":k";
    EXPECT_STREQ(conf_get_str(h.get(), name.c_str(), "def"), "def");
}

TEST_F(ConfStore, GetIntReadsDecimalNumbers) {
    HandlePtr h = open_text(kFramework);
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_get_int(h.get(), "debug:shell_server_port", 0), 12581);
    EXPECT_EQ(conf_get_int(h.get(), "debug:spaced", 0), -42);
    EXPECT_EQ(conf_get_int(h.get(), "debug:word", 7), 0);
}

TEST_F(ConfStore, GetIntOfEmptyValueIsZeroNotDefault) {
    HandlePtr h = open_text(kFramework);
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_get_int(h.get(), "debug:http_server_addr", 5), 0);
}

TEST_F(ConfStore, GetIntOfMissingKeyOrNotFoundTextIsDefault) {
    HandlePtr h = open_text(kFramework);
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_get_int(h.get(), "debug:nothing", 77), 77);
    EXPECT_EQ(conf_get_int(h.get(), "debug:marker", 78), 78);
    EXPECT_EQ(conf_get_int(h.get(), "no_separator", 79), 79);
}

TEST_F(ConfStore, GetIntHoldsOutOfRangeNumbersToInt32) {
    HandlePtr h = open_text(kFramework);
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_get_int(h.get(), "debug:huge", 0), INT32_MAX);
    EXPECT_EQ(conf_get_int(h.get(), "debug:tiny", 0), INT32_MIN);
}

TEST_F(ConfStore, NullHandleGivesDefaultsAndFailures) {
    testing::internal::CaptureStderr();
    EXPECT_STREQ(conf_get_str(nullptr, "a:b", "def"), "def");
    EXPECT_EQ(conf_get_int(nullptr, "a:b", 3), 3);
    EXPECT_EQ(conf_set(nullptr, "a", "b", "c"), -1);
    EXPECT_EQ(conf_sections(nullptr), nullptr);
    EXPECT_EQ(conf_save(nullptr), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(conf_close(nullptr), 0);
}

namespace {

// A second format, to see that the registry asks drivers in slot order.
int g_fake_opens = 0;
int fake_probe(const char *path) {
    size_t n = std::strlen(path);
    return n >= 5 && std::strcmp(path + n - 5, ".fake") == 0 ? 0 : 1;
}
void *fake_open(const char *, int) {
    ++g_fake_opens;
    return &g_fake_opens;
}
int fake_close(void *) { return 0; }
const char *fake_get(void *, const char *section, const char *key, const char *def) {
    return std::strcmp(section, "s") == 0 && std::strcmp(key, "k") == 0 ? "fake" : def;
}
const ConfDriver kFakeDriver = {fake_probe, fake_open, fake_close, fake_get};

}  // namespace

TEST_F(ConfStore, RegisteredDriverServesItsOwnFiles) {
    static const bool registered = conf_driver_register(&kFakeDriver) == 0;
    ASSERT_TRUE(registered);
    int before = g_fake_opens;
    HandlePtr h(conf_open(dir_.file("any.fake").c_str()));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->driver, &kFakeDriver);
    EXPECT_EQ(g_fake_opens, before + 1);
    EXPECT_STREQ(conf_get_str(h.get(), "s:k", "def"), "fake");
    EXPECT_TRUE(open_text("[a]\nk=1\n"));
}

TEST(ConfRegistry, HoldsFourDrivers) {
    // A re-executed child starts with an empty registry, whatever ran before.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The INI driver takes one slot on first use.
            conf_open("none.ini");
            int added = 0;
            while (conf_driver_register(&kFakeDriver) == 0) ++added;
            std::exit(added <= CONF_DRIVER_SLOTS - 1 ? 10 + added : 1);
        },
        testing::ExitedWithCode(10 + CONF_DRIVER_SLOTS - 1), "");
}
