// Records from outside (a UDP collector, a file) are read with the length
// they came with: no field or text may be read beyond it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "libbsv/bsv_type.h"
#include "libbsv/bsv_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bsv_value_ctx *contexts[] = {bsv_type_open_value(BSV_TYPE_LOG), bsv_type_open_value(BSV_TYPE_LOG_BE),
                                        bsv_type_open_value(BSV_TYPE_KLOG), bsv_type_open_value(BSV_TYPE_NET_HEAD)};
    if (size < 2) return 0;
    bsv_value_ctx *ctx = contexts[data[0] % 4];
    // A copy of exactly the record's bytes, so that any read past it is caught.
    std::vector<uint8_t> rec(data + 1, data + size);
    for (int idx = 0; idx < ctx->count_idx; ++idx) {
        bsv_value value = bsv_value_get_n(ctx, rec.data(), rec.size(), idx);
        if (ctx->val[idx].type == VALUE_TYPE_STRING) {
            volatile size_t len = std::strlen(value.str);
            (void)len;
        }
    }
    return 0;
}
