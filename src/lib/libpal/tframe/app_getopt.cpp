#include "libpal/tframe/app_getopt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
thread_local app_getopt_state g_state{1, '?', nullptr, 1, 0};

bool is_option_word(const char *arg) { return arg[0] == '-' && arg[1] != 0; }
}  // namespace

app_getopt_state *app_getopt_ctx() { return &g_state; }

void app_getopt_reset() { g_state = app_getopt_state{1, '?', nullptr, 1, 0}; }

int app_getopt(int argc, char *const *argv, const char *optstring) {
    app_getopt_state &s = g_state;
    s.optarg = nullptr;
    if (s.next_char == 0) {
        // Operands are ignored; GNU rules look past them unless POSIXLY_CORRECT.
        bool posix = std::getenv("POSIXLY_CORRECT") != nullptr;
        while (s.optind < argc && !is_option_word(argv[s.optind])) {
            if (posix) return -1;
            ++s.optind;
        }
        if (s.optind >= argc) return -1;
        if (std::strcmp(argv[s.optind], "--") == 0) {
            ++s.optind;
            return -1;
        }
        s.next_char = 1;
    }
    const char *word = argv[s.optind];
    char c = word[s.next_char++];
    bool word_done = word[s.next_char] == 0;
    const char *opt_entry = (c != ':') ? std::strchr(optstring, c) : nullptr;
    s.optopt = static_cast<unsigned char>(c);
    if (!opt_entry) {
        if (s.opterr) {
            const char *fmt = std::getenv("POSIXLY_CORRECT") ? "%s: illegal option -- %c\n"
                                                              : "%s: invalid option -- %c\n";
            std::fprintf(stderr, fmt, argv[0], c);
        }
        if (word_done) {
            ++s.optind;
            s.next_char = 0;
        }
        return '?';
    }
    if (opt_entry[1] != ':') {
        if (word_done) {
            ++s.optind;
            s.next_char = 0;
        }
        return c;
    }
    // The argument is the rest of this word, or the next word.
    if (!word_done) {
        s.optarg = const_cast<char *>(word + s.next_char);
        ++s.optind;
    } else if (s.optind + 1 < argc) {
        s.optarg = argv[s.optind + 1];
        s.optind += 2;
    } else {
        ++s.optind;
        s.next_char = 0;
        if (s.opterr) std::fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
        return '?';
    }
    s.next_char = 0;
    return c;
}
