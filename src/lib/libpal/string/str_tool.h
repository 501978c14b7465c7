// Small search and copy tools.
#pragma once

#include <cstddef>

// First occurrence of sub, letters A-Z compared case-insensitively; null when absent.
const char *str_istr(const char *text, const char *sub);
bool str_starts_with(const char *text, const char *prefix);
// Letters case-insensitive; a blank in prefix ends the comparison.
bool str_istarts_with(const char *text, const char *prefix);
bool str_ends_with(const char *text, const char *suffix);
bool str_iends_with(const char *text, const char *suffix);
// Last '\\' or '/' within the first len bytes, or null.
const char *str_last_slash(const char *path, size_t len);
// Copies the run before the first delimiter into buf; returns the delimiter
// (or the end), null when the run does not fit.
const char *str_copy_until(const char *text, const char *delims, char *buf, size_t buf_size);
// First 15 bytes of text without CR/LF into buf (16 bytes); returns buf or null.
char *str_get_head(const char *text, char *buf);
// Trims white space (bytes below 0x80) at both ends in place; returns text.
char *str_trim(char *text);
