// Slab buffer: a named pool of items on a locked doubly linked list, with
// per-pool construct and destroy callbacks. Each item carries a hidden header
// (links, size, pool) in front of the caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct lbuf;

// Called with the caller's part of the item and the pool's user data.
using lbuf_item_proc = void (*)(void *item, void *user);

// New empty pool (name copied; callbacks may be null); null on failure.
lbuf *lbuf_init(const char *name, lbuf_item_proc construct, lbuf_item_proc destroy, void *user,
                size_t item_size);
// Clears, then frees the pool.
void lbuf_exit(lbuf *pool);

// Item of size bytes (zeroed on request), constructed and appended; null on failure.
void *lbuf_malloc(lbuf *pool, size_t size, bool zero);
// Item of the pool's item size, not zeroed.
void *lbuf_slab_malloc(lbuf *pool);
// Destroys, unlinks and frees; null is ignored.
void lbuf_free(lbuf *pool, void *item);
// Destroys and frees every item.
void lbuf_clear(lbuf *pool);

// Items allocated and not yet freed.
size_t lbuf_count(lbuf *pool);
const char *lbuf_name(lbuf *pool);
// The pool an item came from and its requested size (null / 0 for null).
lbuf *lbuf_item_pool(const void *item);
size_t lbuf_item_size(const void *item);

// Walking the list: hold the pool's (recursive) lock around first/next when
// other threads may change it. Take the next item before freeing the current one.
void lbuf_lock(lbuf *pool);
void lbuf_unlock(lbuf *pool);
void *lbuf_first(lbuf *pool);
void *lbuf_next(lbuf *pool, void *item);
