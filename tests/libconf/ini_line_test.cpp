#include "libconf/ini/iniparser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct LineCase {
    const char *line;
    IniLineKind kind;
    const char *name;
    const char *value;
};

void PrintTo(const LineCase &c, std::ostream *os) { *os << '"' << c.line << '"'; }

class IniLineClassify : public testing::TestWithParam<LineCase> {};

TEST_P(IniLineClassify, GivesKindNameAndValue) {
    const LineCase &c = GetParam();
    char name[INI_LINE_MAX + 1];
    char value[INI_LINE_MAX + 1];
    EXPECT_EQ(iniparser_line(c.line, name, value), c.kind);
    if (c.kind == INI_LINE_SECTION || c.kind == INI_LINE_VALUE) {
        EXPECT_STREQ(name, c.name);
    }
    if (c.kind == INI_LINE_VALUE) {
        EXPECT_STREQ(value, c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IniLineClassify,
    testing::Values(
        LineCase{"", INI_LINE_EMPTY, "", ""},
        LineCase{" \t \r", INI_LINE_EMPTY, "", ""},
        LineCase{"# note", INI_LINE_COMMENT, "", ""},
        LineCase{"  ; note", INI_LINE_COMMENT, "", ""},
        LineCase{"[debug]", INI_LINE_SECTION, "debug", ""},
        LineCase{"  [ log files ]  ", INI_LINE_SECTION, "log files", ""},
        LineCase{"[a]b]", INI_LINE_SECTION, "a", ""},
        LineCase{"[]", INI_LINE_SECTION, "", ""},
        LineCase{"[debug", INI_LINE_ERROR, "", ""},
        LineCase{"[a\tJ]", INI_LINE_ERROR, "", ""},
        LineCase{"[\tJ\t]", INI_LINE_SECTION, "J", ""},
        LineCase{"port = 12581", INI_LINE_VALUE, "port", "12581"},
        LineCase{"port=12581", INI_LINE_VALUE, "port", "12581"},
        LineCase{"  my key  =  two words  ", INI_LINE_VALUE, "my key", "two words"},
        LineCase{"k = \"a;b\"", INI_LINE_VALUE, "k", "a;b"},
        LineCase{"k = \" # kept \"", INI_LINE_VALUE, "k", " # kept "},
        LineCase{"k = 'a#b'", INI_LINE_VALUE, "k", "a#b"},
        LineCase{"k = \"quoted\" trailing", INI_LINE_VALUE, "k", "quoted"},
        LineCase{"k = a;b", INI_LINE_VALUE, "k", "a"},
        LineCase{"k = a # comment", INI_LINE_VALUE, "k", "a"},
        LineCase{"k = \"\"", INI_LINE_VALUE, "k", ""},
        LineCase{"k = ''", INI_LINE_VALUE, "k", ""},
        LineCase{"k = \"unclosed", INI_LINE_VALUE, "k", "\"unclosed"},
        LineCase{"k = ;comment", INI_LINE_VALUE, "k", ""},
        LineCase{"k =#comment", INI_LINE_VALUE, "k", ""},
        LineCase{"k =", INI_LINE_VALUE, "k", ""},
        LineCase{"k=a=b", INI_LINE_VALUE, "k", "a=b"},
        LineCase{"k = caf\xc3\xa9", INI_LINE_VALUE, "k", "caf\xc3\xa9"},
        LineCase{"k = a\xc2\xa0", INI_LINE_VALUE, "k", "a\xc2\xa0"},
        LineCase{"no equals sign", INI_LINE_ERROR, "", ""},
        LineCase{"= value", INI_LINE_ERROR, "", ""}));

}  // namespace
