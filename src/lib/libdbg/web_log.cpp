// /log: the binary log records each reader has not seen yet, as JSON.
#define LOG_TAG "dbg"
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "libbsv/bsv_log.h"
#include "libdbg/web_console_imp.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

constexpr size_t READER_ARG_SIZE = 80;
constexpr size_t READER_ID_MAXN = 64;
constexpr size_t LEVEL_ARG_SIZE = 16;

static_assert(HTTP_LOG_TEXT_SIZE >= BSV_LOG_TEXT_MAXN, "a log line must fit its reply item");

// Every record as it is written: a reader polling now and then still gets
// every line of its levels that is kept, whatever flood came in between.
void view_sink(uint32_t, const uint8_t *rec, size_t len) { http_log_readers_add_record(rec, len); }

bool valid_reader_id(const char *id) {
    size_t len = std::strlen(id);
    if (len > READER_ID_MAXN) return false;
    for (const char *p = id; *p; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '_') return false;
    return true;
}

}  // namespace

const char *http_log_level_name(int level) {
    if (level >= LOG_DBG) return "debug";
    if (level == LOG_INFO) return "info";
    if (level == LOG_NOTI) return "notice";
    if (level == LOG_WARN) return "warning";
    if (level == LOG_ERR) return "error";
    return "crit";
}

int http_log_init() {
    LOGD("==>\n");
    if (bsv_reg_log() != 0 || http_log_readers_start() != 0) {
        LOGE("log view: the log records cannot be read\n");
        return -1;
    }
    bsv_log_set_view_sink(view_sink);
    return 0;
}

void http_log_exit() {
    bsv_log_set_view_sink(nullptr);
    http_log_readers_clear();
}

void http_callback_log(httpd_server *, httpd_request *r) {
    if (is_need_auth(r)) return;
    httpd_set_content_type(r, HTTPD_CONTENT_JSON);
    char reader[READER_ARG_SIZE], level_name[LEVEL_ARG_SIZE];
    http_query_arg(r->query, "reader", reader, sizeof reader);
    http_query_arg(r->query, "level", level_name, sizeof level_name);
    if (!valid_reader_id(reader)) {
        httpd_send_error(r, 400, "reader: up to 64 letters, digits, '-' or '_'.");
        return;
    }
    int max_level = http_log_level_parse(level_name);
    if (max_level < 0) {
        httpd_send_error(r, 400, "level: one of crit, error, warning, notice, info, debug.");
        return;
    }
    httpd_print(r, http_log_readers_reply(reader, max_level, os_clock_ms()).c_str());
}
