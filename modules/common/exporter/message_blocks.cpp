/*
 * Exporter: the memory log messages are built in and queued in.
 *
 * A message lives in one block (its record, its endpoint copy, its
 * bytes).  Blocks come in size classes, powers of two from 1 KiB to
 * 128 KiB, and a freed block waits on its class's free list for the next
 * message of the class: at a steady rate a worker allocates nothing per
 * message.  The free lists keep at most a quarter of the budget; a block
 * past that, or larger than the largest class, goes back to malloc.
 *
 * It owns the worker's scratch buffer, where a message is written before
 * its length is known, and the free lists of blocks.  Blocks are taken and
 * given back on the event loop alone: a pool thread only reads a batch's
 * messages, and the batch's completion gives their blocks back.
 */
#include "log_queue_internal.h"
#include "nginx_ext_collector.h"

using kestrelvanes::log_queue::settings;

namespace {

/* block size classes: 1 KiB << 0 .. 1 KiB << 7 */
constexpr unsigned block_min_shift = 10;
constexpr ngx_uint_t block_classes = 8;
constexpr size_t block_max_size = (size_t) 1
                                  << (block_min_shift + block_classes - 1);

/*
 * The sanitized build allocates every block alone and just as large as
 * asked, as its pools allocate, so that an overrun or a use after free of
 * a message meets a redzone, not a neighbour or a reused block.
 */
#if (NGX_DEBUG_PALLOC)
constexpr bool blocks_alone = true;
#else
constexpr bool blocks_alone = false;
#endif

/* freed blocks of each class, waiting for a message; their total size */
struct free_block {
    free_block *next;
};

free_block *free_blocks[block_classes];
size_t cached_bytes;

/* The class of a block of at least size bytes; size <= block_max_size. */
ngx_uint_t
block_class(size_t size) noexcept
{
    if (size <= ((size_t) 1 << block_min_shift)) {
        return 0;
    }

    /* bits of size - 1: 2^bits is the least power of two >= size */
    unsigned bits = 8 * sizeof(unsigned long) - __builtin_clzl(size - 1);

    return bits - block_min_shift;
}

/* A block of at least size bytes: a cached one of its class, or malloc's. */
void *
block_alloc(size_t size, size_t *block_size) noexcept
{
    if (blocks_alone || size > block_max_size) {
        *block_size = size;
        return ngx_alloc(size, ngx_cycle->log);
    }

    ngx_uint_t k = block_class(size);
    *block_size = (size_t) 1 << (block_min_shift + k);

    free_block *b = free_blocks[k];
    if (b != NULL) {
        free_blocks[k] = b->next;
        cached_bytes -= *block_size;
        return b;
    }

    return ngx_alloc(*block_size, ngx_cycle->log);
}

/* A block back to its class's list, or to malloc past the cache's bound. */
void
block_free(void *p, size_t block_size) noexcept
{
    if (blocks_alone || block_size > block_max_size
        || cached_bytes + block_size > settings.queue_memory / 4) {
        ngx_free(p);
        return;
    }

    ngx_uint_t k = block_class(block_size);
    auto *b = static_cast<free_block *>(p);

    b->next = free_blocks[k];
    free_blocks[k] = b;
    cached_bytes += block_size;
}

} /* namespace */

namespace kestrelvanes::log_queue {

/* At the worker's end: the cached blocks go back to malloc. */
void
release_blocks() noexcept
{
    for (ngx_uint_t k = 0; k < block_classes; k++) {
        while (free_blocks[k] != NULL) {
            free_block *b = free_blocks[k];
            free_blocks[k] = b->next;
            ngx_free(b);
        }
    }

    cached_bytes = 0;
}

} /* namespace kestrelvanes::log_queue */

extern "C" {

/*
 * Messages are written into one buffer of the worker, of the largest
 * total size asked for so far, then copied into a block just as long as
 * they came out: the queue holds only bytes to send, and no message pays
 * for a buffer of the total size.  Only the event loop builds messages,
 * one at a time.
 */
u_char *
ngx_ext_exporter_scratch(size_t size) noexcept
{
    static u_char *scratch;
    static size_t scratch_size;

    if (scratch_size >= size) {
        return scratch;
    }

    auto *p = static_cast<u_char *>(ngx_alloc(size, ngx_cycle->log));
    if (p == NULL) {
        return NULL;
    }

    ngx_free(scratch);
    scratch = p;
    scratch_size = size;

    return p;
}

/*
 * Fills a new block's message record and, unless its collector's record
 * names the endpoint, copies the endpoint after it; returns where the
 * message's bytes start.
 */
static u_char *
block_head(ngx_ext_access_log_msg_t *m, size_t block_size,
           const ngx_str_t *opc_endpoint,
           ngx_ext_collector_t *collector) noexcept
{
    ngx_memzero(m, sizeof(ngx_ext_access_log_msg_t));
    m->block_size = block_size;
    m->collector = collector;

    auto *p = reinterpret_cast<u_char *>(m + 1);

    if (collector != NULL) {
        m->opc_endpoint = collector->url;

    } else {
        m->opc_endpoint.len = opc_endpoint->len;
        m->opc_endpoint.data = p;
        p = ngx_cpymem(p, opc_endpoint->data, opc_endpoint->len);
        *p++ = '\0';
    }

    return p;
}

/*
 * A message of len bytes in a block of its own, its endpoint copied there
 * unless its collector's record names it.  The budget is checked before
 * the block is taken: a message past it is dropped and counted here.
 */
ngx_int_t
ngx_ext_exporter_new_message(size_t len, const ngx_str_t *opc_endpoint,
                             ngx_ext_collector_t *collector,
                             ngx_ext_access_log_msg_t **msg) noexcept
{
    if (opc_endpoint == NULL || opc_endpoint->len == 0) {
        kestrelvanes::count(log_stats.task_srv_nil);
        return NGX_ERROR;
    }

    if (!ngx_ext_exporter_has_room(len)) {
        kestrelvanes::count(log_stats.log_dropped_queue_full);
        return NGX_DECLINED;
    }

    /* a collector's URL lives as long as the worker's configuration */
    size_t endpoint_size = collector ? 0 : opc_endpoint->len + 1;
    size_t block_size;
    auto *m = static_cast<ngx_ext_access_log_msg_t *>(block_alloc(
        sizeof(ngx_ext_access_log_msg_t) + endpoint_size + len, &block_size));

    if (m == NULL) {
        kestrelvanes::count(log_stats.pool_create_failed);
        return NGX_ERROR;
    }

    u_char *p = block_head(m, block_size, opc_endpoint, collector);

    m->request = p;
    m->len = len;
    *msg = m;

    return NGX_OK;
}

/*
 * A block for a message of at most room bytes, to be written in place
 * and then closed with its length.  Nothing is counted or charged yet: a
 * builder without one writes its message the other way.
 */
ngx_int_t
ngx_ext_exporter_open_message(size_t room, const ngx_str_t *opc_endpoint,
                              ngx_ext_collector_t *collector,
                              ngx_ext_access_log_msg_t **msg) noexcept
{
    if (opc_endpoint == NULL || opc_endpoint->len == 0) {
        return NGX_DECLINED;
    }

    size_t endpoint_size = collector ? 0 : opc_endpoint->len + 1;
    size_t head = sizeof(ngx_ext_access_log_msg_t) + endpoint_size;
    size_t block_size;
    auto *m = static_cast<ngx_ext_access_log_msg_t *>(
        block_alloc(head + room, &block_size));

    if (m == NULL) {
        return NGX_DECLINED;
    }

    u_char *p = block_head(m, block_size, opc_endpoint, collector);

    /* the whole rest of the block is the builder's */
    m->request = p;
    m->len = block_size - head;
    *msg = m;

    return NGX_OK;
}

/*
 * The message opened in place is len bytes long.  It is charged like
 * one that new_message gave (past the budget it is dropped and counted),
 * and a message that a block of a smaller class holds moves there, so
 * that the queue holds the same blocks either way.
 */
ngx_int_t
ngx_ext_exporter_close_message(ngx_ext_access_log_msg_t **msg,
                               size_t len) noexcept
{
    ngx_ext_access_log_msg_t *m = *msg;
    size_t head = m->request - reinterpret_cast<u_char *>(m);
    size_t need = head + len;

    *msg = NULL;

    bool smaller =
        !blocks_alone
        && (m->block_size > block_max_size ? need < m->block_size
                                           : need <= m->block_size / 2);

    if (!smaller) {
        if (!ngx_ext_exporter_has_room(len)) {
            block_free(m, m->block_size);
            kestrelvanes::count(log_stats.log_dropped_queue_full);
            return NGX_DECLINED;
        }

        m->len = len;
        *msg = m;
        return NGX_OK;
    }

    ngx_ext_access_log_msg_t *n;
    ngx_int_t rc =
        ngx_ext_exporter_new_message(len, &m->opc_endpoint, m->collector, &n);
    if (rc == NGX_OK) {
        ngx_memcpy(n->request, m->request, len);
        *msg = n;
    }

    block_free(m, m->block_size);

    return rc;
}

/* A message that was not posted, or whose batch is done. */
void
ngx_ext_exporter_free_message(ngx_ext_access_log_msg_t *msg) noexcept
{
    block_free(msg, msg->block_size);
}

} /* extern "C" */
