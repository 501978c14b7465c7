// URL parser for the network log sinks' target URLs. Every piece is a
// NUL-terminated string written one after another into a caller's 8192-byte area.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t URL_TEXT_SIZE = 8192;

struct url_parts {
    char *scheme;
    char *user;
    char *passwd;
    char *host;
    int32_t port;        // 0 when absent
    char *path;
    char *query;
    char *fragment;
    char *text;          // the caller's URL_TEXT_SIZE-byte area
};

// Bounded writer into the text area: pos moves past each piece and its NUL.
struct url_out {
    char *pos;
    char *end;
};

// Clears parts and the area, then parses url. 0, or -1 for a null argument.
int str_url_parse(url_parts *parts, char *text_area, const char *url);
// Parses url into parts->text (already cleared). 0, or -1.
int url_parser_imp(url_parts *parts, const char *url);

// Steps of the authority form. Each writes its pieces at out, stores where they
// start, and returns the new input position; null for a null argument.
const char *str_url_parse_passwd(url_out *out, char **user, char **passwd, const char *p);
const char *str_url_parse_host(url_out *out, char **host, const char *p);
const char *str_url_parse_path(url_out *out, char **path, const char *p);
const char *str_url_parse_query(url_out *out, char **query, const char *p);
