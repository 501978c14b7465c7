// Records accepted per level, for the metrics views.
#include <array>
#include <atomic>

#include "liblog/log2_ctl.h"

namespace {
std::array<std::atomic<uint64_t>, LOG_VERB + 1> g_counts{};
}

void log2_count_record(int level) {
    if (level >= 0 && level <= LOG_VERB) g_counts[static_cast<size_t>(level)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t log2_record_count(int level) {
    return level >= 0 && level <= LOG_VERB ? g_counts[static_cast<size_t>(level)].load(std::memory_order_relaxed) : 0;
}
