#define LOG_TAG "dbg"
#include "libdbg/dbgsh_edit.h"

#include <editline/readline.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "libpal/tframe/app.h"
#include "libsh/sh_complete.h"
#include "liblog/log2_ctl.h"

namespace {

constexpr int STOP_POLL_MS = 500;
constexpr int HISTORY_LINES = 1000;
constexpr char CTRL_D = 0x04;

// The editor's state belongs to the reading thread while it handles a key
// and to a logging thread while that one clears and draws the line again.
std::recursive_mutex g_edit_lock;
// A prompt and the typed text are on the screen (under g_edit_lock).
bool g_waiting = false;
thread_local bool t_in_editor = false;

bool g_initialised = false;
std::string g_history_path;

// The line the handler received (under g_edit_lock).
bool g_line_done = false;
bool g_line_eof = false;
std::string g_line;
int g_last_key = 0;

std::vector<std::string> g_matches;
size_t g_match_next = 0;

void on_line(char *line) {
    g_line_done = true;
    g_waiting = false;
    if (line) {
        g_line = line;
        std::free(line);
    } else {
        g_line_eof = true;
    }
    // No prompt is drawn again while the command runs.
    rl_callback_handler_remove();
}

char *next_match(const char *, int state) {
    if (state == 0) g_match_next = 0;
    if (g_match_next >= g_matches.size()) return nullptr;
    // The editor frees the match with free().
    return ::strdup(g_matches[g_match_next++].c_str());
}

char **complete(const char *word, int start, int) {
    rl_attempted_completion_over = 1;  // never file names
    std::string before(rl_line_buffer, static_cast<size_t>(start));
    g_matches.clear();
    libsh_complete(before.c_str(), word,
                   [](const char *name, void *user) { static_cast<std::vector<std::string> *>(user)->emplace_back(name); },
                   &g_matches);
    return rl_completion_matches(word, next_match);
}

int read_byte() {
    unsigned char byte;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? byte : EOF;
}

// Hands the editor one character at a time, a UTF-8 sequence as its code
// point, so that Ctrl+D on an empty line can be told apart: the editor
// reports it by not calling the handler at all.
int read_key(FILE *) {
    int lead = read_byte();
    int follow = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    int code = follow == 3 ? lead & 0x07 : follow == 2 ? lead & 0x0F : follow == 1 ? lead & 0x1F : lead;
    for (int i = 0; i < follow; ++i) {
        int next = read_byte();
        if (next == EOF || (next & 0xC0) != 0x80) break;
        code = (code << 6) | (next & 0x3F);
    }
    g_last_key = code;
    return code;
}

bool clear_typed_line() {
    if (!g_edit_lock.try_lock()) return false;  // a key is being handled: rare, and never worth a wait
    if (!g_waiting || t_in_editor) {
        g_edit_lock.unlock();
        return false;
    }
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    return true;
}

void redraw_typed_line() {
    rl_forced_update_display();
    std::fflush(stdout);
    g_edit_lock.unlock();
}

const log2_console_ops CONSOLE_OPS{clear_typed_line, redraw_typed_line};

void init_once() {
    if (g_initialised) return;
    g_initialised = true;
    const char *home = std::getenv("HOME");
    const char *app = g_app.app_name ? g_app.app_name : "hubd";
    if (home && *home) g_history_path = std::string(home) + "/." + app + "_history";
    rl_readline_name = app;
    rl_getc_function = read_key;
    // The editor turns characters into line text by the locale; the line is UTF-8.
    setlocale(LC_CTYPE, "C.UTF-8");
    rl_attempted_completion_function = complete;
    rl_initialize();
    using_history();
    stifle_history(HISTORY_LINES);
    if (!g_history_path.empty()) read_history(g_history_path.c_str());
    log2_attach_console(&CONSOLE_OPS);
}

void keep_in_history(const std::string &line) {
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    add_history(line.c_str());
    // Written at once: the process may end by a signal without a goodbye.
    if (!g_history_path.empty() && write_history(g_history_path.c_str()) != 0)
        LOGD("write_history %s failed\n", g_history_path.c_str());
}

}  // namespace

bool dbgsh_edit_usable() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

int dbgsh_edit_gets(const char *prompt, char *buf, size_t size, bool (*stop)()) {
    buf[0] = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(g_edit_lock);
        init_once();
        g_line_done = g_line_eof = false;
        g_line.clear();
        rl_callback_handler_install(prompt, on_line);
        g_waiting = true;
    }
    for (;;) {
        if (stop && stop()) {
            std::lock_guard<std::recursive_mutex> lock(g_edit_lock);
            g_waiting = false;
            rl_callback_handler_remove();
            std::fputs("\n", stdout);
            return -1;
        }
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = poll(&pfd, 1, STOP_POLL_MS);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        std::lock_guard<std::recursive_mutex> lock(g_edit_lock);
        bool empty_before = rl_end == 0;
        t_in_editor = true;
        rl_callback_read_char();
        t_in_editor = false;
        if (g_line_done) break;
        if (g_last_key == EOF || (g_last_key == CTRL_D && empty_before)) {
            g_line_eof = true;
            break;
        }
    }
    std::lock_guard<std::recursive_mutex> lock(g_edit_lock);
    if (g_waiting) {
        g_waiting = false;
        rl_callback_handler_remove();
    }
    if (!g_line_done || g_line_eof) {
        std::fputs("\n", stdout);
        std::fflush(stdout);
        return -1;
    }
    keep_in_history(g_line);
    if (g_line.size() >= size) return 0;
    std::memcpy(buf, g_line.data(), g_line.size() + 1);
    return static_cast<int>(g_line.size());
}
