#define LOG_TAG "bsvf"
#include "libbsvf/bsvf_pcap_file.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_type.h"
#include "libbsvf/bsvf_pcap.h"
#include "libpal/mpcap/mpcap.h"
#include "liblog/log2_ctl.h"

namespace {

struct pcap_file {
    bsvf_pcap *pcap = nullptr;
    std::atomic<uint32_t> max_size{0};
    std::mutex write_lock;
    ~pcap_file() { bsvf_pcap_close(pcap); }
};

// The log core opens and closes the file under its own lock, while records
// arrive from every logging thread outside it. A writer holds its own
// reference, and g_swap is never held while anything logs, so a record that
// logs from inside the file path cannot deadlock against an open or close.
std::mutex g_swap;
std::shared_ptr<pcap_file> g_file;

std::shared_ptr<pcap_file> current() {
    std::lock_guard<std::mutex> guard(g_swap);
    return g_file;
}

void write_record(uint32_t flags, const uint8_t *rec, size_t len) {
    std::shared_ptr<pcap_file> file = current();
    if (!file) return;
    std::lock_guard<std::mutex> guard(file->write_lock);
    pcap_dump_file_check(file->pcap->dumper);
    bsvf_pcap_write(file->pcap, rec, len);
    pcap_dump_set_fsize(file->pcap->dumper, file->max_size.load(std::memory_order_relaxed));
    pcap_dump_flush(file->pcap->dumper);
}

const log2_pcap_ops PCAP_OPS{bsvf_pcap_file_open, bsvf_pcap_file_close, bsvf_pcap_file_set_max};

}  // namespace

int bsvf_pcap_file_open(const char *path, int append, uint32_t max_size) {
    bsv_reg_log();
    auto file = std::shared_ptr<pcap_file>(new (std::nothrow) pcap_file);
    if (!file) return -1;
    file->pcap = bsvf_pcap_create_imp(path, append, BSV_TYPE_LOG);
    if (!file->pcap) return -1;
    file->max_size.store(max_size, std::memory_order_relaxed);
    std::shared_ptr<pcap_file> old;
    {
        std::lock_guard<std::mutex> guard(g_swap);
        old = std::move(g_file);
        g_file = std::move(file);
    }
    bsv_log_set_file_sink(write_record);
    return 0;
}

void bsvf_pcap_file_close() {
    std::shared_ptr<pcap_file> old;
    std::lock_guard<std::mutex> guard(g_swap);
    old = std::move(g_file);
}

void bsvf_pcap_file_set_max(uint32_t max_size) {
    if (std::shared_ptr<pcap_file> file = current()) file->max_size.store(max_size, std::memory_order_relaxed);
}

void bsvf_log_attach() {
    bsv_log_attach();
    log2_attach_pcap(&PCAP_OPS);
}
