// /log: the binary log records that arrived since the last call, as JSON.
#define LOG_TAG "dbg"
#include <cstdio>
#include <cstring>
#include <mutex>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_reg.h"
#include "libdbg/http_imp.h"
#include "liblog/log2.h"

namespace {

constexpr char ITEM_FMT[] = "{\"log\":\"%s\",\"level\":\"%s\"},";

struct log_reader_state {
    std::mutex lock;  // the reader and the held record
    bsv_reader *reader = nullptr;
    http_log_held held{};
};
log_reader_state g_log;

static_assert(HTTP_LOG_TEXT_SIZE >= BSV_LOG_TEXT_MAXN, "a log line must fit the held record");

bool read_next(void *source, int *level, char *text) {
    return bsv_read_log(static_cast<bsv_reader *>(source), level, text) > 0;
}

}  // namespace

const char *http_log_level_name(int level) {
    if (level >= LOG_DBG) return "debug";
    if (level == LOG_INFO) return "info";
    if (level == LOG_NOTI || level == LOG_WARN) return "warning";
    return "error";
}

size_t http_log_json(http_log_next next, void *source, http_log_held *held, char *out) {
    size_t used = 0;
    out[used++] = '[';
    bool added = false;
    char escaped[HTTP_LOG_TEXT_SIZE];
    char item[HTTP_LOG_TEXT_SIZE + 64];
    while (used + HTTP_LOG_TEXT_SIZE < HTTP_LOG_REPLY_SIZE) {
        if (!held->valid) {
            if (!next(source, &held->level, held->text)) break;
            held->valid = true;
        }
        size_t len = http_json_escape_cut(held->text, std::strlen(held->text), escaped, sizeof escaped - 1);
        escaped[len] = 0;
        int n = std::snprintf(item, sizeof item, ITEM_FMT, escaped, http_log_level_name(held->level));
        if (n < 0) break;
        // Kept for the next call rather than cut: room for ']' and the terminator.
        if (used + static_cast<size_t>(n) + 2 > HTTP_LOG_REPLY_SIZE) break;
        std::memcpy(out + used, item, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
        held->valid = false;
        added = true;
    }
    if (added)
        out[used - 1] = ']';
    else
        out[used++] = ']';
    out[used] = 0;
    return used;
}

int http_log_init() {
    LOGD("==>\n");
    std::lock_guard<std::mutex> guard(g_log.lock);
    if (g_log.reader) return 0;
    g_log.reader = bsv_open_log();
    if (!g_log.reader) {
        LOGD("bsv_open_log failed\n");
        return -1;
    }
    g_log.held.valid = false;
    return 0;
}

void http_log_exit() {
    std::lock_guard<std::mutex> guard(g_log.lock);
    if (g_log.reader) bsv_close(g_log.reader, 1);
    g_log.reader = nullptr;
    g_log.held.valid = false;
}

void http_callback_log(httpd_server *, httpd_request *r) {
    if (is_need_auth(r)) return;
    httpd_set_content_type(r, HTTPD_CONTENT_JSON);
    char reply[HTTP_LOG_REPLY_SIZE];
    {
        std::lock_guard<std::mutex> guard(g_log.lock);
        if (g_log.reader)
            http_log_json(read_next, g_log.reader, &g_log.held, reply);
        else
            std::snprintf(reply, sizeof reply, "[]");
    }
    httpd_print(r, reply);
}
