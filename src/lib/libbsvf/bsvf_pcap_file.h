// The pcap log file: a log file whose name ends in ".pcap" holds every binary
// log record as one packet, capped at the log file's maximum size.
#pragma once

#include <cstdint>

// Plugs the pcap log file into the log core and the binary log layer, and
// the binary log layer into the log core. Call before log2_init.
void bsvf_log_attach();
// The attach point's operations, callable directly: 0 or -1.
int bsvf_pcap_file_open(const char *path, int append, uint32_t max_size);
void bsvf_pcap_file_close();
void bsvf_pcap_file_set_max(uint32_t max_size);
