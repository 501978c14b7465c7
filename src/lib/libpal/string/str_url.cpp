#define LOG_TAG "pal"
#include "libpal/string/str_url.h"

#include <array>
#include <cstring>

#include "libpal/basic/pal_assert.h"
#include "libpal/string/str_tool.h"

namespace {

constexpr const char *WHITE = " \t\n\v\f\r";
// Beyond this many digits a port run is only skipped; callers never need more.
constexpr int PORT_DIGITS_MAX = 10;

bool is_white(char c) { return c != 0 && std::strchr(WHITE, c) != nullptr; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Writes n bytes of src and a NUL at out, cut to the room left. A full area
// ends in the NUL of its last piece, so further pieces read as empty there.
char *put(url_out *out, const char *src, size_t n) {
    if (out->pos >= out->end) return out->end - 1;
    size_t room = static_cast<size_t>(out->end - out->pos) - 1;
    if (n > room) n = room;
    char *start = out->pos;
    std::memcpy(start, src, n);
    start[n] = 0;
    out->pos += n + 1;
    return start;
}

char *put_str(url_out *out, const char *src) { return put(out, src, std::strlen(src)); }

char *trim_quotes(char *text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\'' || text[n - 1] == '"')) --n;
    text[n] = 0;
    size_t start = 0;
    while (text[start] == '\'' || text[start] == '"') ++start;
    if (start) std::memmove(text, text + start, n - start + 1);
    return text;
}

const char *parse_port(int32_t *port, const char *p) {
    if (*p != ':') return p;
    ++p;
    int64_t value = 0;
    for (int digits = 0; is_digit(*p); ++p, ++digits)
        if (digits < PORT_DIGITS_MAX) value = value * 10 + (*p - '0');
    *port = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
    return p;
}

void parse_authority(url_parts *parts, url_out *out, const char *p) {
    p = str_url_parse_passwd(out, &parts->user, &parts->passwd, p);
    p = str_url_parse_host(out, &parts->host, p);
    p = parse_port(&parts->port, p);
    p = str_url_parse_path(out, &parts->path, p);
    p = str_url_parse_query(out, &parts->query, p);
    parts->fragment = *p == '#' ? put_str(out, p + 1) : put(out, "", 0);
}

void parse_file(url_parts *parts, url_out *out, const char *p) {
    parts->user = put(out, "", 0);
    parts->passwd = put(out, "", 0);
    parts->host = put(out, "", 0);
    const char *mark = std::strchr(p, '?');
    if (mark) {
        parts->path = put(out, p, static_cast<size_t>(mark - p));
        parts->query = put_str(out, mark + 1);
    } else {
        parts->path = put_str(out, p);
        parts->query = put(out, "", 0);
    }
    parts->fragment = put(out, "", 0);
}

}  // namespace

const char *str_url_parse_passwd(url_out *out, char **user, char **passwd, const char *p) {
    PAL_CHECK_RET(user && passwd && p, "user && passwd && p", nullptr);
    PAL_ASSERT_RET(out != nullptr, nullptr);
    // Credentials belong to the authority only; an '@' in the path is data.
    size_t authority = std::strcspn(p, "/?#");
    const auto *at = static_cast<const char *>(std::memchr(p, '@', authority));
    if (!at) {
        *user = put(out, "", 0);
        *passwd = put(out, "", 0);
        return p;
    }
    const auto *colon = static_cast<const char *>(std::memchr(p, ':', static_cast<size_t>(at - p)));
    if (colon) {
        *user = put(out, p, static_cast<size_t>(colon - p));
        *passwd = put(out, colon + 1, static_cast<size_t>(at - colon - 1));
    } else {
        *user = put(out, p, static_cast<size_t>(at - p));
        *passwd = put(out, "", 0);
    }
    return at + 1;
}

const char *str_url_parse_host(url_out *out, char **host, const char *p) {
    PAL_CHECK_RET(host && p, "host && p", nullptr);
    PAL_ASSERT_RET(out != nullptr, nullptr);
    if (*p == '[') {
        ++p;
        const char *close = std::strchr(p, ']');
        if (!close) {
            *host = put_str(out, p);
            return p + std::strlen(p);
        }
        *host = put(out, p, static_cast<size_t>(close - p));
        return close + 1;
    }
    size_t n = std::strcspn(p, " \t\n\v\f\r&/:?\\");
    *host = put(out, p, n);
    return p + n;
}

const char *str_url_parse_path(url_out *out, char **path, const char *p) {
    PAL_CHECK_RET(path && p, "path && p", nullptr);
    PAL_ASSERT_RET(out != nullptr, nullptr);
    while (is_white(*p)) ++p;
    size_t n = std::strcspn(p, "#?");
    *path = n ? put(out, p, n) : put_str(out, "/");
    return p + n;
}

const char *str_url_parse_query(url_out *out, char **query, const char *p) {
    PAL_CHECK_RET(query && p, "query && p", nullptr);
    PAL_ASSERT_RET(out != nullptr, nullptr);
    // Stopping at '#' keeps the fragment of a URL that has no query.
    if (*p != '?' && *p != '#') {
        const char *mark = std::strchr(p, '?');
        p = mark ? mark : p + std::strlen(p);
    }
    if (*p != '?') {
        *query = put(out, "", 0);
        return p;
    }
    while (*p == '?' || is_white(*p)) ++p;
    size_t n = std::strcspn(p, "#");
    *query = put(out, p, n);
    return p + n;
}

int url_parser_imp(url_parts *parts, const char *url) {
    PAL_ASSERT_RET(parts != nullptr, -1);
    PAL_ASSERT_RET(parts->text != nullptr, -1);
    PAL_ASSERT_RET(url != nullptr, -1);
    std::array<char, URL_TEXT_SIZE> work;
    size_t n = strnlen(url, work.size() - 1);
    std::memcpy(work.data(), url, n);
    work[n] = 0;
    char *text = str_trim(work.data());
    trim_quotes(text);
    str_trim(text);
    for (char *c = text; *c; ++c)
        if (*c == '\\') *c = '/';

    url_out out{parts->text, parts->text + URL_TEXT_SIZE};
    if (std::strncmp(text, "///", 3) == 0) {
        parts->scheme = put_str(&out, "name");
        parse_authority(parts, &out, text + 3);
    } else if (const char *sep = std::strstr(text, "://")) {
        parts->scheme = put(&out, text, static_cast<size_t>(sep - text));
        parse_authority(parts, &out, sep + 3);
    } else {
        parts->scheme = put_str(&out, "file");
        parse_file(parts, &out, text);
    }
    return 0;
}

int str_url_parse(url_parts *parts, char *text_area, const char *url) {
    PAL_ASSERT_RET(parts != nullptr, -1);
    PAL_ASSERT_RET(text_area != nullptr, -1);
    PAL_ASSERT_RET(url != nullptr, -1);
    std::memset(parts, 0, sizeof *parts);
    std::memset(text_area, 0, URL_TEXT_SIZE);
    parts->text = text_area;
    return url_parser_imp(parts, url);
}
