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

// Each file loads, and each key has its value (null: no such key; PRESENT:
// there, whatever its value).
TEST_F(IniLoad, ValuesOfEachKey) {
    static const char PRESENT[] = "";
    const std::string v1021(1021, 'v');
    const std::string joined = std::string(998, 'v') + std::string(23, 'w');
    const struct {
        std::string bytes;
        std::vector<std::pair<const char *, const char *>> keys;
    } rows[] = {
        // Keys before any section have an empty section part.
        {"top = 1\n[s]\nk = 2\n", {{"\ttop", "1"}, {"s\tk", "2"}}},
        // Section names are case-sensitive.
        {"[Debug]\nport=1\n[debug]\nport=2\n", {{"Debug\tport", "1"}, {"debug\tport", "2"}, {"debug\tPort", nullptr}}},
        // A byte order mark is skipped; short files without one load.
        {"\xEF\xBB\xBF[a]\nk=v\n", {{"a\tk", "v"}, {"a", PRESENT}}},
        {"k=", {{"\tk", ""}}},
        {"\n", {}},
        {"", {}},
        // Carriage return line ends are line ends.
        {"[a]\r\nk = v\r\n\r\nj = w", {{"a\tk", "v"}, {"a\tj", "w"}}},
        // A line of 1023 bytes loads, with either line end.
        {"[a]\nk=" + v1021 + "\n", {{"a\tk", v1021.c_str()}}},
        {"[a]\r\nk=" + v1021 + "\r\nj=1\r\n", {{"a\tj", "1"}}},
        // A backslash joins the next line, across several; on the last line it ends the value.
        {"[a]\nk = one\\\ntwo\nj = 2\n", {{"a\tk", "onetwo"}, {"a\tj", "2"}}},
        {"[a]\nk = 1\\  \n2\\\r\n3\n", {{"a\tk", "123"}}},
        {"[a]\nk = v\\", {{"a\tk", "v"}}},
        // A join that fills the line buffer exactly: the backslash at byte 1000.
        {"[a]\nk=" + std::string(998, 'v') + "\\\n" + std::string(23, 'w') + "\n",
         {{"a\tk", joined.c_str()}}},
    };
    for (const auto &row : rows) {
        DictPtr d = load(row.bytes);
        ASSERT_TRUE(d) << row.bytes.substr(0, 40);
        for (const auto &[key, value] : row.keys) {
            if (!value) {
                EXPECT_EQ(get(d, key), nullptr) << key;
            } else if (value == PRESENT) {
                EXPECT_GE(dictionary_find(d.get(), key), 0) << key;
            } else {
                EXPECT_STREQ(get(d, key), value) << key;
            }
        }
    }
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

// Each file fails to load as a whole, with every fault said with its line.
TEST_F(IniLoad, BrokenFilesFailWholeAndSayWhere) {
    const std::string path = dir_.file("t.ini");
    const struct {
        std::string bytes;
        std::vector<std::string> said;
    } rows[] = {
        {"[a]\nok=1\nk=" + std::string(1022, 'v') + "\nj=2\n", {path + ":3: line too long (at most 1023 bytes)\n"}},
        {"[a]\nk=" + std::string(4000, 'v'), {}},
        // 1000 bytes, a backslash, then 100 more: the joined line cannot fit in 1024.
        {"[a]\nk=" + std::string(998, 'v') + "\\\n" + std::string(100, 'w') + "\n", {":3: line too long"}},
        {"[a]\nk=1\njunk here\n", {path + ":3: expected key = value: junk here\n"}},
        {"bad one\n[a]\n=x\nk=1\n[unclosed\n",
         {":1: expected key = value: bad one\n", ":3: expected key = value: =x\n",
          ":5: expected [section]: [unclosed\n"}},
        {"[a]\n[a\tJ]\nk=1\n", {":2: expected [section]: [a\tJ]\n"}},
        // A single character on the last line is not ignored.
        {"[a]\nk=1\nx", {}},
        {std::string("[a]\nk=v\0w\nj=2\n", 14), {":2: a NUL byte in the line\n"}},
        // A NUL byte does not hide an overlong line.
        {"[a]\nk=v" + std::string(1, '\0') + std::string(1100, 'x') + "\n", {":2: line too long"}},
        {std::string("\0\n[a]\n", 6), {}},
    };
    for (const auto &row : rows) {
        DictPtr d;
        std::string log = load_log(row.bytes, &d);
        EXPECT_FALSE(d) << row.bytes.substr(0, 40);
        for (const std::string &said : row.said) EXPECT_NE(log.find(said), std::string::npos) << log;
    }
}

TEST_F(IniLoad, SingleCharacterCommentOnTheLastLineIsTheTrailer) {
    DictPtr c = load("[a]\nk=1\n#");
    ASSERT_TRUE(c);
    EXPECT_STREQ(c->trailer, "#\n");
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
