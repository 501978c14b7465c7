// The record types in use, by type id (the pcap link type is 146 + id).
#pragma once

#include <cstdint>

struct bsv_value_ctx;

enum : int32_t {
    BSV_TYPE_LOG = 1,         // log record, little-endian
    BSV_TYPE_LOG_BE = 2,      // the same fields, big-endian
    BSV_TYPE_KLOG = 3,        // log record with cpu and irql, little-endian
    BSV_TYPE_NET_HEAD = 5,    // UDP collector packet header, little-endian
    BSV_TYPE_NET_HEAD_BE = 6, // the same fields, big-endian
};

constexpr const char BSV_LOG_INFO[] = "sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str";
constexpr const char BSV_KLOG_INFO[] =
    "sec-u64,usec-u32,pid-u32,tid-u32,cpu_num-u16,irql-u8,level-u8,tag|tid_name|file|line|func|msg-str";
constexpr const char BSV_NET_HEAD_INFO[] =
    "sid-u64,bid-u64,stime-u64,ver_id-u32,app_id-u16,os_id-u8,arch_id-u8,type_id-u16,hostname|data-str";

// Descriptor of a type id, or null.
const char *bsv_type_info(int type_id);
// Value context for a type id; null with "type=%d error: not found\n" for an unknown id.
bsv_value_ctx *bsv_type_open_value(int type_id);
// 1 for a big-endian type, 0 for a little-endian one; an unknown id logs
// "type=%d error: not found\n" and counts as little-endian.
int bsv_type_get_os_endian(int type_id);
