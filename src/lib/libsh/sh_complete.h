// Names that complete a word being typed, for the line editors of the console
// and the remote client.
#pragma once

// Visits every name that may stand where word is being typed, given the text
// of the line before that word: command names for the first word of a
// command, "show" items after show, settable variable names after set.
// Names are visited in listing order and only when they begin with word.
void libsh_complete(const char *line_before, const char *word, void (*visit)(const char *name, void *user),
                    void *user);
