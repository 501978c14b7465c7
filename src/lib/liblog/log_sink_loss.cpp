// What the sinks that can lose lines lost, and the warning when a sink's
// loss grows: said at once, then at most once a minute with the count, so
// that a receiver that is down is seen and does not flood. A network sink's
// loss is said on the console; the console's own goes to the other sinks,
// and to the console once it takes lines again.
#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>

#include "liblog/log_ctx.h"
#include "liblog/log_sink_console.h"

namespace {

struct sink_counts {
    std::atomic<uint64_t> lines{0};
    std::atomic<uint64_t> lost{0};
};

std::array<sink_counts, LOG2_SINK_COUNT> g_counts;
constexpr std::array<const char *, LOG2_SINK_COUNT> NAMES{"file", "syslog", "collector", "console"};

constexpr uint64_t WARN_EVERY_MS = 60 * 1000;

// Under the log lock.
struct loss_report {
    uint64_t reported = 0;  // the loss count last said
    uint64_t next_ms = 0;   // the next warning is due then
};
std::array<loss_report, LOG2_SINK_COUNT> g_reports;
// What the console itself was told of its loss.
loss_report g_console_told;

bool valid(int sink) { return sink >= 0 && sink < LOG2_SINK_COUNT; }

// The warning text when report is due at now_ms; false when it is not.
bool loss_due(int sink, const loss_report &report, uint64_t now_ms, char *text, size_t size) {
    uint64_t lost = log2_sink_lost(sink);
    if (lost == report.reported || now_ms < report.next_ms) return false;
    std::snprintf(text, size, "warning: log sink %s lost %" PRIu64 " lines (%" PRIu64 " since start)\n",
                  NAMES[static_cast<size_t>(sink)], lost - report.reported, lost);
    return true;
}

void loss_said(int sink, loss_report &report, uint64_t now_ms) {
    report.reported = log2_sink_lost(sink);
    report.next_ms = now_ms + WARN_EVERY_MS;
}

}  // namespace

void log2_sink_count(int sink, bool lost) {
    if (!valid(sink)) return;
    g_counts[static_cast<size_t>(sink)].lines.fetch_add(1, std::memory_order_relaxed);
    if (lost) g_counts[static_cast<size_t>(sink)].lost.fetch_add(1, std::memory_order_relaxed);
}

uint64_t log2_sink_lines(int sink) {
    return valid(sink) ? g_counts[static_cast<size_t>(sink)].lines.load(std::memory_order_relaxed) : 0;
}

uint64_t log2_sink_lost(int sink) {
    return valid(sink) ? g_counts[static_cast<size_t>(sink)].lost.load(std::memory_order_relaxed) : 0;
}

const char *log2_sink_name(int sink) { return valid(sink) ? NAMES[static_cast<size_t>(sink)] : ""; }

void log_sink_loss_check(log_ctx *ctx, uint64_t now_ms, char *console_loss, size_t size) {
    char text[160];
    // The file sink reports its own failures, with the path and the reason.
    // A warning the console could not take waits for the next check.
    for (int sink = LOG2_SINK_SYSLOG; sink < LOG2_SINK_CONSOLE; ++sink) {
        loss_report &report = g_reports[static_cast<size_t>(sink)];
        if (loss_due(sink, report, now_ms, text, sizeof text) && log_say(ctx, text)) loss_said(sink, report, now_ms);
    }
    if (size) console_loss[0] = 0;
    loss_report &others = g_reports[LOG2_SINK_CONSOLE];
    if (loss_due(LOG2_SINK_CONSOLE, others, now_ms, console_loss, size)) loss_said(LOG2_SINK_CONSOLE, others, now_ms);
    if (!log_console_stalled() && loss_due(LOG2_SINK_CONSOLE, g_console_told, now_ms, text, sizeof text) &&
        log_say(ctx, text))
        loss_said(LOG2_SINK_CONSOLE, g_console_told, now_ms);
}
