// The check of a whole configuration against the key tables: every finding
// with its line, in the order of the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libconf/conf.h"
#include "libconf/conf_check.h"

namespace {

int check_even(const char *value, char *why, size_t n) {
    int64_t v = 0;
    if (conf_parse_int(value, 0, 100, &v) && v % 2 == 0) return 0;
    return conf_why(why, n, "an even number from 0 to 100");
}

// A host program's own section, beside one of the framework's.
constexpr conf_key_rule HOST_RULES[] = {
    {"host", "pairs", check_even},
    {"host", "name", nullptr},
    {nullptr, nullptr, nullptr},
};
constexpr conf_key_rule NET_RULES[] = {
    {"net", "port", conf_check_port_or_off},
    {"net", "addr", conf_check_addr_list},
    {"net", "on", conf_check_switch},
    {nullptr, nullptr, nullptr},
};

struct Found {
    std::vector<std::string> lines;
};

void collect(bool is_error, const char *line, void *arg) {
    static_cast<Found *>(arg)->lines.push_back(std::string(is_error ? "E " : "W ") + line);
}

TEST(ConfCheck, ReportsEveryFindingWithItsLineInFileOrder) {
    conf_rules_reset();
    ASSERT_EQ(conf_rules_add(HOST_RULES), 0);
    ASSERT_EQ(conf_rules_add(NET_RULES), 0);
    ASSERT_EQ(conf_rules_add(NET_RULES), 0);  // a second time changes nothing
    const std::string text =
        "stray = 1\n"             // 1
        "[net]\n"                 // 2
        "port = 70000\n"          // 3
        "prot = 1\n"              // 4
        "addr = 127.0.0.1;::1\n"  // 5: the comment ate the rest of the list
        "on = 1\n"                // 6
        "[host]\n"                // 7
        "pairs = 3\n"             // 8
        "name = anything at all\n"
        "[nte]\n"                 // 10
        "x = 1\n"
        "[net]\n"
        "port = 0x10\n"           // 13: a repeated key reports its last line
        "addr = \"127.0.0.1, ::1\"\n";
    char err[256];
    ConfHandle *h = conf_open_text("t.ini", text.data(), text.size(), err, sizeof err);
    ASSERT_NE(h, nullptr) << err;
    Found found;
    conf_check_counts counts{};
    conf_check_all(h, "t.ini", &counts, collect, &found);
    conf_close(h);
    const std::vector<std::string> expected = {
        "W t.ini:1: stray stands before any [section] line",
        "W t.ini:4: [net] unknown key prot, did you mean port?",
        "E t.ini:8: [host] pairs = 3: an even number from 0 to 100",
        "W t.ini:10: unknown section [nte], did you mean [net]?",
        "E t.ini:13: [net] port = 0x10: a port is 1 to 65535 (0 switches the server off)",
        "E t.ini:14: [net] addr = 127.0.0.1, ::1: ' ::1' is no IP address; IP addresses separated by ',' such "
        "as 127.0.0.1,::1, or empty for every address",
    };
    EXPECT_EQ(found.lines, expected);
    EXPECT_EQ(counts.errors, 3);
    EXPECT_EQ(counts.unknown, 3);
    conf_rules_reset();
}

TEST(ConfCheck, GluedCommentCutsAnAddressList) {
    conf_rules_reset();
    conf_rules_add(NET_RULES);
    const std::string text = "[net]\naddr = 127.0.0.1;::1\non = 1 ; a comment after a blank is fine\n";
    ConfHandle *h = conf_open_text("g.ini", text.data(), text.size(), nullptr, 0);
    ASSERT_NE(h, nullptr);
    Found found;
    conf_check_all(h, "g.ini", nullptr, collect, &found);
    conf_close(h);
    ASSERT_EQ(found.lines.size(), 1u);
    EXPECT_EQ(found.lines[0], "E g.ini:2: [net] addr = 127.0.0.1: addresses are separated by ',' (';' starts a comment)");
    conf_rules_reset();
}

TEST(ConfCheck, SyntaxErrorsNameFileLineAndText) {
    const std::string text = "[a]\nk = 1\nno equals here\n[b\n";
    char err[512];
    EXPECT_EQ(conf_open_text("s.ini", text.data(), text.size(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "s.ini:3: expected key = value: no equals here\ns.ini:4: expected [section]: [b\n");
}

}  // namespace

namespace {

TEST(ConfCheck, ManyFindingsAreCountedAndSummedUpInOneLine) {
    conf_rules_reset();
    conf_rules_add(NET_RULES);
    std::string text;
    for (int i = 0; i < 150; ++i) text += "[x" + std::to_string(i) + "]\n";
    ConfHandle *h = conf_open_text("m.ini", text.data(), text.size(), nullptr, 0);
    ASSERT_NE(h, nullptr);
    Found found;
    conf_check_counts counts{};
    conf_check_all(h, "m.ini", &counts, collect, &found);
    conf_close(h);
    EXPECT_EQ(counts.unknown, 150);
    ASSERT_EQ(found.lines.size(), CONF_CHECK_SAY_MAX + 1);
    EXPECT_EQ(found.lines.back(), "W m.ini: 50 more findings not shown");
    conf_rules_reset();
}

}  // namespace
