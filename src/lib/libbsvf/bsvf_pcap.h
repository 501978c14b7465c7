// Pcap output of binary records: one record per packet, the record's time as
// the packet time and the record from byte 12 on as packet data, under link
// type 146 + the record type id.
#pragma once

#include <cstddef>
#include <cstdint>

struct mpcap;
struct mpcap_dumper;
struct bsv_value_ctx;

struct bsvf_pcap {
    mpcap *writer;
    mpcap_dumper *dumper;
    bsv_value_ctx *value;
};

// Link type of a record type id (1..15 -> 147..161); -1 with "type=%d error\n".
int bsvf_type_2_dlt(int type_id);
// Opens name (a file, a pipe this process serves, or a capture tool's pipe;
// see mpcap.h) for records of the type; null on failure.
bsvf_pcap *bsvf_pcap_create_imp(const char *name, int append, int type_id);
// One record as one packet; length 0 probes a pipe reader; 12 bytes or less
// is refused ("len > 12").
void bsvf_pcap_write(bsvf_pcap *h, const void *rec, size_t len);
void bsvf_pcap_close(bsvf_pcap *h);
// The dumper's error state: 0, or -1 once a write failed (pipes) or a flush
// failed (files).
int bsvf_pcap_flush(bsvf_pcap *h);
