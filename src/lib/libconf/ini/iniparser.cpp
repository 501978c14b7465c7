#define LOG_TAG "conf"
#include "libconf/ini/iniparser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string_view>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "liblog/log2.h"

namespace {

// Only bytes below 0x80 count as white space, so UTF-8 text is never cut.
bool is_blank(unsigned char c) { return c < 0x80 && (c == ' ' || (c >= '\t' && c <= '\r')); }

std::string_view strip(std::string_view s) {
    while (!s.empty() && is_blank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && is_blank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Copies s (at most INI_LINE_MAX bytes) into out of INI_LINE_MAX + 1 bytes.
void put(char *out, std::string_view s) {
    size_t n = s.size() < INI_LINE_MAX ? s.size() : INI_LINE_MAX;
    if (n) std::memcpy(out, s.data(), n);
    out[n] = 0;
}

IniLineKind classify_value(std::string_view line, char *name, char *value, uint8_t *marks) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return INI_LINE_ERROR;
    put(name, strip(line.substr(0, eq)));
    std::string_view rest = strip(line.substr(eq + 1));
    if (rest.empty() || rest.front() == ';' || rest.front() == '#') {
        put(value, {});
        return INI_LINE_VALUE;
    }
    // A quoted value is taken as it is, with ';', '#' and blanks, when it has
    // both quotes and something between them; text after the closing quote is ignored.
    char quote = rest.front();
    if (quote == '"' || quote == '\'') {
        size_t close = rest.find(quote, 1);
        if (close != std::string_view::npos && close > 1) {
            put(value, rest.substr(1, close - 1));
            return INI_LINE_VALUE;
        }
    }
    size_t cut = rest.find_first_of(";#");
    if (cut != std::string_view::npos && cut > 0 && !is_blank(static_cast<unsigned char>(rest[cut - 1])) && marks)
        *marks |= DICT_MARK_GLUED_COMMENT;
    std::string_view v = strip(rest.substr(0, cut));
    if (v == "\"\"" || v == "''") v = {};
    put(value, v);
    return INI_LINE_VALUE;
}

// Growable text of comment and blank lines waiting for the next entry.
class CommentText {
public:
    ~CommentText() { mem_free(text_); }
    bool add(std::string_view s) {
        if (len_ + s.size() + 1 > cap_) {
            size_t cap = cap_ ? cap_ : 256;
            while (cap < len_ + s.size() + 1) cap *= 2;
            auto *grown = static_cast<char *>(mem_realloc(text_, cap));
            if (!grown) return false;
            text_ = grown;
            cap_ = cap;
        }
        std::memcpy(text_ + len_, s.data(), s.size());
        len_ += s.size();
        text_[len_] = 0;
        return true;
    }
    // Null while empty.
    const char *text() const { return len_ ? text_ : nullptr; }
    void clear() {
        len_ = 0;
        if (text_) text_[0] = 0;
    }
    char *take() {
        char *t = len_ ? text_ : nullptr;
        if (!t) mem_free(text_);
        text_ = nullptr;
        len_ = cap_ = 0;
        return t;
    }

private:
    char *text_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO from blocking the
// open; anything but a regular file (a directory, a device) is refused.
FilePtr open_regular(const char *path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *f = ::fdopen(fd, "rb");
    if (!f) ::close(fd);
    return FilePtr(f);
}

struct PhysLine {
    size_t len;     // bytes stored, line end excluded
    bool eol;       // a line end was read
    bool at_end;    // nothing follows in the file
};

// Reads one physical line into dst, at most room bytes with the line end
// counted as one byte (CR LF is one line end, as in a text-mode stream).
// NUL bytes are stored like any other byte. -1 on a read error.
int read_phys_line(FILE *f, char *dst, size_t room, PhysLine *out) {
    *out = {};
    while (out->len < room) {
        int c = getc_unlocked(f);
        if (c == EOF) break;
        if (c == '\r') {
            int next = getc_unlocked(f);
            if (next == '\n') c = '\n';
            else if (next != EOF) std::ungetc(next, f);
        }
        if (c == '\n') {
            out->eol = true;
            break;
        }
        dst[out->len++] = static_cast<char>(c);
    }
    if (std::ferror(f)) return -1;
    if (!out->eol) {
        int c = getc_unlocked(f);
        if (c == EOF) {
            if (std::ferror(f)) return -1;
            out->at_end = true;
        } else {
            std::ungetc(c, f);
        }
    }
    return 0;
}

size_t strip_end(const char *line, size_t len) {
    while (len > 0 && is_blank(static_cast<unsigned char>(line[len - 1]))) --len;
    return len;
}

bool skip_bom(FILE *f) {
    unsigned char head[3];
    size_t n = std::fread(head, 1, sizeof head, f);
    if (n == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) return true;
    return std::fseek(f, 0, SEEK_SET) == 0;
}

// Where the loader's messages go: the caller's buffer (one line each, as much
// as fits), or the log when there is none.
struct ErrorSink {
    char *text;
    size_t size;
    size_t used;
    void say(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        char line[2 * INI_LINE_MAX + 256];
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(line, sizeof line, fmt, args);
        va_end(args);
        if (!text || !size) {
            if (LOG_ERR <= log2_level_get())
                log2_printf(nullptr, LOG_ERR, LOG_TAG, __FILE__, __LINE__, "iniparser_load", "%s\n", line);
            return;
        }
        if (used + 1 >= size) return;
        int n = std::snprintf(text + used, size - used, "%s\n", line);
        used = n < 0 ? used : std::min(size - 1, used + static_cast<size_t>(n));
    }
};

// Reading stops; what was stored so far stays usable.
int out_of_memory(int errors) {
    LOGE("iniparser: memory allocation failure\n");
    return errors;
}

// Parses the open file into d. Returns the number of syntax errors, or -1 when
// the load must fail at once (line too long, read error).
int parse_lines(FILE *f, const char *path, IniDict *d, ErrorSink &sink) {
    char line[INI_LINE_MAX + 1];
    char section[INI_LINE_MAX + 1] = "";
    char name[INI_LINE_MAX + 1];
    char value[INI_LINE_MAX + 1];
    char key[2 * INI_LINE_MAX + 2];
    CommentText comments;
    int lineno = 0;
    int errors = 0;
    for (;;) {
        PhysLine pl;
        if (read_phys_line(f, line, INI_LINE_MAX, &pl) != 0) {
            sink.say("%s:%d: read error: %s", path, lineno + 1, std::strerror(errno));
            return -1;
        }
        if (pl.len == 0 && !pl.eol) break;
        ++lineno;
        if (pl.len == 0) {
            if (!comments.add("\n")) return out_of_memory(errors);
            continue;
        }
        if (!pl.eol && !pl.at_end) {
            sink.say("%s:%d: line too long (at most %d bytes)", path, lineno, static_cast<int>(INI_LINE_MAX - 1));
            return -1;
        }
        int first_line = lineno;
        size_t len = strip_end(line, pl.len);
        // A trailing backslash joins the next physical line in its place, in the
        // room left in the line buffer; a join that does not fit is too long.
        while (len > 0 && line[len - 1] == '\\') {
            LOGD("null_line_3\n");
            size_t at = len - 1;
            if (read_phys_line(f, line + at, INI_LINE_MAX - at, &pl) != 0) {
                sink.say("%s:%d: read error: %s", path, lineno + 1, std::strerror(errno));
                return -1;
            }
            if (pl.len || pl.eol) ++lineno;
            if (!pl.eol && !pl.at_end) {
                sink.say("%s:%d: line too long (at most %d bytes)", path, lineno,
                         static_cast<int>(INI_LINE_MAX - 1));
                return -1;
            }
            len = strip_end(line, at + pl.len);
        }
        line[len] = 0;
        uint8_t marks = 0;
        bool has_nul = std::memchr(line, 0, len) != nullptr;
        IniLineKind kind = has_nul ? INI_LINE_ERROR : iniparser_line_marks(line, name, value, &marks);
        bool stored = true;
        switch (kind) {
        case INI_LINE_ERROR:
            if (has_nul)
                sink.say("%s:%d: a NUL byte in the line", path, first_line);
            else if (line[0] == '[')
                sink.say("%s:%d: expected [section]: %s", path, first_line, line);
            else
                sink.say("%s:%d: expected key = value: %s", path, first_line, line);
            ++errors;
            break;
        case INI_LINE_EMPTY:
            stored = comments.add("\n");
            break;
        case INI_LINE_COMMENT:
            stored = comments.add(strip(std::string_view(line, len))) && comments.add("\n");
            break;
        case INI_LINE_SECTION:
            std::memcpy(section, name, sizeof section);
            stored = dictionary_set_line(d, section, nullptr, comments.text(), first_line, 0) == 0;
            comments.clear();
            break;
        case INI_LINE_VALUE:
            std::snprintf(key, sizeof key, "%s\t%s", section, name);
            stored = dictionary_set_line(d, key, value, comments.text(), first_line, marks) == 0;
            comments.clear();
            break;
        }
        if (!stored) return out_of_memory(errors);
    }
    if (!errors) {
        mem_free(d->trailer);
        d->trailer = comments.take();
    }
    return errors;
}

bool write_text(FILE *out, const char *text) { return !text || std::fputs(text, out) >= 0; }

bool is_section(const char *key) { return key && !std::strchr(key, '\t'); }

// The quote a value needs to read back unchanged, or 0 when it reads back as
// it is: an inline comment character, blanks at either end, a leading quote, a
// trailing backslash (a line continuation) or, behind a key that starts with
// '[', a trailing ']' (a section line) would change it on the next load.
char quote_for(const char *key, std::string_view v) {
    if (v.empty()) return 0;
    bool needs = v.find_first_of(";#") != std::string_view::npos ||
                 is_blank(static_cast<unsigned char>(v.front())) ||
                 is_blank(static_cast<unsigned char>(v.back())) || v.front() == '"' ||
                 v.front() == '\'' || v.back() == '\\' || (key[0] == '[' && v.back() == ']');
    if (!needs) return 0;
    if (v.find('"') == std::string_view::npos) return '"';
    if (v.find('\'') == std::string_view::npos) return '\'';
    return 0;
}

void write_entry(FILE *out, const char *key, const char *separator, const char *value) {
    if (!value) value = "";
    if (char quote = quote_for(key, value))
        std::fprintf(out, "%s%s%c%s%c\n", key, separator, quote, value, quote);
    else
        std::fprintf(out, "%s%s%s\n", key, separator, value);
}

// Entries of one section, each with its comment, as key=value.
void write_section_keys(const IniDict *d, const char *section, FILE *out) {
    size_t section_len = std::strlen(section);
    for (int32_t j = 0; j < d->size; ++j) {
        const char *key = dictionary_key_in_section(d->keys[j], section, section_len);
        if (!key) continue;
        write_text(out, d->comments[j]);
        write_entry(out, key, "=", d->values[j]);
    }
}

}  // namespace

IniLineKind iniparser_line(const char *input, char *name, char *value) {
    return iniparser_line_marks(input, name, value, nullptr);
}

IniLineKind iniparser_line_marks(const char *input, char *name, char *value, uint8_t *marks) {
    PAL_ASSERT_RET(input != nullptr && name != nullptr && value != nullptr, INI_LINE_ERROR);
    name[0] = 0;
    value[0] = 0;
    std::string_view line = strip(std::string_view(input, strnlen(input, INI_LINE_MAX)));
    if (line.empty()) return INI_LINE_EMPTY;
    if (line.front() == '#' || line.front() == ';') return INI_LINE_COMMENT;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
        std::string_view inner = strip(line.substr(1));
        inner = strip(inner.substr(0, inner.find(']')));
        // A tab is what separates section and key inside the store: a section
        // name holding one would make keys that no lookup can reach.
        if (inner.find('\t') != std::string_view::npos) return INI_LINE_ERROR;
        put(name, inner);
        return INI_LINE_SECTION;
    }
    return classify_value(line, name, value, marks);
}

namespace {

IniDict *load_stream(FILE *f, const char *path, ErrorSink &sink) {
    if (!skip_bom(f)) {
        sink.say("%s:1: read error: %s", path, std::strerror(errno));
        return nullptr;
    }
    IniDict *d = dictionary_new(0);
    if (!d) {
        sink.say("%s: out of memory", path);
        return nullptr;
    }
    if (parse_lines(f, path, d, sink) != 0) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

}  // namespace

IniDict *iniparser_load(const char *path) { return iniparser_load_report(path, nullptr, 0); }

IniDict *iniparser_load_report(const char *path, char *err, size_t err_size) {
    PAL_ASSERT_RET(path != nullptr, nullptr);
    if (err && err_size) err[0] = 0;
    FilePtr f = open_regular(path);
    if (!f) {
        std::fprintf(stderr, "iniparser: cannot open %s\n", path);
        return nullptr;
    }
    ErrorSink sink{err, err_size, 0};
    return load_stream(f.get(), path, sink);
}

IniDict *iniparser_load_text(const char *name, const char *text, size_t len, char *err, size_t err_size) {
    PAL_ASSERT_RET(name != nullptr && (text != nullptr || len == 0), nullptr);
    if (err && err_size) err[0] = 0;
    ErrorSink sink{err, err_size, 0};
    // fmemopen refuses an empty buffer; an empty text is an empty file.
    if (!len) {
        IniDict *d = dictionary_new(0);
        if (!d) sink.say("%s: out of memory", name);
        return d;
    }
    FILE *raw = ::fmemopen(const_cast<char *>(text), len, "rb");
    if (!raw) {
        sink.say("%s: %s", name, std::strerror(errno));
        return nullptr;
    }
    FilePtr f(raw);
    return load_stream(f.get(), name, sink);
}

int iniparser_dump_ini(const IniDict *d, FILE *out) {
    PAL_ASSERT_RET(d != nullptr && out != nullptr, -1);
    int32_t sections = 0;
    bool unnamed_section = false;
    for (int32_t i = 0; i < d->size; ++i) {
        if (!is_section(d->keys[i])) continue;
        ++sections;
        if (!d->keys[i][0]) unnamed_section = true;
    }
    if (sections == 0) {
        for (int32_t i = 0; i < d->size; ++i) {
            if (d->keys[i]) write_entry(out, d->keys[i], " = ", d->values[i]);
        }
        return std::ferror(out) ? -1 : 0;
    }
    // Keys that stood before the first section line have an empty section
    // part; they go first, where a reload puts them back, instead of being lost.
    if (!unnamed_section) write_section_keys(d, "", out);
    bool first = true;
    for (int32_t i = 0; i < d->size; ++i) {
        if (!is_section(d->keys[i])) continue;
        if (d->comments[i]) write_text(out, d->comments[i]);
        else if (!first) std::fputs("\n", out);
        first = false;
        std::fprintf(out, "[%s]\n", d->keys[i]);
        write_section_keys(d, d->keys[i], out);
    }
    write_text(out, d->trailer ? d->trailer : "\n");
    return std::ferror(out) ? -1 : 0;
}
