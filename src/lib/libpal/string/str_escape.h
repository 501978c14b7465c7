// Percent-decoding of URL arguments and JSON string escaping.
#pragma once

#include <cstddef>

// Decodes %XX escapes of src into out, which must hold strlen(src)+1 bytes.
// Returns 0, or -1 (out left empty) when out is too small or an argument is null.
int str_unescape_url_args(const char *src, char *out, size_t out_size);

// Escapes len bytes of src as the inside of a JSON string. With dst null returns
// the bytes needed; otherwise writes them (no terminator) and returns how many,
// so dst + result is the position just past them. 0 for a null src.
size_t str_escape_json(char *dst, const char *src, size_t len);
