#define LOG_TAG "bsvf"
#include "libbsvf/bsvf_pcap.h"

#include "libbsv/bsv_type.h"
#include "libbsv/bsv_value.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/mpcap/mpcap.h"
#include "liblog/log2.h"

namespace {

// Records keep their time in their first 12 bytes: seconds (u64), microseconds (u32).
constexpr size_t REC_TIME_SIZE = 12;
constexpr int DLT_USER0 = 147;

}  // namespace

int bsvf_type_2_dlt(int type_id) {
    if (type_id < 1 || type_id > 15) {
        LOGE("type=%d error\n", type_id);
        return -1;
    }
    return DLT_USER0 - 1 + type_id;
}

bsvf_pcap *bsvf_pcap_create_imp(const char *name, int append, int type_id) {
    PAL_ASSERT_RET(name != NULL, nullptr);
    int dlt = bsvf_type_2_dlt(type_id);
    if (dlt < 0) return nullptr;
    auto *h = static_cast<bsvf_pcap *>(mem_calloc(sizeof(bsvf_pcap)));
    if (!h) return nullptr;
    h->value = bsv_type_open_value(type_id);
    if (!h->value) {
        LOGD("bsv_value_init_form_type failed.\n");
        bsvf_pcap_close(h);
        return nullptr;
    }
    h->writer = pcap_open_dead(dlt, static_cast<int>(MPCAP_SNAPLEN), bsv_type_get_os_endian(type_id));
    if (!h->writer) {
        LOGD("pcap_open_dead failed.\n");
        bsvf_pcap_close(h);
        return nullptr;
    }
    h->dumper = pcap_dump_open_imp(h->writer, name, append);
    if (!h->dumper) {
        LOGD("pcap_dump_open failed.\n");
        bsvf_pcap_close(h);
        return nullptr;
    }
    return h;
}

void bsvf_pcap_write(bsvf_pcap *h, const void *rec, size_t len) {
    PAL_ASSERT_RET(h != NULL, );
    mpcap_pkthdr hdr{};
    if (len == 0) {
        pcap_dump(h->dumper, &hdr, nullptr);
        return;
    }
    PAL_ASSERT_RET(len > 12, );
    hdr.sec = static_cast<uint32_t>(bsv_value_get_n(h->value, rec, len, 0).u64);
    hdr.usec = bsv_value_get_n(h->value, rec, len, 1).u32;
    hdr.caplen = static_cast<uint32_t>(len - REC_TIME_SIZE);
    hdr.len = hdr.caplen;
    pcap_dump(h->dumper, &hdr, static_cast<const uint8_t *>(rec) + REC_TIME_SIZE);
}

void bsvf_pcap_close(bsvf_pcap *h) {
    if (!h) return;
    bsv_value_exit(h->value);
    pcap_dump_close(h->dumper);
    pcap_close(h->writer);
    mem_free(h);
}

int bsvf_pcap_flush(bsvf_pcap *h) { return h ? pcap_dump_flush(h->dumper) : -1; }
