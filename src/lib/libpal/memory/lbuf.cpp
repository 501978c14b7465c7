// Slab pools: items of one kind on a locked doubly linked list, so that a
// subsystem can count, walk and release all of its records at once.
#define LOG_TAG "pal"

#include "libpal/memory/lbuf.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_mutex.h"

namespace {

// Hidden in front of every item; keeps the caller's part aligned like malloc's.
struct alignas(alignof(std::max_align_t)) lbuf_hdr {
    lbuf_hdr *next;
    lbuf_hdr *prev;
    size_t size;
    lbuf *pool;
};

lbuf_hdr *hdr_of(const void *item) {
    return reinterpret_cast<lbuf_hdr *>(const_cast<char *>(static_cast<const char *>(item)) -
                                        sizeof(lbuf_hdr));
}

void *item_of(lbuf_hdr *hdr) { return reinterpret_cast<char *>(hdr) + sizeof(lbuf_hdr); }

}  // namespace

struct lbuf {
    lbuf_hdr head;  // circular list: head.next is the first item
    char *name;
    void *user;
    size_t item_size;
    lbuf_item_proc construct;
    lbuf_item_proc destroy;
    size_t count;
    mutex_t *lock;
};

namespace {

void unlink_locked(lbuf *pool, lbuf_hdr *hdr) {
    hdr->prev->next = hdr->next;
    hdr->next->prev = hdr->prev;
    hdr->next = hdr->prev = nullptr;
    pool->count--;
}

}  // namespace

lbuf *lbuf_init(const char *name, lbuf_item_proc construct, lbuf_item_proc destroy, void *user,
                size_t item_size) {
    PAL_ASSERT_RET(name, nullptr);
    auto *pool = new (std::nothrow) lbuf{};
    if (!pool) return nullptr;
    pool->head.next = pool->head.prev = &pool->head;
    pool->name = mem_strdup(name);
    pool->lock = mutex_malloc();
    if (!pool->name || !pool->lock) {
        mem_free(pool->name);
        mutex_free(pool->lock);
        delete pool;
        return nullptr;
    }
    pool->user = user;
    pool->item_size = item_size;
    pool->construct = construct;
    pool->destroy = destroy;
    return pool;
}

void lbuf_exit(lbuf *pool) {
    PAL_ASSERT_RET(pool, );
    lbuf_clear(pool);
    mutex_free(pool->lock);
    mem_free(pool->name);
    delete pool;
}

void *lbuf_malloc(lbuf *pool, size_t size, bool zero) {
    PAL_ASSERT_RET(pool, nullptr);
    PAL_ASSERT_RET(size <= SIZE_MAX - sizeof(lbuf_hdr), nullptr);
    const size_t total = sizeof(lbuf_hdr) + size;
    auto *hdr = static_cast<lbuf_hdr *>(zero ? mem_calloc(total) : mem_malloc(total));
    if (!hdr) return nullptr;
    hdr->size = size;
    hdr->pool = pool;
    void *item = item_of(hdr);
    if (pool->construct) pool->construct(item, pool->user);
    mutex_guard guard(pool->lock);
    hdr->next = &pool->head;
    hdr->prev = pool->head.prev;
    pool->head.prev->next = hdr;
    pool->head.prev = hdr;
    pool->count++;
    return item;
}

void *lbuf_slab_malloc(lbuf *pool) {
    PAL_ASSERT_RET(pool, nullptr);
    lbuf *B = pool;
    PAL_CHECK_RET(B->item_size != 0, "B->item_size != 0", nullptr);
    return lbuf_malloc(pool, pool->item_size, false);
}

void lbuf_free(lbuf *pool, void *item) {
    if (!item) return;
    PAL_ASSERT_RET(pool, );
    lbuf_hdr *hdr = hdr_of(item);
    PAL_ASSERT_RET(hdr->pool == pool, );
    if (pool->destroy) pool->destroy(item, pool->user);
    {
        mutex_guard guard(pool->lock);
        unlink_locked(pool, hdr);
    }
    mem_free(hdr);
}

void lbuf_clear(lbuf *pool) {
    PAL_ASSERT_RET(pool, );
    for (;;) {
        lbuf_hdr *hdr;
        {
            mutex_guard guard(pool->lock);
            hdr = pool->head.next;
            if (hdr == &pool->head) return;
            unlink_locked(pool, hdr);
        }
        if (pool->destroy) pool->destroy(item_of(hdr), pool->user);
        mem_free(hdr);
    }
}

size_t lbuf_count(lbuf *pool) {
    PAL_ASSERT_RET(pool, 0);
    mutex_guard guard(pool->lock);
    return pool->count;
}

const char *lbuf_name(lbuf *pool) {
    PAL_ASSERT_RET(pool, nullptr);
    return pool->name;
}

lbuf *lbuf_item_pool(const void *item) { return item ? hdr_of(item)->pool : nullptr; }

size_t lbuf_item_size(const void *item) { return item ? hdr_of(item)->size : 0; }

void lbuf_lock(lbuf *pool) {
    PAL_ASSERT_RET(pool, );
    mutex_lock(pool->lock);
}

void lbuf_unlock(lbuf *pool) {
    PAL_ASSERT_RET(pool, );
    mutex_unlock(pool->lock);
}

void *lbuf_first(lbuf *pool) {
    PAL_ASSERT_RET(pool, nullptr);
    mutex_guard guard(pool->lock);
    lbuf_hdr *first = pool->head.next;
    return first == &pool->head ? nullptr : item_of(first);
}

void *lbuf_next(lbuf *pool, void *item) {
    PAL_ASSERT_RET(pool && item, nullptr);
    mutex_guard guard(pool->lock);
    lbuf_hdr *next = hdr_of(item)->next;
    if (!next || next == &pool->head) return nullptr;
    return item_of(next);
}
