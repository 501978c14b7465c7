#include "libsh/shell_getopt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

enum { REQUIRE_ORDER, PERMUTE, RETURN_IN_ORDER };

bool is_nonoption(char **argv, int i) { return argv[i][0] != '-' || argv[i][1] == '\0'; }

// Moves the block of non-options [first_nonopt, last_nonopt) behind the
// options scanned since [last_nonopt, optind).
void exchange(shell_getopt_state *st, char **argv) {
    int bottom = st->first_nonopt;
    int middle = st->last_nonopt;
    int top = st->optind;
    while (top > middle && middle > bottom) {
        if (top - middle > middle - bottom) {
            int len = middle - bottom;
            for (int i = 0; i < len; ++i) std::swap(argv[bottom + i], argv[top - len + i]);
            top -= len;
        } else {
            int len = top - middle;
            for (int i = 0; i < len; ++i) std::swap(argv[bottom + i], argv[middle + i]);
            bottom += len;
        }
    }
    st->first_nonopt += st->optind - st->last_nonopt;
    st->last_nonopt = st->optind;
}

const char *initialize(shell_getopt_state *st, const char *optstring) {
    if (st->optind == 0) st->optind = 1;
    st->first_nonopt = st->last_nonopt = st->optind;
    st->nextchar = nullptr;
    st->posixly_correct = std::getenv("POSIXLY_CORRECT") != nullptr;
    if (optstring[0] == '-') {
        st->ordering = RETURN_IN_ORDER;
        ++optstring;
    } else if (optstring[0] == '+') {
        st->ordering = REQUIRE_ORDER;
        ++optstring;
    } else {
        st->ordering = st->posixly_correct ? REQUIRE_ORDER : PERMUTE;
    }
    st->initialized = 1;
    return optstring;
}

// Steps to the next argument that holds options; -1 when there is none, 1
// for a non-option returned in order, 0 when nextchar points at option letters.
int advance(shell_getopt_state *st, int argc, char **argv) {
    if (st->last_nonopt > st->optind) st->last_nonopt = st->optind;
    if (st->first_nonopt > st->optind) st->first_nonopt = st->optind;
    if (st->ordering == PERMUTE) {
        if (st->first_nonopt != st->last_nonopt && st->last_nonopt != st->optind)
            exchange(st, argv);
        else if (st->last_nonopt != st->optind)
            st->first_nonopt = st->optind;
        while (st->optind < argc && is_nonoption(argv, st->optind)) ++st->optind;
        st->last_nonopt = st->optind;
    }
    if (st->optind != argc && std::strcmp(argv[st->optind], "--") == 0) {
        ++st->optind;
        if (st->first_nonopt != st->last_nonopt && st->last_nonopt != st->optind)
            exchange(st, argv);
        else if (st->first_nonopt == st->last_nonopt)
            st->first_nonopt = st->optind;
        st->last_nonopt = argc;
        st->optind = argc;
    }
    if (st->optind == argc) {
        // Leave optind at the first of the permuted non-options.
        if (st->first_nonopt != st->last_nonopt) st->optind = st->first_nonopt;
        return -1;
    }
    if (is_nonoption(argv, st->optind)) {
        if (st->ordering == REQUIRE_ORDER) return -1;
        st->optarg = argv[st->optind++];
        return 1;
    }
    st->nextchar = argv[st->optind] + 1;
    return 0;
}

}  // namespace

void shell_getopt_reset(shell_getopt_state *st) {
    *st = shell_getopt_state{};
    st->optind = 1;
    st->opterr = 1;
    st->optopt = '?';
}

int shell_getopt(shell_getopt_state *st, int argc, char **argv, const char *optstring) {
    if (argc < 1 || !argv || !optstring) return -1;
    st->optarg = nullptr;
    if (st->optind == 0 || !st->initialized)
        optstring = initialize(st, optstring);
    else if (optstring[0] == '-' || optstring[0] == '+')
        ++optstring;
    bool print_errors = st->opterr != 0 && optstring[0] != ':';

    if (st->nextchar == nullptr || *st->nextchar == '\0') {
        int step = advance(st, argc, argv);
        if (step != 0) return step;
    }

    char c = *st->nextchar++;
    const char *opt_entry = std::strchr(optstring, c);
    if (*st->nextchar == '\0') ++st->optind;
    if (opt_entry == nullptr || c == ':' || c == ';') {
        if (print_errors)
            std::fprintf(stderr, st->posixly_correct ? "%s: illegal option -- %c\n" : "%s: invalid option -- %c\n",
                         argv[0], c);
        st->optopt = c;
        return '?';
    }
    if (opt_entry[1] != ':') return c;
    if (opt_entry[2] == ':') {  // optional argument: only when attached
        st->optarg = *st->nextchar ? st->nextchar : nullptr;
        if (*st->nextchar) ++st->optind;
    } else if (*st->nextchar) {
        st->optarg = st->nextchar;
        ++st->optind;
    } else if (st->optind == argc) {
        if (print_errors) std::fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
        st->optopt = c;
        c = optstring[0] == ':' ? ':' : '?';
    } else {
        st->optarg = argv[st->optind++];
    }
    st->nextchar = nullptr;
    return c;
}
