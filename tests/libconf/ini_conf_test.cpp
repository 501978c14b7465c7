#include "libconf/ini/ini_conf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "libconf/conf.h"
#include "libconf/ini_file_util.h"
#include "libpal/string/str_vector.h"

namespace {

struct HandleCloser {
    void operator()(ConfHandle *h) const { conf_close(h); }
};
using HandlePtr = std::unique_ptr<ConfHandle, HandleCloser>;

std::vector<std::string> take_names(str_vector *v) {
    std::vector<std::string> names;
    if (!v) return names;
    for (uint64_t i = 0; i < v->count; ++i) names.emplace_back(v->items[i]);
    str_vector_destroy(v);
    return names;
}

class IniConf : public testing::Test {
protected:
    HandlePtr open_text(const std::string &bytes, const std::string &name = "t.ini") {
        path_ = dir_.write(name, bytes);
        return HandlePtr(conf_open(path_.c_str()));
    }
    std::string dump(ConfHandle *h) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(conf_dump(h), 0);
        return testing::internal::GetCapturedStdout();
    }
    std::string saved(ConfHandle *h) {
        EXPECT_EQ(conf_save(h), 0);
        return read_file(path_);
    }

    TempDir dir_;
    std::string path_;
};

const char *const kSample =
    "# HUBD settings\n"
    "\n"
    "[debug]\n"
    "shell_server_port = 12581   ; shell\n"
    "http_server_user = \"ad;min\"\n"
    "\n"
    "; web console\n"
    "http_server_port=12580\n"
    "[log]\n"
    "level = dbg\n"
    "file =\n"
    "\n"
    "# end\n";

const char *const kSampleWritten =
    "# HUBD settings\n"
    "\n"
    "[debug]\n"
    "shell_server_port=12581\n"
    "http_server_user=\"ad;min\"\n"
    "\n"
    "; web console\n"
    "http_server_port=12580\n"
    "\n"
    "[log]\n"
    "level=dbg\n"
    "file=\n"
    "\n"
    "# end\n";

}  // namespace

TEST(IniConfProbe, AcceptsIniAndQliInAnyCase) {
    const ConfDriver *drv = ini_conf_driver();
    EXPECT_EQ(drv->conf_probe("hubd.ini"), 0);
    EXPECT_EQ(drv->conf_probe("dir/HUBD.INI"), 0);
    EXPECT_EQ(drv->conf_probe("x.Qli"), 0);
    EXPECT_NE(drv->conf_probe("hubd.conf"), 0);
    EXPECT_NE(drv->conf_probe("hubd.ini.bak"), 0);
    EXPECT_NE(drv->conf_probe("ini"), 0);
}

TEST_F(IniConf, GetReturnsStoredValueOrDefault) {
    HandlePtr h = open_text(kSample);
    ASSERT_TRUE(h);
    const ConfDriver *drv = h->driver;
    EXPECT_STREQ(drv->get(h->ctx, "debug", "http_server_user", "d"), "ad;min");
    EXPECT_STREQ(drv->get(h->ctx, "debug", "missing", "d"), "d");
    EXPECT_STREQ(drv->get(h->ctx, "log", "file", "d"), "");
}

// A section named like a section-and-key pair would shadow that key.
TEST_F(IniConf, SectionNameHoldingTheKeySeparatorDoesNotLoad) {
    EXPECT_FALSE(open_text("[a\tb]\n[a]\nk=1\n"));
}

TEST_F(IniConf, OpenWithCreateMakesAnEmptyFile) {
    std::string path = dir_.file("new.ini");
    void *ctx = ini_conf_driver()->open(path.c_str(), 1);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    ini_conf_driver()->conf_close(ctx);
    EXPECT_EQ(ini_conf_driver()->open(dir_.file("other.ini").c_str(), 0), nullptr);
}

TEST_F(IniConf, OpenWithCreateNeverTruncatesAnUnreadableFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    std::string path = dir_.write("locked.ini", "[a]\nk=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    EXPECT_EQ(ini_conf_driver()->open(path.c_str(), 1), nullptr);
    chmod(path.c_str(), 0600);
    EXPECT_EQ(read_file(path), "[a]\nk=1\n");
}

TEST_F(IniConf, SetAddsSectionThenKey) {
    HandlePtr h = open_text("");
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_set(h.get(), "debug", "shell_server_port", "4000"), 0);
    EXPECT_EQ(conf_get_int(h.get(), "debug:shell_server_port", 0), 4000);
    EXPECT_EQ(take_names(conf_sections(h.get())), (std::vector<std::string>{"debug"}));
    EXPECT_EQ(dump(h.get()), "[debug]\nshell_server_port=4000\n\n");
}

TEST_F(IniConf, SetKeepsSlotAndCommentOfExistingKey) {
    HandlePtr h = open_text("[a]\n# about x\nx=1\ny=2\n");
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_set(h.get(), "a", "x", "9"), 0);
    EXPECT_EQ(dump(h.get()), "[a]\n# about x\nx=9\ny=2\n\n");
}

TEST_F(IniConf, SectionNamesWithATabAreRefused) {
    HandlePtr h = open_text("[a]\nk=1\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_set(h.get(), "a\tJ", "x", "1"), -1);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "a\tJ"), -1);
    EXPECT_EQ(dump(h.get()), "[a]\nk=1\n\n");
}

TEST_F(IniConf, SetWithNullValueStoresEmptyKey) {
    HandlePtr h = open_text("[a]\n");
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_set(h.get(), "a", "k", nullptr), 0);
    EXPECT_STREQ(conf_get_str(h.get(), "a:k", "def"), "");
    EXPECT_EQ(take_names(conf_keys(h.get(), "a")), (std::vector<std::string>{"k"}));
}

TEST_F(IniConf, SectionsAndKeysInSlotOrder) {
    HandlePtr h = open_text("top=0\n[b]\nz=1\ny=2\n[a]\nx=3\n[]\nw=4\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(take_names(conf_sections(h.get())), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(take_names(conf_keys(h.get(), "b")), (std::vector<std::string>{"z", "y"}));
    EXPECT_EQ(take_names(conf_keys(h.get(), "")), (std::vector<std::string>{"top", "w"}));
    EXPECT_TRUE(take_names(conf_keys(h.get(), "none")).empty());
}

TEST_F(IniConf, KeysOfASectionExcludeLongerSectionNames) {
    HandlePtr h = open_text("[log]\nlevel=1\n[logx]\nother=2\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(take_names(conf_keys(h.get(), "log")), (std::vector<std::string>{"level"}));
}

TEST_F(IniConf, DeleteSectionRemovesItsKeys) {
    HandlePtr h = open_text("[a]\nk=1\n[b]\nj=2\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_del_section(h.get(), "a"), 0);
    EXPECT_EQ(conf_del_section(h.get(), "a"), -2);
    EXPECT_STREQ(conf_get_str(h.get(), "a:k", "gone"), "gone");
    EXPECT_EQ(dump(h.get()), "[b]\nj=2\n\n");
}

TEST_F(IniConf, DeleteKeyReportsMissingKey) {
    HandlePtr h = open_text("[a]\nk=1\nj=2\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_del_key(h.get(), "a", "k"), 0);
    EXPECT_EQ(conf_del_key(h.get(), "a", "k"), -1);
    EXPECT_EQ(dump(h.get()), "[a]\nj=2\n\n");
}

TEST_F(IniConf, DeletedSlotIsReusedAndChangesTheWrittenOrder) {
    HandlePtr h = open_text("[a]\nk1=1\nk2=2\nk3=3\n");  // slots a,k1,k2,k3
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_del_key(h.get(), "a", "k3"), 0);  // count 3, slot 3 free
    ASSERT_EQ(conf_del_key(h.get(), "a", "k1"), 0);  // count 2, slots 1 and 3 free
    ASSERT_EQ(conf_set(h.get(), "a", "n1", "x"), 0);  // slot 2 taken -> slot 3
    ASSERT_EQ(conf_set(h.get(), "a", "n2", "y"), 0);  // count 3: slot 3 taken -> slot 4
    ASSERT_EQ(conf_del_key(h.get(), "a", "k2"), 0);  // count 3, slots 1 and 2 free
    ASSERT_EQ(conf_set(h.get(), "a", "n3", "z"), 0);  // slot 3, 4 taken -> slot 5
    EXPECT_EQ(take_names(conf_keys(h.get(), "a")), (std::vector<std::string>{"n1", "n2", "n3"}));
    ASSERT_EQ(conf_del_key(h.get(), "a", "n3"), 0);  // count 3, slots 1, 2 and 5 free
    ASSERT_EQ(conf_set(h.get(), "b", "m", "w"), 0);  // b -> slot 5 (3, 4 taken), m -> slot 6
    EXPECT_EQ(dump(h.get()), "[a]\nn1=x\nn2=y\n\n[b]\nm=w\n\n");
}

TEST_F(IniConf, NewSectionFillsAFreedSlotBeforeOlderSections) {
    HandlePtr h = open_text("[a]\nk=1\n[b]\nj=2\n");  // slots a, a:k, b, b:j
    ASSERT_TRUE(h);
    ASSERT_EQ(conf_del_key(h.get(), "b", "j"), 0);  // count 3, slot 3 free
    ASSERT_EQ(conf_del_section(h.get(), "a"), 0);   // count 1, slots 0,1,3 free
    ASSERT_EQ(conf_set(h.get(), "c", "x", "1"), 0);  // c -> slot 1, c:x -> slot 3
    EXPECT_EQ(take_names(conf_sections(h.get())), (std::vector<std::string>{"c", "b"}));
    EXPECT_EQ(dump(h.get()), "[c]\nx=1\n\n[b]\n\n");
}

TEST_F(IniConf, RenameSectionMovesItsKeys) {
    HandlePtr h = open_text("[a]\nk=1\n[b]\nj=2\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(conf_rename_section(h.get(), "a", "c"), 0);
    EXPECT_STREQ(conf_get_str(h.get(), "c:k", "none"), "1");
    EXPECT_STREQ(conf_get_str(h.get(), "a:k", "none"), "none");
    EXPECT_EQ(dump(h.get()), "[c]\nk=1\n\n[b]\nj=2\n\n");
}

TEST_F(IniConf, RenameSectionToExistingNameFailsAndChangesNothing) {
    HandlePtr h = open_text("[a]\nk=1\n[b]\nj=2\n");
    ASSERT_TRUE(h);
    testing::internal::CaptureStderr();
    EXPECT_EQ(conf_rename_section(h.get(), "a", "b"), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("dictionary_secrename"), std::string::npos) << log;
    EXPECT_NE(log.find("nsec=b exist error\n"), std::string::npos) << log;
    EXPECT_EQ(conf_rename_section(h.get(), "zz", "y"), -2);
    EXPECT_EQ(dump(h.get()), "[a]\nk=1\n\n[b]\nj=2\n\n");
}

TEST_F(IniConf, RenameKeyIsNotImplementedAndChangesNothing) {
    HandlePtr h = open_text("[a]\nk=1\n");
    ASSERT_TRUE(h);
    testing::internal::CaptureStderr();
    EXPECT_EQ(conf_rename_key(h.get(), "a", "k", "j"), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("ini_conf_rename_key"), std::string::npos) << log;
    EXPECT_NE(log.find("noimpl\n"), std::string::npos) << log;
    EXPECT_STREQ(conf_get_str(h.get(), "a:k", "none"), "1");
}

TEST_F(IniConf, DumpWritesCommentsValuesAndTrailer) {
    HandlePtr h = open_text(kSample);
    ASSERT_TRUE(h);
    EXPECT_EQ(dump(h.get()), kSampleWritten);
}

TEST_F(IniConf, DumpWithoutSectionsListsEveryEntry) {
    HandlePtr h = open_text("# gone\na = 1\nb=\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(dump(h.get()), "\ta = 1\n\tb = \n");
}

TEST_F(IniConf, KeysBeforeTheFirstSectionSurviveASave) {
    HandlePtr h = open_text("# top\ntop = 1\n[a]\nk=2\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(saved(h.get()), "\xEF\xBB\xBF# top\ntop=1\n[a]\nk=2\n\n");
    HandlePtr again(conf_open(path_.c_str()));
    ASSERT_TRUE(again);
    EXPECT_STREQ(conf_get_str(again.get(), ":top", "lost"), "1");
}

TEST_F(IniConf, SaveWritesByteOrderMarkThenDump) {
    HandlePtr h = open_text(kSample);
    ASSERT_TRUE(h);
    EXPECT_EQ(saved(h.get()), std::string("\xEF\xBB\xBF") + kSampleWritten);
}

TEST_F(IniConf, SaveThenReloadKeepsEntriesCommentsAndOrder) {
    HandlePtr h = open_text(std::string("\xEF\xBB\xBF") + kSample);
    ASSERT_TRUE(h);
    std::string first_dump = dump(h.get());
    ASSERT_EQ(conf_save(h.get()), 0);
    HandlePtr again(conf_open(path_.c_str()));
    ASSERT_TRUE(again);
    EXPECT_EQ(dump(again.get()), first_dump);
    EXPECT_EQ(take_names(conf_sections(again.get())), (std::vector<std::string>{"debug", "log"}));
    EXPECT_EQ(take_names(conf_keys(again.get(), "debug")),
              (std::vector<std::string>{"shell_server_port", "http_server_user", "http_server_port"}));
    EXPECT_STREQ(conf_get_str(again.get(), "debug:http_server_user", ""), "ad;min");
}

TEST_F(IniConf, SaveAfterChangesReloadsTheChanges) {
    HandlePtr h = open_text(kSample);
    ASSERT_TRUE(h);
    conf_set(h.get(), "debug", "panic_dump_dir", "dumps");
    conf_set(h.get(), "new", "k", "v w");
    conf_del_key(h.get(), "log", "file");
    ASSERT_EQ(conf_save(h.get()), 0);
    HandlePtr again(conf_open(path_.c_str()));
    ASSERT_TRUE(again);
    EXPECT_STREQ(conf_get_str(again.get(), "debug:panic_dump_dir", ""), "dumps");
    EXPECT_STREQ(conf_get_str(again.get(), "new:k", ""), "v w");
    EXPECT_STREQ(conf_get_str(again.get(), "log:file", "absent"), "absent");
}

TEST_F(IniConf, SaveToUnwritablePathFails) {
    HandlePtr h = open_text("[a]\nk=1\n");
    ASSERT_TRUE(h);
    ASSERT_EQ(unlink(path_.c_str()), 0);
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);  // a directory now stands where the file was
    testing::internal::CaptureStderr();
    EXPECT_EQ(conf_save(h.get()), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("fopen [" + path_ + "] err: "), std::string::npos) << log;
}

TEST_F(IniConf, SaveToAFullDeviceFails) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    std::string link = dir_.file("full.ini");
    HandlePtr h = open_text("[a]\nk=1\n", "full.ini");
    ASSERT_TRUE(h);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(conf_save(h.get()), -1);
    testing::internal::GetCapturedStderr();
}

TEST_F(IniConf, ValuesThatWouldChangeOnReloadAreQuoted) {
    HandlePtr h = open_text("[a]\n");
    ASSERT_TRUE(h);
    const std::vector<std::string> values = {" lead", "trail\t", "a#b", "c:\\dir\\", "\"q\"", "'s'",
                                             "it's;", "plain value"};
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(conf_set(h.get(), "a", ("k" + std::to_string(i)).c_str(), values[i].c_str()), 0);
    ASSERT_EQ(conf_set(h.get(), "a", "[k", "]"), 0);
    ASSERT_EQ(conf_set(h.get(), "a", "last", "1"), 0);
    std::string text = saved(h.get());
    EXPECT_NE(text.find("k2=\"a#b\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("k6=\"it's;\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("k7=plain value\n"), std::string::npos) << text;
    HandlePtr again(conf_open(path_.c_str()));
    ASSERT_TRUE(again);
    for (size_t i = 0; i < values.size(); ++i) {
        std::string name = "a:k" + std::to_string(i);
        EXPECT_STREQ(conf_get_str(again.get(), name.c_str(), "lost"), values[i].c_str()) << name;
    }
    EXPECT_STREQ(conf_get_str(again.get(), "a:[k", "lost"), "]");
    EXPECT_STREQ(conf_get_str(again.get(), "a:last", "lost"), "1");
}
