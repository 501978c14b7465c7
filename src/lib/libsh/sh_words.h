// Splits one command into words with the Windows command-line rules: the
// command name ends at the first blank or tab outside double quotes; later
// words follow the backslash-and-quote rules of the C runtime.
#pragma once

// One counted block of (argc + 1) pointers followed by the characters;
// argv[argc] is null. Free it with mem_free. Null when memory runs out.
char **libsh_split_words(const char *command, int *argc);
