#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "libconf/ini/dictionary.h"
#include "libconf/ini/iniparser.h"
#include "libconf/ini_file_util.h"

namespace {

struct DictDeleter {
    void operator()(IniDict *d) const { dictionary_del(d); }
};
using DictPtr = std::unique_ptr<IniDict, DictDeleter>;

class IniLoad : public testing::Test {
protected:
    DictPtr load(const std::string &bytes) {
        return DictPtr(iniparser_load(dir_.write("t.ini", bytes).c_str()));
    }
    // Loads and returns what the load wrote to standard error (log and messages).
    std::string load_log(const std::string &bytes, DictPtr *out) {
        std::string path = dir_.write("t.ini", bytes);
        testing::internal::CaptureStderr();
        out->reset(iniparser_load(path.c_str()));
        return testing::internal::GetCapturedStderr();
    }
    const char *get(const DictPtr &d, const char *key) { return dictionary_get(d.get(), key, nullptr); }

    TempDir dir_;
};

std::vector<std::string> slot_keys(const IniDict *d) {
    std::vector<std::string> keys;
    for (int32_t i = 0; i < d->size; ++i)
        if (d->keys[i]) keys.emplace_back(d->keys[i]);
    return keys;
}

}  // namespace

TEST_F(IniLoad, StoresSectionsAndKeysInFileOrder) {
    DictPtr d = load("[debug]\nshell_server_port = 12581\nhttp_server_port=12580\n[log]\nlevel = dbg\n");
    ASSERT_TRUE(d);
    EXPECT_EQ(slot_keys(d.get()),
              (std::vector<std::string>{"debug", "debug\tshell_server_port", "debug\thttp_server_port",
                                        "log", "log\tlevel"}));
    EXPECT_STREQ(get(d, "debug\tshell_server_port"), "12581");
    EXPECT_STREQ(get(d, "log\tlevel"), "dbg");
}

TEST_F(IniLoad, KeysBeforeAnySectionHaveEmptySectionPart) {
    DictPtr d = load("top = 1\n[s]\nk = 2\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "\ttop"), "1");
    EXPECT_STREQ(get(d, "s\tk"), "2");
}

TEST_F(IniLoad, SectionNamesAreCaseSensitive) {
    DictPtr d = load("[Debug]\nport=1\n[debug]\nport=2\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "Debug\tport"), "1");
    EXPECT_STREQ(get(d, "debug\tport"), "2");
    EXPECT_EQ(get(d, "debug\tPort"), nullptr);
}

TEST_F(IniLoad, ByteOrderMarkIsSkipped) {
    DictPtr with = load("\xEF\xBB\xBF[a]\nk=v\n");
    ASSERT_TRUE(with);
    EXPECT_STREQ(get(with, "a\tk"), "v");
    EXPECT_GE(dictionary_find(with.get(), "a"), 0);
}

TEST_F(IniLoad, ShortFilesWithoutByteOrderMarkLoad) {
    DictPtr d = load("k=");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "\tk"), "");
    EXPECT_TRUE(load("\n"));
    EXPECT_TRUE(load(""));
}

TEST_F(IniLoad, CommentsAndBlankLinesAttachToTheNextEntry) {
    DictPtr d = load("# head\n\n[a]\n  ; about k\nk = 1\n\n# tail\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(d->comments[dictionary_find(d.get(), "a")], "# head\n\n");
    EXPECT_STREQ(d->comments[dictionary_find(d.get(), "a\tk")], "; about k\n");
    EXPECT_STREQ(d->trailer, "\n# tail\n");
}

TEST_F(IniLoad, RepeatedKeyKeepsFirstSlotAndTakesLastValue) {
    DictPtr d = load("[a]\nk=1\nj=2\n# dropped\nk=3\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "a\tk"), "3");
    EXPECT_EQ(dictionary_find(d.get(), "a\tk"), 1);
    EXPECT_EQ(d->comments[1], nullptr);
    EXPECT_EQ(d->trailer, nullptr);
}

TEST_F(IniLoad, CarriageReturnLineEndsAreLineEnds) {
    DictPtr d = load("[a]\r\nk = v\r\n\r\nj = w");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "a\tk"), "v");
    EXPECT_STREQ(get(d, "a\tj"), "w");
    EXPECT_STREQ(d->comments[dictionary_find(d.get(), "a\tj")], "\n");
}

TEST_F(IniLoad, Line1023BytesLongLoads) {
    std::string key = "k=" + std::string(1021, 'v');
    DictPtr d = load("[a]\n" + key + "\n");
    ASSERT_TRUE(d);
    EXPECT_EQ(std::string(get(d, "a\tk")).size(), 1021u);
}

TEST_F(IniLoad, Line1023BytesWithCarriageReturnLineEndLoads) {
    DictPtr d = load("[a]\r\nk=" + std::string(1021, 'v') + "\r\nj=1\r\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "a\tj"), "1");
}

TEST_F(IniLoad, Line1024BytesLongFailsWholeLoad) {
    DictPtr d;
    std::string log = load_log("[a]\nok=1\nk=" + std::string(1022, 'v') + "\nj=2\n", &d);
    EXPECT_FALSE(d);
    EXPECT_NE(log.find(dir_.file("t.ini") + ":3: line too long (at most 1023 bytes)\n"), std::string::npos)
        << log;
}

TEST_F(IniLoad, OverlongLastLineWithoutLineEndFails) {
    DictPtr d;
    load_log("[a]\nk=" + std::string(4000, 'v'), &d);
    EXPECT_FALSE(d);
}

TEST_F(IniLoad, BackslashJoinsTheNextLine) {
    DictPtr d = load("[a]\nk = one\\\ntwo\nj = 2\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "a\tk"), "onetwo");
    EXPECT_STREQ(get(d, "a\tj"), "2");
}

TEST_F(IniLoad, BackslashChainsAcrossSeveralLines) {
    DictPtr d = load("[a]\nk = 1\\  \n2\\\r\n3\n");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "a\tk"), "123");
}

TEST_F(IniLoad, BackslashOnTheLastLineEndsTheValue) {
    DictPtr d = load("[a]\nk = v\\");
    ASSERT_TRUE(d);
    EXPECT_STREQ(get(d, "a\tk"), "v");
}

TEST_F(IniLoad, JoinThatOverflowsTheLineBufferFails) {
    // 1000 bytes, a backslash, then 100 more: the joined line cannot fit in 1024.
    DictPtr d;
    std::string log = load_log("[a]\nk=" + std::string(998, 'v') + "\\\n" + std::string(100, 'w') + "\n", &d);
    EXPECT_FALSE(d);
    EXPECT_NE(log.find(":3: line too long"), std::string::npos) << log;
}

TEST_F(IniLoad, JoinThatFillsTheLineBufferExactlyLoads) {
    std::string first = "k=" + std::string(998, 'v');  // 1000 bytes, the backslash at 1000
    DictPtr d = load("[a]\n" + first + "\\\n" + std::string(23, 'w') + "\n");
    ASSERT_TRUE(d);
    EXPECT_EQ(std::string(get(d, "a\tk")).size(), 998u + 23u);
}

TEST_F(IniLoad, LineWithoutEqualsSignFailsAndIsReported) {
    DictPtr d;
    std::string log = load_log("[a]\nk=1\njunk here\n", &d);
    EXPECT_FALSE(d);
    EXPECT_NE(log.find(dir_.file("t.ini") + ":3: expected key = value: junk here\n"), std::string::npos)
        << log;
}

TEST_F(IniLoad, EverySyntaxErrorIsReported) {
    DictPtr d;
    std::string log = load_log("bad one\n[a]\n=x\nk=1\n[unclosed\n", &d);
    EXPECT_FALSE(d);
    EXPECT_NE(log.find(":1: expected key = value: bad one\n"), std::string::npos) << log;
    EXPECT_NE(log.find(":3: expected key = value: =x\n"), std::string::npos) << log;
    EXPECT_NE(log.find(":5: expected [section]: [unclosed\n"), std::string::npos) << log;
}

TEST_F(IniLoad, SectionNameWithATabIsASyntaxError) {
    DictPtr d;
    std::string log = load_log("[a]\n[a\tJ]\nk=1\n", &d);
    EXPECT_FALSE(d);
    EXPECT_NE(log.find(":2: expected [section]: [a\tJ]\n"), std::string::npos) << log;
}

TEST_F(IniLoad, SingleCharacterLastLineIsNotIgnored) {
    DictPtr d;
    load_log("[a]\nk=1\nx", &d);
    EXPECT_FALSE(d);
    DictPtr c = load("[a]\nk=1\n#");
    ASSERT_TRUE(c);
    EXPECT_STREQ(c->trailer, "#\n");
}

TEST_F(IniLoad, NulByteInsideALineIsASyntaxError) {
    DictPtr d;
    std::string log = load_log(std::string("[a]\nk=v\0w\nj=2\n", 14), &d);
    EXPECT_FALSE(d);
    EXPECT_NE(log.find(":2: a NUL byte in the line\n"), std::string::npos) << log;
}

TEST_F(IniLoad, NulByteDoesNotHideAnOverlongLine) {
    DictPtr d;
    std::string line = "k=v" + std::string(1, '\0') + std::string(1100, 'x');
    std::string log = load_log("[a]\n" + line + "\n", &d);
    EXPECT_FALSE(d);
    EXPECT_NE(log.find(":2: line too long"), std::string::npos) << log;
}

TEST_F(IniLoad, LeadingNulByteLineFails) {
    DictPtr d;
    load_log(std::string("\0\n[a]\n", 6), &d);
    EXPECT_FALSE(d);
}

TEST_F(IniLoad, MissingFileFailsWithMessage) {
    testing::internal::CaptureStderr();
    IniDict *d = iniparser_load(dir_.file("none.ini").c_str());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(d, nullptr);
    EXPECT_NE(log.find("iniparser: cannot open " + dir_.file("none.ini") + "\n"), std::string::npos);
}

TEST_F(IniLoad, DirectoryIsRefused) {
    ASSERT_EQ(::mkdir(dir_.file("d.ini").c_str(), 0755), 0);
    testing::internal::CaptureStderr();
    IniDict *d = iniparser_load(dir_.file("d.ini").c_str());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(d, nullptr);
    EXPECT_NE(log.find("iniparser: cannot open"), std::string::npos);
}

TEST_F(IniLoad, FifoIsRefusedWithoutWaitingForAWriter) {
    ASSERT_EQ(::mkfifo(dir_.file("p.ini").c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    IniDict *d = iniparser_load(dir_.file("p.ini").c_str());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(d, nullptr);
}
