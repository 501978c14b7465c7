#define LOG_TAG "bsv"
#include "libbsv/bsv_reg.h"

#include <cstring>
#include <mutex>
#include <new>

#include "libbsv/bsv_value.h"
#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/memory/rbuf.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"
#include "liblog/str_to_size.h"

namespace {

constexpr const char SIZE_QUERY[] = "bsv_rbuf_size=";
constexpr uint64_t DEFAULT_RING = 1024 * 1024;

// Never destroyed: a logging thread may still deliver while the process ends.
std::mutex g_lock;
bsv_type *g_types[BSV_TYPE_MAXN];

// Ring size of the query part "bsv_rbuf_size=SIZE"; 1 MiB by default.
uint64_t ring_size(const char *query) {
    if (!query) return DEFAULT_RING;
    const char *at = std::strstr(query, SIZE_QUERY);
    if (!at) return DEFAULT_RING;
    char text[64];
    str_copy_trunc(text, sizeof text, at + sizeof SIZE_QUERY - 1);
    text[std::strcspn(text, "&")] = 0;
    uint64_t size = str_to_size(text);
    return size ? size : DEFAULT_RING;
}

bsv_type *find_type(const char *name, size_t len) {
    for (bsv_type *type : g_types) {
        if (type && std::strlen(type->name) == len && std::strncmp(type->name, name, len) == 0) return type;
    }
    return nullptr;
}

void detach_locked(bsv_reader *reader) {
    bsv_type *type = reader->type;
    if (!type || !type->readers) return;
    for (int i = 0; i < type->max_reader; ++i) {
        if (type->readers[i] == reader) {
            type->readers[i] = nullptr;
            type->reader_count.fetch_sub(1, std::memory_order_relaxed);
        }
    }
}

void free_reader(bsv_reader *reader) {
    if (reader->ring) rbuf_exit(reader->ring);
    bsv_value_exit(reader->value);
    reader->~bsv_reader();
    mem_free(reader);
}

}  // namespace

int bsv_reg(bsv_type *type) {
    PAL_ASSERT_RET(type != NULL && type->name != NULL, -1);
    std::lock_guard<std::mutex> guard(g_lock);
    int free_slot = -1;
    for (int i = 0; i < BSV_TYPE_MAXN; ++i) {
        if (g_types[i] == type) return 0;
        if (!g_types[i] && free_slot < 0) free_slot = i;
    }
    if (free_slot < 0) return -1;
    if (!type->readers) {
        type->readers = static_cast<bsv_reader **>(mem_calloc(sizeof(bsv_reader *) * type->max_reader));
        if (!type->readers) return -1;
    }
    type->reader_count.store(0, std::memory_order_relaxed);
    g_types[free_slot] = type;
    return 0;
}

bsv_reader *bsv_open(const char *name, char *err) {
    PAL_ASSERT_RET(name != NULL && err != NULL, nullptr);
    err[0] = 0;
    const char *query = std::strchr(name, '?');
    size_t name_len = query ? static_cast<size_t>(query - name) : std::strlen(name);
    void *mem = mem_calloc(sizeof(bsv_reader));
    if (!mem) {
        str_copy_trunc(err, BSV_ERR_MAXN, "memory allocation failed");
        return nullptr;
    }
    auto *reader = new (mem) bsv_reader{};
    std::lock_guard<std::mutex> guard(g_lock);
    bsv_type *type = find_type(name, name_len);
    if (!type) {
        free_reader(reader);
        str_copy_trunc(err, BSV_ERR_MAXN, "name does not exist");
        return nullptr;
    }
    reader->ring = rbuf_init(ring_size(query ? query + 1 : nullptr), static_cast<size_t>(type->max_size));
    if (!reader->ring) {
        free_reader(reader);
        str_copy_trunc(err, BSV_ERR_MAXN, "memory allocation failed");
        return nullptr;
    }
    reader->type = type;
    reader->state.store(BSV_READER_OPEN, std::memory_order_relaxed);
    for (int i = 0; i < type->max_reader; ++i) {
        if (!type->readers[i]) {
            type->readers[i] = reader;
            type->reader_count.fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    return reader;
}

void bsv_close(bsv_reader *reader, int detach) {
    if (!reader) return;
    reader->state.store(BSV_READER_CLOSED, std::memory_order_relaxed);
    if (detach) {
        std::lock_guard<std::mutex> guard(g_lock);
        detach_locked(reader);
    }
    free_reader(reader);
}

void bsv_write(bsv_type *type, const void *rec, size_t len) {
    if (!type || type->reader_count.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> guard(g_lock);
    if (!type->readers) return;
    for (int i = 0; i < type->max_reader; ++i) {
        bsv_reader *reader = type->readers[i];
        if (reader && reader->state.load(std::memory_order_relaxed) == BSV_READER_OPEN) rbuf_write(reader->ring, rec, len);
    }
}

void bsv_exit() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (bsv_type *&type : g_types) {
        if (!type) continue;
        for (int i = 0; type->readers && i < type->max_reader; ++i) {
            if (type->readers[i]) free_reader(type->readers[i]);
        }
        mem_free(type->readers);
        type->readers = nullptr;
        type->reader_count.store(0, std::memory_order_relaxed);
        type = nullptr;
    }
}

int bsv_reader_count(const bsv_type *type) {
    return type ? type->reader_count.load(std::memory_order_relaxed) : 0;
}
