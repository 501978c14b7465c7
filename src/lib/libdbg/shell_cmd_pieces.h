// The command strings of -e and of the console, cut into the commands that go
// to the shell one at a time.
#pragma once

struct str_vector;

// Cuts commands at ';' outside quotes by the shell's own rule (str_split_esape),
// so that `echo 'a;b'` stays one command. Each piece is trimmed and blank ones
// are dropped: a blank line would repeat the session's last line. With
// unbalanced quotes the whole text is one piece, so that the shell refuses it
// in its own words and nothing runs. pieces must be a STR_VECTOR_COPY vector;
// 0, or -1 when memory runs out.
int dbgsh_cmd_pieces(const char *commands, str_vector *pieces);
