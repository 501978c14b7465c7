// /cmd: runs a shell command line with its output collected in memory and
// returns it as a JSON array of one element.
#define LOG_TAG "dbg"
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "libdbg/http_imp.h"
#include "libpal/string/str_escape.h"
#include "libsh/libsh.h"
#include "liblog/log2.h"

namespace {

constexpr size_t CMD_ARG_SIZE = 16384;
constexpr size_t CMD_TEXT_SIZE = 4096;
constexpr size_t PRINT_SIZE = 8192;
constexpr char RESP_HEAD[] = "[{\"resp\":\"";
constexpr char RESP_TAIL[] = "\"}]";

int mem_write(void *out, const char *text, size_t len) {
    static_cast<std::string *>(out)->append(text, len);
    return static_cast<int>(len);
}

int mem_print(void *out, const char *fmt, ...) {
    char buf[PRINT_SIZE];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    if (n < 0) return n;
    // A byte 0 printed with %c ends the text, as on the other channels: the
    // only 0 in the buffer is the one that ends the reply.
    return mem_write(out, buf, std::strlen(buf));
}

int mem_flush(void *out) {
    static_cast<std::string *>(out)->push_back('\0');
    return 0;
}

// Bytes of the UTF-8 sequence that starts with lead (1 for anything else).
size_t sequence_len(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

}  // namespace

size_t http_json_escape_cut(const char *text, size_t len, char *out, size_t room) {
    size_t used = 0;
    for (size_t i = 0; i < len;) {
        size_t seq = sequence_len(static_cast<unsigned char>(text[i]));
        if (seq > len - i) seq = len - i;
        size_t need = str_escape_json(nullptr, text + i, seq);
        if (used + need > room) break;
        used += str_escape_json(out + used, text + i, seq);
        i += seq;
    }
    return used;
}

size_t http_json_resp(const char *text, size_t len, char *out, size_t size) {
    out[0] = 0;
    if (len == 0) return 0;
    size_t head = sizeof RESP_HEAD - 1, tail = sizeof RESP_TAIL - 1;
    if (size < head + tail + 1) return 0;
    std::memcpy(out, RESP_HEAD, head);
    size_t used = head + http_json_escape_cut(text, len, out + head, size - 1 - head - tail);
    std::memcpy(out + used, RESP_TAIL, tail);
    used += tail;
    out[used] = 0;
    return used;
}

int http_exec_cmd(const char *cmd, char *reply) {
    LOGV("==>\n");
    LOGV("cmd=%s\n", cmd);
    std::string output;
    shell_ctx ctx{};
    ctx.mode = HTTP_MODE;
    ctx.exit_flag = 0;
    ctx.out = &output;
    ctx.print = mem_print;
    ctx.write = mem_write;
    ctx.flush = mem_flush;
    int result = libsh_exec_line(&ctx, cmd);
    if (result < 0) LOGD("exec [%s] failed\n", cmd);
    http_json_resp(output.data(), output.size(), reply, HTTP_CMD_REPLY_SIZE);
    LOGV("<==\n");
    return result;
}

void http_callback_cmd(httpd_server *, httpd_request *r) {
    LOGV("[%s]\n", r->query);
    if (is_need_auth(r)) return;
    httpd_set_content_type(r, HTTPD_CONTENT_JSON);
    char raw[CMD_ARG_SIZE];
    http_query_arg(r->query, "command", raw, sizeof raw);
    char cmd[CMD_TEXT_SIZE];
    if (str_unescape_url_args(raw, cmd, sizeof cmd) != 0) cmd[0] = 0;
    LOGV("ucmd=[%s]\n", cmd);
    if (cmd[0]) http_audit(r, cmd);
    char reply[HTTP_CMD_REPLY_SIZE];
    // What was cut must not run: the error goes back in the reply's own shape.
    if (r->target_cut) {
        char text[160];
        int len = std::snprintf(text, sizeof text, "error: line too long (the request target holds at most %zu bytes)\n",
                                HTTPD_PATH_SIZE - 1);
        std::string output(text, static_cast<size_t>(len));
        output.push_back('\0');
        http_json_resp(output.data(), output.size(), reply, HTTP_CMD_REPLY_SIZE);
        LOGW("/cmd refused: request target over %zu bytes\n", HTTPD_PATH_SIZE - 1);
        httpd_print(r, reply);
        return;
    }
    http_exec_cmd(cmd, reply);
    LOGV("ret=[%s]\n", reply);
    httpd_print(r, reply);
}
