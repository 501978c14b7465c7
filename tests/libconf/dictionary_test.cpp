#include "libconf/ini/dictionary.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct DictDeleter {
    void operator()(IniDict *d) const { dictionary_del(d); }
};
using DictPtr = std::unique_ptr<IniDict, DictDeleter>;

DictPtr new_dict() { return DictPtr(dictionary_new(0)); }

std::vector<std::string> keys_in_slot_order(const IniDict *d) {
    std::vector<std::string> keys;
    for (int32_t i = 0; i < d->size; ++i)
        if (d->keys[i]) keys.emplace_back(d->keys[i]);
    return keys;
}

}  // namespace

TEST(DictionaryHash, MatchesOneAtATimeReferenceValues) {
    EXPECT_EQ(dictionary_hash(""), 0u);
    EXPECT_EQ(dictionary_hash("a"), 0xca2e9442u);
    EXPECT_EQ(dictionary_hash("debug\tshell_server_port"), 0x81f34467u);
}

TEST(DictionaryHash, HighBytesAreSignExtended) {
    // U+00E9 in UTF-8; an unsigned widening would give a different value.
    EXPECT_EQ(dictionary_hash("\xc3\xa9"), 0x019148aeu);
}

TEST(DictionaryNew, StartsWith128FreeSlots) {
    DictPtr d = new_dict();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 128);
    EXPECT_EQ(d->count, 0);
    EXPECT_EQ(d->trailer, nullptr);
}

TEST(DictionarySet, StoresCopiesAndFindsThem) {
    DictPtr d = new_dict();
    std::string value = "12581";
    ASSERT_EQ(dictionary_set(d.get(), "debug\tport", value.c_str(), nullptr), 0);
    value[0] = 'X';
    EXPECT_STREQ(dictionary_get(d.get(), "debug\tport", "def"), "12581");
    EXPECT_STREQ(dictionary_get(d.get(), "debug\tPort", "def"), "def");
    EXPECT_EQ(d->count, 1);
}

TEST(DictionarySet, SectionEntryHasNoValue) {
    DictPtr d = new_dict();
    ASSERT_EQ(dictionary_set(d.get(), "debug", nullptr, nullptr), 0);
    EXPECT_GE(dictionary_find(d.get(), "debug"), 0);
    EXPECT_EQ(dictionary_get(d.get(), "debug", "def"), nullptr);
}

TEST(DictionarySet, ExistingKeyKeepsSlotAndComment) {
    DictPtr d = new_dict();
    ASSERT_EQ(dictionary_set(d.get(), "a", "1", "# first\n"), 0);
    ASSERT_EQ(dictionary_set(d.get(), "b", "2", nullptr), 0);
    ASSERT_EQ(dictionary_set(d.get(), "a", "3", "# ignored\n"), 0);
    int32_t slot = dictionary_find(d.get(), "a");
    EXPECT_EQ(slot, 0);
    EXPECT_STREQ(d->values[slot], "3");
    EXPECT_STREQ(d->comments[slot], "# first\n");
    EXPECT_EQ(d->count, 2);
}

TEST(DictionarySet, EmptyCommentIsStoredAsNone) {
    DictPtr d = new_dict();
    ASSERT_EQ(dictionary_set(d.get(), "a", "1", ""), 0);
    EXPECT_EQ(d->comments[0], nullptr);
}

TEST(DictionarySet, DoublesWhenFullAndKeepsEveryEntry) {
    DictPtr d = new_dict();
    for (int i = 0; i < 300; ++i) {
        std::string key = "k" + std::to_string(i);
        ASSERT_EQ(dictionary_set(d.get(), key.c_str(), key.c_str(), nullptr), 0);
    }
    EXPECT_EQ(d->size, 512);
    EXPECT_EQ(d->count, 300);
    for (int i = 0; i < 300; ++i) {
        std::string key = "k" + std::to_string(i);
        EXPECT_STREQ(dictionary_get(d.get(), key.c_str(), nullptr), key.c_str());
    }
    EXPECT_EQ(keys_in_slot_order(d.get()).back(), "k299");
}

TEST(DictionarySet, FreedSlotBelowCountIsSkippedUntilSlotsAboveAreTaken) {
    DictPtr d = new_dict();
    for (const char *k : {"a", "b", "c", "d", "e"}) dictionary_set(d.get(), k, "v", nullptr);
    ASSERT_EQ(dictionary_unset(d.get(), "b"), 0);  // slot 1 free, count 4
    ASSERT_EQ(dictionary_set(d.get(), "f", "v", nullptr), 0);  // slot 4 used -> slot 5
    EXPECT_EQ(dictionary_find(d.get(), "f"), 5);
    EXPECT_EQ(keys_in_slot_order(d.get()), (std::vector<std::string>{"a", "c", "d", "e", "f"}));
}

TEST(DictionarySet, FreedSlotAtCountIsReusedFirst) {
    DictPtr d = new_dict();
    for (const char *k : {"a", "b", "c", "d", "e"}) dictionary_set(d.get(), k, "v", nullptr);
    dictionary_unset(d.get(), "d");
    dictionary_unset(d.get(), "e");  // count 3, slots 3 and 4 free
    ASSERT_EQ(dictionary_set(d.get(), "x", "v", nullptr), 0);
    EXPECT_EQ(dictionary_find(d.get(), "x"), 3);
}

TEST(DictionarySet, WrapsToSlotZeroWhenTheTailIsTaken) {
    DictPtr d = new_dict();
    for (int i = 0; i < 128; ++i) dictionary_set(d.get(), ("k" + std::to_string(i)).c_str(), "v", nullptr);
    ASSERT_EQ(dictionary_unset(d.get(), "k0"), 0);  // count 127, slots 127.. taken
    ASSERT_EQ(dictionary_set(d.get(), "new", "v", nullptr), 0);
    EXPECT_EQ(dictionary_find(d.get(), "new"), 0);
    EXPECT_EQ(d->size, 128);
}

TEST(DictionaryKeys, LongKeysAreCutTo1024Bytes) {
    DictPtr d = new_dict();
    std::string key(1500, 'k');
    ASSERT_EQ(dictionary_set(d.get(), key.c_str(), "v", nullptr), 0);
    EXPECT_EQ(std::string(d->keys[0]).size(), DICT_KEY_MAX);
    EXPECT_STREQ(dictionary_get(d.get(), key.c_str(), nullptr), "v");
    EXPECT_STREQ(dictionary_get(d.get(), std::string(1024, 'k').c_str(), nullptr), "v");
    EXPECT_EQ(dictionary_get(d.get(), std::string(1023, 'k').c_str(), nullptr), nullptr);
}

TEST(DictionaryUnset, MissingKeyGivesMinusOne) {
    DictPtr d = new_dict();
    EXPECT_EQ(dictionary_unset(d.get(), "nothing"), -1);
}

TEST(DictionaryDelSection, RemovesSectionAndItsKeysOnly) {
    DictPtr d = new_dict();
    dictionary_set(d.get(), "log", nullptr, nullptr);
    dictionary_set(d.get(), "log\tlevel", "7", nullptr);
    dictionary_set(d.get(), "logx", nullptr, nullptr);
    dictionary_set(d.get(), "logx\tlevel", "3", nullptr);
    EXPECT_EQ(dictionary_del_section(d.get(), "log"), 0);
    EXPECT_EQ(keys_in_slot_order(d.get()), (std::vector<std::string>{"logx", "logx\tlevel"}));
    EXPECT_EQ(d->count, 2);
    EXPECT_EQ(dictionary_del_section(d.get(), "log"), -2);
}

TEST(DictionarySecrename, RenamesSectionAndKeysInPlace) {
    DictPtr d = new_dict();
    dictionary_set(d.get(), "old", nullptr, "# c\n");
    dictionary_set(d.get(), "old\ta", "1", nullptr);
    dictionary_set(d.get(), "other", nullptr, nullptr);
    dictionary_set(d.get(), "old\tb", "2", nullptr);
    ASSERT_EQ(dictionary_secrename(d.get(), "old", "fresh"), 0);
    EXPECT_EQ(keys_in_slot_order(d.get()),
              (std::vector<std::string>{"fresh", "fresh\ta", "other", "fresh\tb"}));
    EXPECT_STREQ(dictionary_get(d.get(), "fresh\tb", nullptr), "2");
    EXPECT_STREQ(d->comments[0], "# c\n");
    EXPECT_EQ(dictionary_find(d.get(), "old\ta"), -1);
}

TEST(DictionarySecrename, ExistingNewNameFailsAndChangesNothing) {
    DictPtr d = new_dict();
    dictionary_set(d.get(), "a", nullptr, nullptr);
    dictionary_set(d.get(), "a\tk", "1", nullptr);
    dictionary_set(d.get(), "b", nullptr, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dictionary_secrename(d.get(), "a", "b"), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("nsec=b exist error\n"), std::string::npos) << log;
    EXPECT_EQ(keys_in_slot_order(d.get()), (std::vector<std::string>{"a", "a\tk", "b"}));
}

TEST(DictionarySecrename, UnknownOldNameGivesMinusTwo) {
    DictPtr d = new_dict();
    dictionary_set(d.get(), "a", nullptr, nullptr);
    EXPECT_EQ(dictionary_secrename(d.get(), "zz", "b"), -2);
}

TEST(DictionarySecrename, PrefixOfAnotherSectionIsNotRenamed) {
    DictPtr d = new_dict();
    dictionary_set(d.get(), "ab", nullptr, nullptr);
    dictionary_set(d.get(), "ab\tk", "1", nullptr);
    EXPECT_EQ(dictionary_secrename(d.get(), "a", "z"), -2);
    EXPECT_GE(dictionary_find(d.get(), "ab\tk"), 0);
}
