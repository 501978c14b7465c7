// /cmd: runs a shell command line with its output collected in memory and
// returns it as a JSON array of one element.
#define LOG_TAG "dbg"
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "libdbg/web_console_imp.h"
#include "libpal/string/str_escape.h"
#include "libsh/libsh.h"
#include "liblog/log2.h"

namespace {

constexpr size_t CMD_ARG_SIZE = HTTPD_QUERY_SIZE;  // the whole query fits, so nothing is cut
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

// Bytes of the well-formed UTF-8 sequence at text (at most len bytes), or 0
// when the byte there does not start one: no overlong forms, no surrogates,
// nothing above U+10FFFF.
size_t utf8_sequence_len(const unsigned char *text, size_t len) {
    unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n > len) return 0;
    for (size_t i = 1; i < n; ++i) {
        unsigned char c = text[i];
        if (c < (i == 1 ? lo : 0x80) || c > (i == 1 ? hi : 0xBF)) return 0;
    }
    return n;
}

constexpr char REPLACEMENT[] = "\\ufffd";  // for each byte that is not UTF-8

}  // namespace

size_t http_json_escape_cut(const char *text, size_t len, char *out, size_t room) {
    size_t used = 0;
    for (size_t i = 0; i < len;) {
        size_t seq = utf8_sequence_len(reinterpret_cast<const unsigned char *>(text) + i, len - i);
        if (seq == 0) {
            // JSON must be Unicode: a stray byte would make the whole reply unreadable.
            if (used + sizeof REPLACEMENT - 1 > room) break;
            std::memcpy(out + used, REPLACEMENT, sizeof REPLACEMENT - 1);
            used += sizeof REPLACEMENT - 1;
            ++i;
            continue;
        }
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
    // The page shows a reply, never an empty one: a line the shell could not split says so.
    if (result < 0 && output.empty()) output = "The command line could not be run (an unclosed quote?): [" + std::string(cmd) + "]\n";
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
    // Form encoding: '+' is a blank, a plus comes as %2B.
    for (char *p = raw; *p; ++p)
        if (*p == '+') *p = ' ';
    // Decoding never lengthens the text: the command is whole, and the shell
    // itself refuses one over its line limit instead of running a cut part.
    std::string cmd(sizeof raw, '\0');
    if (str_unescape_url_args(raw, cmd.data(), cmd.size()) != 0) cmd[0] = 0;
    cmd.resize(std::strlen(cmd.c_str()));
    LOGV("ucmd=[%s]\n", cmd.c_str());
    if (!cmd.empty()) http_audit(r, cmd.c_str());
    char reply[HTTP_CMD_REPLY_SIZE];
    http_exec_cmd(cmd.c_str(), reply);
    LOGV("ret=[%s]\n", reply);
    httpd_print(r, reply);
}
