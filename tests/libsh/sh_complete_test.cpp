#include <string>
#include <vector>

#include "libsh/sh_complete.h"
#include "sh_fixture.h"

namespace {

using names = std::vector<std::string>;

names complete(const char *before, const char *word) {
    names found;
    libsh_complete(before, word, [](const char *name, void *user) { static_cast<names *>(user)->push_back(name); },
                   &found);
    return found;
}

TEST_F(ShellTest, CompletionByPlaceInTheCommand) {
    const struct {
        const char *before;
        const char *word;
        names expected;
    } rows[] = {
        {"", "sh", {"show"}},
        {"", "s", {"show", "set", "source"}},
        {"  ", "ex", {"exit"}},
        {"echo a; ", "qu", {"quit"}},
        {"show ", "m", {"memory"}},
        {"show ", "", {"info", "memory", "llog", "dvar"}},
        {"  show\t", "l", {"llog"}},
        {"set ", "log.", {"log.level", "log.dbgview"}},
        {"show info ", "", {}},
        {"echo ", "s", {}},
        {"", "nosuch", {}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(complete(row.before, row.word), row.expected) << "[" << row.before << "][" << row.word << "]";
}

}  // namespace
