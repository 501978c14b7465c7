#include "libsh/sh_complete.h"

#include <cstring>
#include <string>
#include <vector>

#include "libpal/value/dvar.h"
#include "libpal/value/rvar.h"
#include "libsh/libsh.h"

namespace {

struct completion {
    const char *word;
    size_t word_len;
    void (*visit)(const char *name, void *user);
    void *user;

    void offer(const char *name) const {
        if (name && std::strncmp(name, word, word_len) == 0) visit(name, user);
    }
};

// Words of the command being typed: the text after the last ';', split at blanks.
std::vector<std::string> command_words(const char *line_before) {
    const char *start = std::strrchr(line_before, ';');
    start = start ? start + 1 : line_before;
    std::vector<std::string> words;
    const char *p = start;
    while (*p) {
        while (*p == ' ' || *p == '\t') ++p;
        const char *end = p;
        while (*end && *end != ' ' && *end != '\t') ++end;
        if (end > p) words.emplace_back(p, end);
        p = end;
    }
    return words;
}

}  // namespace

void libsh_complete(const char *line_before, const char *word, void (*visit)(const char *name, void *user),
                    void *user) {
    if (!line_before || !word || !visit) return;
    completion c{word, std::strlen(word), visit, user};
    std::vector<std::string> words = command_words(line_before);
    if (words.empty()) {
        libsh_cmd_foreach([](const shell_cmd *cmd, void *arg) { static_cast<completion *>(arg)->offer(cmd->name); },
                          &c);
        return;
    }
    if (words.size() != 1) return;
    if (words[0] == "show") {
        for (uint64_t i = 0; i < var_mgr_count(rvar_mgr); ++i)
            if (auto *var = static_cast<rvar *>(var_mgr_at(rvar_mgr, i))) c.offer(var->name);
    } else if (words[0] == "set") {
        for (uint64_t i = 0; i < var_mgr_count(dvar_mgr); ++i)
            if (auto *var = static_cast<dvar *>(var_mgr_at(dvar_mgr, i))) c.offer(var->name);
    }
}
