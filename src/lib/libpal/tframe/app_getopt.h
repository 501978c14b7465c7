// Option scanner with the GNU conventions: grouped letters, attached or
// separate arguments, options and operands in any order, "--" ends the options.
// With POSIXLY_CORRECT set, scanning stops at the first operand. State is per
// thread.
#pragma once

struct app_getopt_state {
    int optind;     // next argument to scan
    int optopt;     // the option character last looked at
    char *optarg;   // argument of the last option
    int opterr;     // print messages
    int next_char;  // position inside a group of letters
};

app_getopt_state *app_getopt_ctx();
// Index 1, messages on, option character '?'.
void app_getopt_reset();
// The next option letter, '?' for an invalid option or a missing argument
// (after the message on standard error), -1 at the end.
int app_getopt(int argc, char *const *argv, const char *optstring);
