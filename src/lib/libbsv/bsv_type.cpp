#define LOG_TAG "bsv"
#include "libbsv/bsv_type.h"

#include "libbsv/bsv_value.h"
#include "liblog/log2.h"

namespace {

struct type_row {
    int32_t id;
    const char *info;
    int32_t big_endian;
};
constexpr type_row TYPES[] = {
    {BSV_TYPE_LOG, BSV_LOG_INFO, 0},           {BSV_TYPE_LOG_BE, BSV_LOG_INFO, 1},
    {BSV_TYPE_KLOG, BSV_KLOG_INFO, 0},         {BSV_TYPE_NET_HEAD, BSV_NET_HEAD_INFO, 0},
    {BSV_TYPE_NET_HEAD_BE, BSV_NET_HEAD_INFO, 1},
};

const type_row *find_row(int type_id) {
    for (const type_row &row : TYPES) {
        if (row.id == type_id) return &row;
    }
    LOGE("type=%d error: not found\n", type_id);
    return nullptr;
}

}  // namespace

const char *bsv_type_info(int type_id) {
    const type_row *row = find_row(type_id);
    return row ? row->info : nullptr;
}

bsv_value_ctx *bsv_type_open_value(int type_id) {
    const type_row *row = find_row(type_id);
    return row ? bsv_value_init(row->info, row->big_endian) : nullptr;
}

int bsv_type_get_os_endian(int type_id) {
    const type_row *row = find_row(type_id);
    return row ? row->big_endian : 0;
}
