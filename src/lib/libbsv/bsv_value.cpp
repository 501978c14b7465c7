#define LOG_TAG "bsv"
#include "libbsv/bsv_value.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "liblog/log2.h"

namespace {

struct type_name {
    const char *name;
    int32_t code;
    int32_t size;
};
constexpr type_name TYPES[] = {
    {"u8", VALUE_TYPE_U8, 1},   {"u16", VALUE_TYPE_U16, 2}, {"u32", VALUE_TYPE_U32, 4},
    {"u64", VALUE_TYPE_U64, 8}, {"str", VALUE_TYPE_STRING, -1},
};

const type_name *find_type(const char *name, size_t len) {
    for (const type_name &t : TYPES) {
        if (std::strlen(t.name) == len && std::memcmp(t.name, name, len) == 0) return &t;
    }
    return nullptr;
}

// Calls add(name, name_len, type) for every field of the descriptor; false
// (with the report logged) on a malformed item.
template <typename Add>
bool walk_info(const char *info, Add add) {
    const char *item = info;
    bool strings_seen = false;
    while (*item) {
        const char *end = std::strchr(item, ',');
        size_t item_len = end ? static_cast<size_t>(end - item) : std::strlen(item);
        char buf[256];
        size_t copy = item_len < sizeof buf - 1 ? item_len : sizeof buf - 1;
        std::memcpy(buf, item, copy);
        buf[copy] = 0;
        const char *minus = static_cast<const char *>(std::memchr(item, '-', item_len));
        if (!minus || minus == item) {
            LOGE("buf=[%s] info=[%s] error\n", buf, info);
            return false;
        }
        const char *type_text = minus + 1;
        const type_name *type = find_type(type_text, static_cast<size_t>(item + item_len - type_text));
        if (!type) {
            LOGE("type=[%s] error\n", buf);
            return false;
        }
        // Fixed fields must all come before the first string.
        if (type->code != VALUE_TYPE_STRING && strings_seen) {
            LOGE("buf=[%s] info=[%s] error\n", buf, info);
            return false;
        }
        const char *name = item;
        const char *names_end = minus;
        do {
            const char *bar = type->code == VALUE_TYPE_STRING
                                  ? static_cast<const char *>(std::memchr(name, '|', static_cast<size_t>(names_end - name)))
                                  : nullptr;
            const char *name_end = bar ? bar : names_end;
            size_t name_len = static_cast<size_t>(name_end - name);
            bool stray_bar = !bar && std::memchr(name, '|', name_len);
            if (name_len == 0 || name_len >= BSV_VALUE_NAME_MAXN || stray_bar) {
                LOGE("buf=[%s] info=[%s] error\n", buf, info);
                return false;
            }
            add(name, name_len, *type);
            name = bar ? bar + 1 : names_end;
        } while (name < names_end);
        if (type->code == VALUE_TYPE_STRING) strings_seen = true;
        item = end ? end + 1 : item + item_len;
    }
    return true;
}

uint64_t load_uint(const uint8_t *p, int32_t size, bool big_endian) {
    uint64_t value = 0;
    for (int32_t i = 0; i < size; ++i) {
        int32_t shift = big_endian ? (size - 1 - i) * 8 : i * 8;
        value |= uint64_t{p[i]} << shift;
    }
    return value;
}

bool check_idx(bsv_value_ctx *ctx, int idx) {
    PAL_ASSERT_RET(ctx != NULL, false);
    PAL_CHECK_RET(idx >= 0 && idx < ctx->count_idx, "idx < ctx->count_idx", false);
    return true;
}

// Start of string field idx: the first string sits right after the fixed
// fields, each later one behind the terminator of the one before. With a
// known length a text missing from a cut record reads as empty.
const char *string_at(bsv_value_ctx *ctx, const uint8_t *rec, size_t len, int idx) {
    size_t pos = static_cast<size_t>(ctx->val[ctx->str_idx].offset);
    for (int i = ctx->str_idx; i < idx; ++i) {
        if (len == SIZE_MAX) {
            pos += std::strlen(reinterpret_cast<const char *>(rec + pos)) + 1;
            continue;
        }
        if (pos >= len) return "";
        const void *nul = std::memchr(rec + pos, 0, len - pos);
        if (!nul) return "";
        pos = static_cast<size_t>(static_cast<const uint8_t *>(nul) - rec) + 1;
    }
    if (len != SIZE_MAX && (pos >= len || !std::memchr(rec + pos, 0, len - pos))) return "";
    return reinterpret_cast<const char *>(rec + pos);
}

bsv_value get_value(bsv_value_ctx *ctx, const void *rec, size_t len, int idx) {
    bsv_value value{};
    std::memset(value.raw, 0, sizeof value.raw);
    if (!check_idx(ctx, idx)) return value;
    PAL_ASSERT_RET(rec != NULL, value);
    const bsv_value_desc &field = ctx->val[idx];
    const auto *bytes = static_cast<const uint8_t *>(rec);
    if (field.type == VALUE_TYPE_STRING) {
        value.str = string_at(ctx, bytes, len, idx);
        return value;
    }
    if (len != SIZE_MAX && static_cast<size_t>(field.offset + field.size) > len) return value;
    uint64_t v = load_uint(bytes + field.offset, field.size, ctx->big_endian != 0);
    switch (field.size) {
        case 1: value.u8 = static_cast<uint8_t>(v); break;
        case 2: value.u16 = static_cast<uint16_t>(v); break;
        case 4: value.u32 = static_cast<uint32_t>(v); break;
        default: value.u64 = v; break;
    }
    return value;
}

bool check_int(bsv_value_ctx *ctx, int idx) {
    if (!check_idx(ctx, idx)) return false;
    PAL_CHECK_RET(ctx->val[idx].type != VALUE_TYPE_STRING, "ctx->val[idx].type!=VALUE_TYPE_STRING", false);
    return true;
}

}  // namespace

int value_get_info(bsv_value_ctx *ctx, const char *info) {
    PAL_ASSERT_RET(info != NULL, -1);
    int count = 0;
    int32_t offset = 0;
    bool ok = walk_info(info, [&](const char *name, size_t name_len, const type_name &type) {
        if (ctx) {
            bsv_value_desc &field = ctx->val[count];
            std::memcpy(field.name, name, name_len);
            field.name[name_len] = 0;
            field.type = type.code;
            field.size = type.size;
            if (type.code != VALUE_TYPE_STRING) {
                field.offset = offset;
            } else {
                field.offset = ctx->str_idx == ctx->count_idx ? offset : -1;
                if (ctx->str_idx == ctx->count_idx) ctx->str_idx = count;
            }
        }
        if (type.code != VALUE_TYPE_STRING) offset += type.size;
        ++count;
    });
    return ok ? count : -1;
}

bsv_value_ctx *bsv_value_init(const char *info, int big_endian) {
    PAL_ASSERT_RET(info != NULL, nullptr);
    int count = value_get_info(nullptr, info);
    if (count < 0) {
        LOGD("value_get_info failed\n");
        return nullptr;
    }
    auto *ctx = static_cast<bsv_value_ctx *>(mem_calloc(sizeof(bsv_value_ctx)));
    if (!ctx) return nullptr;
    ctx->info = mem_strdup(info);
    ctx->val = static_cast<bsv_value_desc *>(mem_calloc(sizeof(bsv_value_desc) * (count ? count : 1)));
    if (!ctx->info || !ctx->val || str_map_init(&ctx->names, STR_MAP_KEY_COPY | STR_MAP_SORTED) != 0) {
        mem_free(ctx->info);
        mem_free(ctx->val);
        mem_free(ctx);
        return nullptr;
    }
    ctx->big_endian = big_endian;
    ctx->count_idx = count;
    ctx->str_idx = count;
    // Second pass fills the fields: str_idx == count_idx marks "no string yet".
    int filled = value_get_info(ctx, info);
    for (int i = 0; i < filled; ++i) {
        str_map_set(&ctx->names, ctx->val[i].name, reinterpret_cast<const void *>(static_cast<uintptr_t>(i + 1)));
    }
    return ctx;
}

void bsv_value_exit(bsv_value_ctx *ctx) {
    if (!ctx) return;
    str_map_clear(&ctx->names);
    mem_free(ctx->info);
    mem_free(ctx->val);
    mem_free(ctx);
}

bsv_value bsv_value_get(bsv_value_ctx *ctx, const void *rec, int idx) { return get_value(ctx, rec, SIZE_MAX, idx); }

bsv_value bsv_value_get_n(bsv_value_ctx *ctx, const void *rec, size_t len, int idx) {
    return get_value(ctx, rec, len, idx);
}

uint8_t bsv_value_get_u8(bsv_value_ctx *ctx, const void *rec, int idx) {
    if (!check_int(ctx, idx)) return 0;
    return static_cast<uint8_t>(load_uint(static_cast<const uint8_t *>(rec) + ctx->val[idx].offset, ctx->val[idx].size, false));
}

uint16_t bsv_value_get_u16(bsv_value_ctx *ctx, const void *rec, int idx) {
    if (!check_int(ctx, idx)) return 0;
    return static_cast<uint16_t>(load_uint(static_cast<const uint8_t *>(rec) + ctx->val[idx].offset, ctx->val[idx].size, ctx->big_endian != 0));
}

uint32_t bsv_value_get_u32(bsv_value_ctx *ctx, const void *rec, int idx) {
    if (!check_int(ctx, idx)) return 0;
    return static_cast<uint32_t>(load_uint(static_cast<const uint8_t *>(rec) + ctx->val[idx].offset, ctx->val[idx].size, ctx->big_endian != 0));
}

uint64_t bsv_value_get_u64(bsv_value_ctx *ctx, const void *rec, int idx) {
    if (!check_int(ctx, idx)) return 0;
    return load_uint(static_cast<const uint8_t *>(rec) + ctx->val[idx].offset, ctx->val[idx].size, ctx->big_endian != 0);
}

const char *bsv_value_get_str(bsv_value_ctx *ctx, const void *rec, int idx) {
    return bsv_value_get_str_n(ctx, rec, SIZE_MAX, idx);
}

const char *bsv_value_get_str_n(bsv_value_ctx *ctx, const void *rec, size_t len, int idx) {
    if (!check_idx(ctx, idx)) return nullptr;
    PAL_CHECK_RET(ctx->val[idx].type == VALUE_TYPE_STRING, "ctx->val[idx].type==VALUE_TYPE_STRING", nullptr);
    PAL_ASSERT_RET(rec != NULL, nullptr);
    return string_at(ctx, static_cast<const uint8_t *>(rec), len, idx);
}

int bsv_value_find(bsv_value_ctx *ctx, const void *rec, const char *name, bsv_value *out, int32_t *type) {
    PAL_ASSERT_RET(ctx != NULL && name != NULL, -1);
    auto slot = reinterpret_cast<uintptr_t>(str_map_get(&ctx->names, name));
    if (slot == 0) return -1;
    int idx = static_cast<int>(slot - 1);
    if (out) *out = bsv_value_get(ctx, rec, idx);
    if (type) *type = ctx->val[idx].type;
    return 0;
}
