// /metrics/prometheus: the process's counters in the Prometheus text
// exposition format, version 0.0.4.
#define LOG_TAG "dbg"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "libdbg/shell_tcp_server.h"
#include "libdbg/web_console_imp.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_proc.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"

namespace {

std::array<std::atomic<uint64_t>, HTTP_EP_COUNT> g_served{};

constexpr const char *ENDPOINT_NAMES[HTTP_EP_COUNT] = {
    "/", "/cmd", "/log", "/config", "/update", "/metrics", "/metrics/prometheus", "/favicon.ico", "other",
};

void metric(std::string &out, const char *name, const char *type, const char *help) {
    char line[512];
    std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    out += line;
}

void sample(std::string &out, const char *name, const char *labels, unsigned long long value) {
    char line[512];
    std::snprintf(line, sizeof line, "%s%s %llu\n", name, labels, value);
    out += line;
}

}  // namespace

void http_count_request(int endpoint) {
    if (endpoint >= 0 && endpoint < HTTP_EP_COUNT)
        g_served[static_cast<size_t>(endpoint)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t http_requests_served(int endpoint) {
    return endpoint >= 0 && endpoint < HTTP_EP_COUNT
               ? g_served[static_cast<size_t>(endpoint)].load(std::memory_order_relaxed)
               : 0;
}

const char *http_endpoint_name(int endpoint) {
    return endpoint >= 0 && endpoint < HTTP_EP_COUNT ? ENDPOINT_NAMES[endpoint] : "other";
}

void http_callback_prometheus(httpd_server *server, httpd_request *r) {
    LOGV("[%s]\n", r->query);
    if (is_need_auth(r)) return;
    std::string out;
    mem_stats mem{};
    mem_stats_get(&mem);
    const struct {
        const char *name;
        const char *help;
        uint64_t value;
    } MEMORY[] = {
        {"hubd_memory_blocks", "Live blocks of the counted allocator.", mem.malloc_count},
        {"hubd_memory_bytes", "Live bytes of the counted allocator.", mem.malloc_bytes},
        {"hubd_memory_max_blocks", "Highest number of live blocks.", mem.malloc_max_count},
        {"hubd_memory_max_bytes", "Highest number of live bytes.", mem.malloc_max_bytes},
        {"hubd_memory_max_request_bytes", "Largest single allocation.", mem.malloc_max_size},
    };
    for (const auto &m : MEMORY) {
        metric(out, m.name, "gauge", m.help);
        sample(out, m.name, "", m.value);
    }
    os_proc_stats proc{};
    os_proc_stats_get(&proc);
    metric(out, "hubd_threads", "gauge", "Threads of the process.");
    sample(out, "hubd_threads", "", proc.threads < 0 ? 0 : static_cast<unsigned long long>(proc.threads));
    metric(out, "hubd_open_fds", "gauge", "Open file descriptors.");
    sample(out, "hubd_open_fds", "", proc.open_fds < 0 ? 0 : static_cast<unsigned long long>(proc.open_fds));
    metric(out, "hubd_shell_sessions", "gauge", "Sessions of the debug shell server.");
    sample(out, "hubd_shell_sessions", "", debug_shell_server_sessions());
    metric(out, "hubd_http_requests_total", "counter", "HTTP requests served by endpoint.");
    for (int ep = 0; ep < HTTP_EP_COUNT; ++ep) {
        std::string labels = std::string("{endpoint=\"") + ENDPOINT_NAMES[ep] + "\"}";
        sample(out, "hubd_http_requests_total", labels.c_str(), http_requests_served(ep));
    }
    metric(out, "hubd_log_records_total", "counter", "Log records accepted by level.");
    for (int level = LOG_CRIT; level <= LOG_VERB; ++level) {
        std::string labels = std::string("{level=\"") + log2_level_name(level) + "\"}";
        sample(out, "hubd_log_records_total", labels.c_str(), log2_record_count(level));
    }
    const struct {
        const char *name;
        const char *help;
        uint64_t (*value)(int sink);
    } SINK_COUNTS[] = {
        {"hubd_log_lines_total", "Lines given to the log sinks that can lose them.", log2_sink_lines},
        {"hubd_log_lines_lost_total", "Lines those log sinks could not write or send.", log2_sink_lost},
    };
    for (const auto &m : SINK_COUNTS) {
        metric(out, m.name, "counter", m.help);
        for (int sink = 0; sink < LOG2_SINK_COUNT; ++sink) {
            std::string labels = std::string("{sink=\"") + log2_sink_name(sink) + "\"}";
            sample(out, m.name, labels.c_str(), m.value(sink));
        }
    }
    int64_t start = g_app.start_time ? g_app.start_time : (server ? server->start_time : 0);
    metric(out, "hubd_start_time_seconds", "gauge", "Start time of the process since the epoch.");
    sample(out, "hubd_start_time_seconds", "", static_cast<unsigned long long>(start));
    httpd_set_content_type(r, "text/plain; version=0.0.4; charset=utf-8");
    httpd_print(r, out.c_str());
}
