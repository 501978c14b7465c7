// echo: parses its own option words (-n -e -E -h) and its own escapes.
#define LOG_TAG "mish2"
#include <string>

#include "libsh/sh_cmds.h"

namespace {

bool is_option_word(const char *word) {
    if (word[0] != '-' || word[1] == '\0') return false;
    for (const char *p = word + 1; *p; ++p)
        if (*p != 'n' && *p != 'e' && *p != 'E' && *p != 'h') return false;
    return true;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

char escape_letter(char c, bool *known) {
    *known = true;
    switch (c) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    case '\\': return '\\';
    default: *known = false; return c;
    }
}

// Appends word with backslash escapes interpreted; clears *newline on \c.
void add_escaped(std::string *out, const char *word, bool *newline) {
    for (const char *p = word; *p;) {
        if (p[0] != '\\' || p[1] == '\0') {
            out->push_back(*p++);
            continue;
        }
        ++p;  // past the backslash
        if (*p == 'c') {
            *newline = false;
            ++p;
            continue;
        }
        if (is_octal(*p)) {
            unsigned value = 0;
            int digits = 0;
            while (digits < 3 && is_octal(p[digits])) value = value * 8 + static_cast<unsigned>(p[digits++] - '0');
            // A third digit that would pass 255 is not part of the escape.
            if (value > 255) {
                value /= 8;
                --digits;
            }
            out->push_back(static_cast<char>(value));
            p += digits;
            continue;
        }
        bool known = false;
        char c = escape_letter(*p, &known);
        if (known) {
            out->push_back(c);
            ++p;
        } else {
            out->push_back('\\');  // the character itself follows as plain text
        }
    }
}

}  // namespace

int sh_cmd_echo(shell_ctx *ctx, int argc, char **argv) {
    bool newline = true;
    bool escapes = false;
    int first = 1;
    for (; first < argc && is_option_word(argv[first]); ++first) {
        for (const char *p = argv[first] + 1; *p; ++p) {
            switch (*p) {
            case 'n': newline = false; break;
            case 'e': escapes = true; break;
            case 'E': escapes = false; break;
            case 'h':
                libsh_cmd_usage(ctx, "echo");
                return 1;
            }
        }
    }
    // Collected into one write: a channel that trims trailing blanks per
    // output call would otherwise eat the blanks between the words.
    std::string out;
    for (int i = first; i < argc; ++i) {
        if (i > first) out.push_back(' ');
        if (escapes)
            add_escaped(&out, argv[i], &newline);
        else
            out.append(argv[i]);
    }
    if (newline) out.push_back('\n');
    if (!out.empty()) ctx->write(ctx->out, out.data(), out.size());
    return 0;
}
