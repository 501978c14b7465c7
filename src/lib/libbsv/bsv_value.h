// Binary structured values: a one-line type descriptor such as
// "sec-u64,usec-u32,tag|msg-str" declares the layout of a record, and a value
// context reads its fields by index or by name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/string/str_map.h"

// Type codes of the descriptor's type names.
enum : int32_t {
    VALUE_TYPE_U8 = 0,
    VALUE_TYPE_U16 = 2,
    VALUE_TYPE_U32 = 4,
    VALUE_TYPE_U64 = 6,
    VALUE_TYPE_STRING = 20,
};

constexpr size_t BSV_VALUE_NAME_MAXN = 32;

// One field: strings have size -1; strings after the first have offset -1
// (found by walking the texts of the record).
struct bsv_value_desc {
    char name[BSV_VALUE_NAME_MAXN];
    int32_t type;
    int32_t size;
    int32_t offset;
};

struct bsv_value_ctx {
    char *info;              // the descriptor text
    int32_t big_endian;      // non-zero: integers are stored big-endian
    int32_t count_idx;       // number of fields
    int32_t str_idx;         // index of the first string field, count_idx when none
    bsv_value_desc *val;
    str_map names;           // name -> index + 1
};

// A field's value: the integer, or the string pointer.
struct bsv_value {
    union {
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        const char *str;
        uint8_t raw[16];
    };
};

// Parses the descriptor; fills ctx (may be null) and returns the number of
// fields, -1 on a malformed descriptor.
int value_get_info(bsv_value_ctx *ctx, const char *info);
// New context for the descriptor, or null.
bsv_value_ctx *bsv_value_init(const char *info, int big_endian);
void bsv_value_exit(bsv_value_ctx *ctx);

// Field idx of the record; a zeroed value on a bad call. Strings beyond the
// end of a cut record read as empty when the length is known (the _n forms).
bsv_value bsv_value_get(bsv_value_ctx *ctx, const void *rec, int idx);
bsv_value bsv_value_get_n(bsv_value_ctx *ctx, const void *rec, size_t len, int idx);
uint8_t bsv_value_get_u8(bsv_value_ctx *ctx, const void *rec, int idx);
uint16_t bsv_value_get_u16(bsv_value_ctx *ctx, const void *rec, int idx);
uint32_t bsv_value_get_u32(bsv_value_ctx *ctx, const void *rec, int idx);
uint64_t bsv_value_get_u64(bsv_value_ctx *ctx, const void *rec, int idx);
// Null on a bad call or a non-string field.
const char *bsv_value_get_str(bsv_value_ctx *ctx, const void *rec, int idx);
const char *bsv_value_get_str_n(bsv_value_ctx *ctx, const void *rec, size_t len, int idx);
// Looks a field up by name: its value and type code; 0, or -1 when absent.
int bsv_value_find(bsv_value_ctx *ctx, const void *rec, const char *name, bsv_value *out, int32_t *type);
