#define LOG_TAG "dbg"
#include "libdbg/dbgsh_stdio.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "liblog/log2.h"
#include "libdbg/dbgsh_edit.h"
#include "libdbg/dbgsh_srv.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app.h"

namespace {

constexpr int STOP_POLL_MS = 500;

std::atomic<const char *> g_cmd_string{nullptr};
std::atomic<unsigned> g_cmd_piece{0};
std::atomic<bool> g_stop{false};

// A stop of the servers also ends the console, even one that landed before
// this loop cleared its own stop flag.
bool stop_requested() {
    return g_stop.load(std::memory_order_relaxed) || g_app.server_stopped.load(std::memory_order_relaxed);
}

// Bytes read from standard input beyond the line handed out last.
struct stdin_reader {
    std::string pending;
    bool dropping = false;  // inside a line that was too long
    bool eof = false;
};
stdin_reader g_stdin;

// Waits for input while watching the stop flag; false at the end of input or on stop.
bool fill(stdin_reader *r) {
    while (!stop_requested()) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = poll(&pfd, 1, STOP_POLL_MS);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char chunk[4096];
        ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        r->pending.append(chunk, static_cast<size_t>(n));
        return true;
    }
    return false;
}

}  // namespace

const char *debug_shell_cmd_string() { return g_cmd_string.load(std::memory_order_relaxed); }

int debug_shell_cmd_piece(char *buf, size_t size) {
    const char *text = debug_shell_cmd_string();
    unsigned wanted = g_cmd_piece.fetch_add(1, std::memory_order_relaxed);
    const char *piece = text;
    for (unsigned i = 0; piece && i < wanted; ++i) {
        piece = std::strchr(piece, ';');
        if (piece) ++piece;
    }
    if (!piece) {
        std::fflush(nullptr);
        std::exit(0);
    }
    size_t len = std::strcspn(piece, ";");
    if (len >= size) len = size - 1;
    std::memcpy(buf, piece, len);
    buf[len] = 0;
    return static_cast<int>(len);
}

int debug_shell_stdin_gets(char *buf, size_t size) {
    stdin_reader *r = &g_stdin;
    buf[0] = 0;
    if (debug_shell_stdio_editing()) {
        int len = dbgsh_edit_gets(libsh_prompt(), buf, size, stop_requested);
        if (len < 0 && !stop_requested()) r->eof = true;
        return len;
    }
    for (;;) {
        size_t end = r->pending.find('\n');
        if (end == std::string::npos && !r->eof) {
            if (r->pending.size() >= size - 1) {
                // Too long for the buffer: the whole line is dropped.
                r->pending.clear();
                r->dropping = true;
            }
            if (!fill(r)) r->eof = true;
            continue;
        }
        if (end == std::string::npos) {
            // End of input: a last line without line feed still counts.
            if (r->pending.empty() || r->dropping) return -1;
            end = r->pending.size();
        }
        std::string line = r->pending.substr(0, end);
        r->pending.erase(0, end + 1);
        if (r->dropping) {
            r->dropping = false;
            return 0;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= size - 1) return 0;
        std::memcpy(buf, line.data(), line.size());
        buf[line.size()] = 0;
        return static_cast<int>(line.size());
    }
}

int debug_shell_stdio_loop() {
    g_stop.store(false, std::memory_order_relaxed);
    g_stdin = stdin_reader{};
    shell_ctx ctx{};
    net_sock stream{};
    int ret = dbgsh_srv_ctx_init(&ctx, &stream, STDIO_MODE, OS_SOCKET_NONE);
    if (ret == 0) ret = dbgsh_srv_imp(&ctx);
    LOGD("<==\n");
    return ret;
}

int debug_shell_stdio_exec(const char *commands) {
    g_cmd_string.store(commands, std::memory_order_relaxed);
    return debug_shell_stdio_loop();
}

bool debug_shell_stdio_editing() { return dbgsh_edit_usable(); }

void debug_shell_stdio_stop() { g_stop.store(true, std::memory_order_relaxed); }

bool debug_shell_stdio_stopping() { return stop_requested(); }

bool debug_shell_stdio_input_ended() { return g_stdin.eof && !stop_requested(); }
