// Reentrant option scanner with the GNU getopt rules (short options only):
// non-options are permuted to the end unless POSIXLY_CORRECT is set in the
// process environment. Diagnostics go to the process's standard error.
#pragma once

struct shell_getopt_state {
    char *optarg;
    int optind;
    int opterr;
    int optopt;
    int initialized;
    char *nextchar;
    int ordering;
    int posixly_correct;
    int first_nonopt;
    int last_nonopt;
};

// Next index 1, report errors, last option '?', not initialised.
void shell_getopt_reset(shell_getopt_state *st);
// Next option character, '?' for an unknown option or a missing argument,
// -1 when the options are done (st->optind then indexes the first non-option).
int shell_getopt(shell_getopt_state *st, int argc, char **argv, const char *optstring);
