// Attach points: libraries above the log core register their sinks here at
// start-up; the log core calls them without knowing their headers.
#include <atomic>

#include "liblog/log_ctx.h"
#include "liblog/log_sink_syslog.h"

namespace {
std::atomic<const log2_bin_ops *> g_bin{nullptr};
// The syslog client is the log core's own; a library may still replace it.
std::atomic<const log2_net_ops *> g_syslog{&g_log_syslog_ops};
std::atomic<const log2_net_ops *> g_bsvlog{nullptr};
std::atomic<const log2_pcap_ops *> g_pcap{nullptr};
std::atomic<const log2_console_ops *> g_console{nullptr};
}  // namespace

void log2_attach_bin(const log2_bin_ops *ops) { g_bin.store(ops, std::memory_order_release); }
void log2_attach_syslog(const log2_net_ops *ops) { g_syslog.store(ops, std::memory_order_release); }
void log2_attach_bsvlog(const log2_net_ops *ops) { g_bsvlog.store(ops, std::memory_order_release); }
void log2_attach_pcap(const log2_pcap_ops *ops) { g_pcap.store(ops, std::memory_order_release); }
void log2_attach_console(const log2_console_ops *ops) { g_console.store(ops, std::memory_order_release); }

const log2_bin_ops *log_attach_bin() { return g_bin.load(std::memory_order_acquire); }
const log2_net_ops *log_attach_syslog() { return g_syslog.load(std::memory_order_acquire); }
const log2_net_ops *log_attach_bsvlog() { return g_bsvlog.load(std::memory_order_acquire); }
const log2_pcap_ops *log_attach_pcap() { return g_pcap.load(std::memory_order_acquire); }
const log2_console_ops *log_attach_console() { return g_console.load(std::memory_order_acquire); }
