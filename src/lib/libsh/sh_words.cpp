#include "libsh/sh_words.h"

#include <cstring>

#include "libpal/env/malloc.h"

namespace {

// Runs the rules once. With argv/chars null it only counts words and
// characters (terminators included), so the second run fills an exact block.
class word_splitter {
public:
    word_splitter(char **argv, char *chars) : argv_(argv), chars_(chars) {}

    void run(const char *p) {
        p = first_word(p);
        for (;;) {
            while (*p == ' ' || *p == '\t') ++p;
            if (!*p) break;
            p = next_word(p);
        }
    }

    int words() const { return words_; }
    size_t chars() const { return used_; }

private:
    void begin() {
        if (argv_) argv_[words_] = chars_ + used_;
        ++words_;
    }
    void emit(char c) {
        if (chars_) chars_[used_] = c;
        ++used_;
    }
    void emit_run(char c, size_t n) {
        for (size_t i = 0; i < n; ++i) emit(c);
    }

    // Backslashes are plain characters in the command name.
    const char *first_word(const char *p) {
        begin();
        bool quoted = false;
        for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
            if (*p == '"')
                quoted = !quoted;
            else
                emit(*p);
        }
        emit('\0');
        return p;
    }

    const char *next_word(const char *p) {
        begin();
        bool quoted = false;
        while (*p) {
            if (!quoted && (*p == ' ' || *p == '\t')) break;
            if (*p == '\\') {
                size_t slashes = 0;
                while (*p == '\\') {
                    ++slashes;
                    ++p;
                }
                if (*p != '"') {
                    emit_run('\\', slashes);
                    continue;
                }
                emit_run('\\', slashes / 2);
                if (slashes % 2) {
                    emit('"');
                    ++p;
                }
                // An even run leaves the quote to toggle quoting below.
                continue;
            }
            if (*p == '"') {
                if (quoted && p[1] == '"') {
                    emit('"');
                    p += 2;
                    continue;
                }
                quoted = !quoted;
                ++p;
                continue;
            }
            emit(*p++);
        }
        emit('\0');
        return p;
    }

    char **argv_;
    char *chars_;
    int words_ = 0;
    size_t used_ = 0;
};

}  // namespace

char **libsh_split_words(const char *command, int *argc) {
    if (!command) command = "";
    word_splitter counter(nullptr, nullptr);
    counter.run(command);
    size_t pointers = (static_cast<size_t>(counter.words()) + 1) * sizeof(char *);
    auto *block = static_cast<char **>(mem_malloc(pointers + counter.chars()));
    if (!block) return nullptr;
    char *chars = reinterpret_cast<char *>(block) + pointers;
    word_splitter filler(block, chars);
    filler.run(command);
    block[filler.words()] = nullptr;
    if (argc) *argc = filler.words();
    return block;
}
