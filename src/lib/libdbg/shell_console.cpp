#define LOG_TAG "dbg"
#include "libdbg/shell_console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "liblog/log2.h"
#include "libdbg/shell_cmd_pieces.h"
#include "libdbg/shell_line_edit.h"
#include "libdbg/shell_line_reader.h"
#include "libdbg/shell_session.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "libpal/tframe/app.h"

namespace {

constexpr const char *CONSOLE_ENDED_TEXT =
    "console input ended; the server goes on until Ctrl+C, SIGTERM or `exit` in a shell session\n";

std::atomic<const char *> g_cmd_string{nullptr};
std::atomic<unsigned> g_cmd_piece{0};
std::atomic<bool> g_stop{false};

// A stop of the servers also ends the console, even one that landed before
// this loop cleared its own stop flag.
bool stop_requested() {
    return g_stop.load(std::memory_order_relaxed) || g_app.server_stopped.load(std::memory_order_relaxed);
}

dbgsh_line_reader g_stdin{};
// Standard input ended (Ctrl+D at a terminal); a stop is no end of input.
bool g_input_ended = false;

// A refused line gets its error as the reply to it, with the end byte.
void refuse_line(int result, size_t len, size_t size) {
    char text[128];
    dbgsh_line_refusal(result, len, size, text, sizeof text);
    net_sock out{};
    net_sock_init_console(&out);
    dbgout_write_imp(&out, text);
    dbgsh_flush(&out);
}

// The console goes, the servers stay: said where the operator looks, so
// that the missing prompt is no riddle.
void say_input_ended(bool at_terminal) {
    if (at_terminal) {
        std::fputs(CONSOLE_ENDED_TEXT, stdout);
        std::fflush(stdout);
    } else {
        LOGI("%s", CONSOLE_ENDED_TEXT);
    }
}

}  // namespace

const char *debug_shell_cmd_string() { return g_cmd_string.load(std::memory_order_relaxed); }

int debug_shell_cmd_piece(char *buf, size_t size) {
    const char *text = debug_shell_cmd_string();
    unsigned wanted = g_cmd_piece.fetch_add(1, std::memory_order_relaxed);
    str_vector pieces;
    str_vector_init(&pieces, STR_VECTOR_COPY);
    int cut = text ? dbgsh_cmd_pieces(text, &pieces) : 0;
    if (cut != 0 || wanted >= pieces.count) {
        str_vector_clear(&pieces);
        if (cut != 0) LOGE("error: out of memory splitting the command text\n");
        std::fflush(nullptr);
        std::exit(cut != 0 ? 1 : 0);
    }
    size_t len = std::strlen(pieces.items[wanted]);
    buf[0] = '\0';
    if (len >= size) {
        str_vector_clear(&pieces);
        refuse_line(DBGSH_LINE_TOO_LONG, len, size);
        return 0;
    }
    std::memcpy(buf, pieces.items[wanted], len + 1);
    str_vector_clear(&pieces);
    return static_cast<int>(len);
}

int debug_shell_stdin_gets(char *buf, size_t size) {
    buf[0] = '\0';
    if (g_input_ended) return -1;
    bool editing = debug_shell_stdio_editing();
    size_t len = 0;
    int result = editing ? dbgsh_edit_gets(libsh_prompt(), buf, size, stop_requested, &len)
                         : dbgsh_line_read_fd(&g_stdin, STDIN_FILENO, buf, size, &len, stop_requested);
    if (result == DBGSH_LINE_READY) return static_cast<int>(len);
    if (result != DBGSH_LINE_END) {
        refuse_line(result, len, size);
        return 0;
    }
    if (!stop_requested()) {
        g_input_ended = true;
        say_input_ended(editing);
    }
    return -1;
}

int debug_shell_stdio_loop() {
    g_stop.store(false, std::memory_order_relaxed);
    g_stdin = dbgsh_line_reader{};
    g_input_ended = false;
    shell_ctx ctx{};
    net_sock stream{};
    int ret = dbgsh_srv_ctx_init(&ctx, &stream, STDIO_MODE, OS_SOCKET_NONE);
    if (ret == 0) ret = dbgsh_srv_imp(&ctx);
    if (debug_shell_stdio_editing()) dbgsh_edit_end();
    LOGD("<==\n");
    return ret;
}

int debug_shell_stdio_exec(const char *commands) {
    g_cmd_string.store(commands, std::memory_order_relaxed);
    return debug_shell_stdio_loop();
}

bool debug_shell_stdio_editing() { return dbgsh_edit_usable(); }

void debug_shell_stdio_stop() {
    g_stop.store(true, std::memory_order_relaxed);
    dbgsh_line_wake();
}

bool debug_shell_stdio_stopping() { return stop_requested(); }

bool debug_shell_stdio_input_ended() { return g_input_ended && !stop_requested(); }
