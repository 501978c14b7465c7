#define LOG_TAG "dbg"
#include "libdbg/shell_line_edit.h"

#include <histedit.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "libdbg/shell_line_reader.h"
#include "libpal/tframe/app.h"
#include "libsh/sh_complete.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

// libedit's own interface is used, not its readline emulation: the emulation
// keeps rl_line_buffer pointing into a conversion buffer that it reallocates
// as a line grows past 1 KB, and then writes through the stale pointer.
namespace {

constexpr int HISTORY_LINES = 1000;
constexpr size_t KEY_CHUNK = 4096;

// Keys bound as an operator used to readline expects them.
constexpr const char *KEY_BINDINGS[][2] = {
    {"^R", "em-inc-search-prev"},   {"\\e[1~", "ed-move-to-beg"},      {"\\e[4~", "ed-move-to-end"},
    {"\\e[7~", "ed-move-to-beg"},   {"\\e[8~", "ed-move-to-end"},      {"\\e[H", "ed-move-to-beg"},
    {"\\e[F", "ed-move-to-end"},    {"\\eOH", "ed-move-to-beg"},       {"\\eOF", "ed-move-to-end"},
    {"\\e[3~", "ed-delete-next-char"}, {"\\e[1;5C", "em-next-word"},   {"\\e[1;5D", "ed-prev-word"},
    {"^I", "hubd-complete"},
};

// The editor belongs to the reading thread while it handles a key, and to a
// logging thread while that one clears and draws the line again; the reader
// lets go of it only while it waits for the next key.
std::recursive_mutex g_edit_lock;
// A prompt and the typed text are on the screen (under g_edit_lock).
bool g_waiting = false;
thread_local bool t_in_editor = false;

EditLine *g_el = nullptr;
History *g_history = nullptr;
std::string g_history_path;
std::string g_prompt;

// The terminal as it was before the editor changed it, and as it is kept
// between lines: without the kernel's line buffering, which would cut a line
// typed ahead at 4095 bytes without a word, and without its echo, which
// would mix the keys into the output of the command that runs.
std::atomic<bool> g_saved_valid{false};
termios g_saved_termios{};
termios g_between_lines{};
std::atomic<bool> g_holding{false};

// The read in progress (reading thread, under g_edit_lock).
bool (*g_stop)() = nullptr;
size_t g_limit = 0;          // bytes a line may hold
bool g_stopped = false;      // stop() said so
bool g_input_ended = false;  // standard input closed
size_t g_overflow = 0;       // bytes of a line past the limit, 0 while it fits
unsigned short g_columns = 0;

// Keys read from standard input but not yet handed to the editor: a paste
// arrives in large pieces.
std::string g_keys;
size_t g_keys_pos = 0;

std::vector<std::string> g_matches;

char *prompt_text(EditLine *) { return const_cast<char *>(g_prompt.c_str()); }

unsigned short terminal_columns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

size_t utf8_bytes(uint32_t code) { return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4; }

// Bytes the line being edited takes as UTF-8.
size_t line_bytes(const LineInfoW *line) {
    size_t bytes = 0;
    for (const wchar_t *p = line->buffer; p < line->lastchar; ++p) bytes += utf8_bytes(static_cast<uint32_t>(*p));
    return bytes;
}

// Waits for a byte of standard input without holding the editor, so that
// log lines can redraw it meanwhile; EOF at the end of input or on stop.
int next_byte() {
    if (g_keys_pos < g_keys.size()) return static_cast<unsigned char>(g_keys[g_keys_pos++]);
    g_keys.clear();
    g_keys_pos = 0;
    for (;;) {
        if (g_stop && g_stop()) {
            g_stopped = true;
            return EOF;
        }
        unsigned short columns = terminal_columns();
        if (columns != g_columns) {
            g_columns = columns;
            el_resize(g_el);
            el_set(g_el, EL_REFRESH);
        }
        g_edit_lock.unlock();
        // Sleeps until a key or a stop comes (dbgsh_line_wake).
        int ready = dbgsh_line_wait(STDIN_FILENO, g_stop != nullptr);
        char chunk[KEY_CHUNK];
        ssize_t n = ready > 0 ? read(STDIN_FILENO, chunk, sizeof chunk) : 0;
        int read_errno = errno;
        g_edit_lock.lock();
        if (ready < 0) break;
        if (ready == 0) continue;
        if (n < 0 && (read_errno == EINTR || read_errno == EAGAIN)) continue;
        if (n <= 0) break;
        g_keys.assign(chunk, static_cast<size_t>(n));
        g_keys_pos = 1;
        return static_cast<unsigned char>(g_keys[0]);
    }
    g_input_ended = true;
    return EOF;
}

// Swallows the rest of a line that is already too long, counting it, up to
// its Enter.
bool swallow_overflow() {
    for (;;) {
        int byte = next_byte();
        if (byte == EOF) return false;
        if (byte == '\r' || byte == '\n') {
            // A pasted CR LF is one line end, not an empty line after it.
            if (byte == '\r' && g_keys_pos < g_keys.size() && g_keys[g_keys_pos] == '\n') ++g_keys_pos;
            return true;
        }
        ++g_overflow;
    }
}

// Hands the editor one character at a time, a UTF-8 sequence as its code
// point. A character that would take the line past its limit ends the line
// there; the line is then refused whole.
int read_key(EditLine *el, wchar_t *key) {
    if (g_overflow > 0) return 0;
    int lead = next_byte();
    if (lead == EOF) return 0;
    int follow = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    uint32_t code = follow == 3 ? lead & 0x07 : follow == 2 ? lead & 0x0F : follow == 1 ? lead & 0x1F : lead;
    for (int i = 0; i < follow; ++i) {
        int next = next_byte();
        if (next == EOF) return 0;
        if ((next & 0xC0) != 0x80) {
            --g_keys_pos;  // the start of the next character
            break;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code >= 0x20 && code != 0x7F) {
        size_t bytes = line_bytes(el_wline(el));
        if (bytes + utf8_bytes(code) > g_limit) {
            g_overflow = bytes + utf8_bytes(code);
            if (!swallow_overflow()) return 0;
            *key = L'\n';
            return 1;
        }
    }
    *key = static_cast<wchar_t>(code);
    return 1;
}

void list_matches() {
    std::fputs("\n", stdout);
    for (const std::string &name : g_matches) std::printf("%s  ", name.c_str());
    std::fputs("\n", stdout);
}

// Tab: the word before the cursor completed as far as its matches agree; a
// single match gets a blank after it, several are listed when nothing can be
// added.
unsigned char complete(EditLine *el, int) {
    const LineInfo *line = el_line(el);
    std::string before(line->buffer, static_cast<size_t>(line->cursor - line->buffer));
    size_t word_start = before.find_last_of(" \t");
    word_start = word_start == std::string::npos ? 0 : word_start + 1;
    std::string word = before.substr(word_start);
    before.resize(word_start);
    g_matches.clear();
    libsh_complete(before.c_str(), word.c_str(),
                   [](const char *name, void *user) { static_cast<std::vector<std::string> *>(user)->emplace_back(name); },
                   &g_matches);
    if (g_matches.empty()) return CC_REFRESH_BEEP;
    std::string common = g_matches[0];
    for (const std::string &name : g_matches) {
        size_t same = 0;
        while (same < common.size() && same < name.size() && common[same] == name[same]) ++same;
        common.resize(same);
    }
    std::string added = common.size() > word.size() ? common.substr(word.size()) : std::string();
    if (g_matches.size() == 1) added += ' ';
    if (!added.empty()) {
        if (line_bytes(el_wline(el)) + added.size() > g_limit) return CC_REFRESH_BEEP;
        el_insertstr(el, added.c_str());
        return CC_REFRESH;
    }
    list_matches();
    return CC_REDISPLAY;
}

// Rows of the screen between the prompt's start and the cursor.
int rows_above_cursor() {
    const LineInfoW *line = el_wline(g_el);
    size_t column = 0;
    for (const char *p = g_prompt.c_str(); *p; ++p) column += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    for (const wchar_t *p = line->buffer; p < line->cursor; ++p) {
        int width = wcwidth(*p);
        column += width > 0 ? static_cast<size_t>(width) : 0;
    }
    return static_cast<int>(column / (g_columns ? g_columns : 80));
}

bool clear_typed_line() {
    if (!g_edit_lock.try_lock()) return false;  // a key is being handled: rare, and never worth a wait
    if (!g_waiting || t_in_editor) {
        g_edit_lock.unlock();
        return false;
    }
    // A long line wraps: the whole of it goes, from the prompt's first row.
    int rows = rows_above_cursor();
    if (rows > 0) std::printf("\r\033[%dA\033[J", rows);
    else std::fputs("\r\033[J", stdout);
    std::fflush(stdout);
    return true;
}

void redraw_typed_line() {
    el_set(g_el, EL_REFRESH);
    std::fflush(stdout);
    g_edit_lock.unlock();
}

const log2_console_ops CONSOLE_OPS{clear_typed_line, redraw_typed_line};

void hold_keys() {
    if (!g_saved_valid.load(std::memory_order_acquire)) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_between_lines);
    g_holding.store(true, std::memory_order_relaxed);
}

void give_terminal_back() {
    if (g_holding.exchange(false, std::memory_order_relaxed))
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
}

void init_once() {
    if (g_el) return;
    const char *home = std::getenv("HOME");
    const char *app = g_app.app_name ? g_app.app_name : "hubd";
    if (home && *home) g_history_path = std::string(home) + "/." + app + "_history";
    if (tcgetattr(STDIN_FILENO, &g_saved_termios) == 0) {
        g_between_lines = g_saved_termios;
        g_between_lines.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        g_between_lines.c_cc[VMIN] = 1;
        g_between_lines.c_cc[VTIME] = 0;
        g_saved_valid.store(true, std::memory_order_release);
        std::atexit(give_terminal_back);
    }
    // The editor turns characters into line text by the locale; the line is UTF-8.
    setlocale(LC_CTYPE, "C.UTF-8");
    g_el = el_init(app, stdin, stdout, stderr);
    g_history = history_init();
    HistEvent event;
    history(g_history, &event, H_SETSIZE, HISTORY_LINES);
    if (!g_history_path.empty()) history(g_history, &event, H_LOAD, g_history_path.c_str());
    el_set(g_el, EL_EDITOR, "emacs");
    // Stop signals are the signal thread's; a resize is noticed between keys.
    el_set(g_el, EL_SIGNAL, 0);
    el_set(g_el, EL_PROMPT, prompt_text);
    el_set(g_el, EL_HIST, history, g_history);
    el_set(g_el, EL_GETCFN, read_key);
    el_set(g_el, EL_ADDFN, "hubd-complete", "Complete a command, show item or variable", complete);
    el_source(g_el, nullptr);
    for (const auto &binding : KEY_BINDINGS) el_set(g_el, EL_BIND, binding[0], binding[1], nullptr);
    g_columns = terminal_columns();
    log2_attach_console(&CONSOLE_OPS);
}

void keep_in_history(const char *line) {
    if (line[std::strspn(line, " \t")] == '\0') return;
    HistEvent event;
    history(g_history, &event, H_ENTER, line);
    // Written at once: the process may end by a signal without a goodbye.
    if (!g_history_path.empty() && history(g_history, &event, H_SAVE, g_history_path.c_str()) < 0)
        LOGD("write_history %s failed\n", g_history_path.c_str());
}


}  // namespace

bool dbgsh_edit_usable() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

int dbgsh_edit_gets(const char *prompt, char *buf, size_t size, bool (*stop)(), size_t *len) {
    buf[0] = '\0';
    *len = 0;
    std::lock_guard<std::recursive_mutex> lock(g_edit_lock);
    init_once();
    g_prompt = prompt ? prompt : "";
    g_stop = stop;
    g_limit = size - 1;
    g_stopped = g_input_ended = false;
    g_overflow = 0;
    g_waiting = t_in_editor = true;
    int count = 0;
    hold_keys();
    const char *text = el_gets(g_el, &count);
    g_waiting = t_in_editor = false;
    hold_keys();
    if (g_overflow > 0) {
        *len = g_overflow;
        return DBGSH_LINE_TOO_LONG;
    }
    if (g_stopped || g_input_ended || !text || count <= 0) {
        // The cursor may still stand after the prompt.
        std::fputs("\n", stdout);
        std::fflush(stdout);
        return DBGSH_LINE_END;
    }
    size_t line_len = static_cast<size_t>(count);
    if (line_len > 0 && text[line_len - 1] == '\n') --line_len;
    // A byte 0 typed with Ctrl+V would end the text early: the line is refused.
    const LineInfoW *wide = el_wline(g_el);
    for (const wchar_t *p = wide->buffer; p < wide->lastchar; ++p) {
        if (*p == L'\0') {
            *len = static_cast<size_t>(p - wide->buffer);
            return DBGSH_LINE_ZERO_BYTE;
        }
    }
    if (line_len > g_limit) {
        *len = line_len;
        return DBGSH_LINE_TOO_LONG;
    }
    std::memcpy(buf, text, line_len);
    buf[line_len] = '\0';
    *len = line_len;
    keep_in_history(buf);
    return DBGSH_LINE_READY;
}

void dbgsh_edit_end() {
    std::lock_guard<std::recursive_mutex> lock(g_edit_lock);
    give_terminal_back();
}

void dbgsh_edit_restore_terminal() {
    // A reader that is just switching the terminal to editing would undo the
    // restore: wait a little for it to let go of the editor, which then stays
    // taken, since the process is ending.
    for (int tries = 0; tries < 100 && !g_edit_lock.try_lock(); ++tries) usleep(10 * 1000);
    if (g_saved_valid.load(std::memory_order_acquire)) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
}
