// Reading and writing INI files into an IniDict, keeping the comment and blank
// lines before each entry so that a file written back keeps its look.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "libconf/ini/dictionary.h"

// Bytes of one line, its line end included; a longer line fails the load.
constexpr size_t INI_LINE_MAX = 1024;

enum IniLineKind {
    INI_LINE_ERROR = -1,
    INI_LINE_EMPTY = 0,
    INI_LINE_COMMENT = 1,
    INI_LINE_SECTION = 2,
    INI_LINE_VALUE = 3,
};

// Classifies one line (at most INI_LINE_MAX bytes). name receives the section
// name or the key, value the value; both need INI_LINE_MAX + 1 bytes.
IniLineKind iniparser_line(const char *line, char *name, char *value);
// Same, and ORs DICT_MARK_* bits of a value line into *marks (which may be null).
IniLineKind iniparser_line_marks(const char *line, char *name, char *value, uint8_t *marks);

// Loads the file; null when it cannot be opened, is not a regular file, holds a
// line that is too long or any syntax error (each one logged).
IniDict *iniparser_load(const char *path);
// Same, with each failure as one line "path:line: what" in err (as much as
// fits) instead of the log.
IniDict *iniparser_load_report(const char *path, char *err, size_t err_size);
// Loads text already read (a pipe, standard input) as the file name says.
IniDict *iniparser_load_text(const char *name, const char *text, size_t len, char *err, size_t err_size);

// Writes the dictionary in INI form; 0, or -1 when writing failed.
int iniparser_dump_ini(const IniDict *d, FILE *out);
