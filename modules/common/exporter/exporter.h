/*
 * The exporter: what a module sees of the worker's way out to the
 * collector.  Behind it (this folder) are the per-worker lanes and their
 * batches, the message blocks, the sending threads and their priority,
 * the flush when a worker exits, and under those the connections, TLS,
 * backoff, collector records and peer pools.  A module asks for a message of a known size for a
 * destination, writes its bytes, and submits it; at a worker's start it
 * passes the settings in, and at its end it lets the exporter flush and
 * release what it holds.  Nothing in this folder includes a module's
 * header.  All of it is called on the event loop.
 */
#ifndef NGINX_EXT_EXPORTER_H
#define NGINX_EXT_EXPORTER_H

#include "nginx_ext_common.h"

typedef enum {
    NONE = 0,
    ACCESS_LOG = 1,
    STATS = 2,
    AUTHZ_LOG = 3,
    HB = 4,
    MERGED_LOG = 5,
} log_msg_type_t;

/*
 * A message on its way to the collector.  A log message lives in a block
 * of the exporter's (message_blocks.cpp) with its bytes and its endpoint
 * copy; a heartbeat or statistics message lives in a pool of its own.  A
 * message of a location with a collector carries that collector's record
 * and leaves by its connections alone; the others go to the URL
 * opc_endpoint names (the authorization server that answered).
 */
typedef struct {
    u_char *request;
    size_t len;
    unsigned long request_id;
    ngx_pool_t *mem_pool; /* heartbeat and statistics: the message's pool */
    size_t block_size;    /* a log message: the size of its block */
    log_msg_type_t msg_type;
    ngx_ext_collector_t *collector;
    ngx_str_t opc_endpoint;
    ngx_transport_item_t item; /* its place in the queue and in a batch */
    ngx_str_t policies;        /* HB: the reply, for the completion to apply */
} ngx_ext_access_log_msg_t;

/* What the directives set for the exporter; the module passes it in. */
typedef struct {
    ngx_uint_t thread_priority; /* nice of the sending threads; 0: as is */
    size_t queue_memory;        /* what the queue may hold, in bytes */
    ngx_msec_t batch_delay;     /* how long a small batch waits for more */
} ngx_ext_exporter_conf_t;

extern "C" {

/*
 * The settings this worker's exporter works with, from its start on; the
 * values are copied.  Before any call the defaults of the directives
 * apply.
 */
void ngx_ext_exporter_configure(const ngx_ext_exporter_conf_t *conf) noexcept;

/*
 * A builder asks for a message of len bytes to the collector's record, or
 * else to the URL opc_endpoint names (NGX_DECLINED: past the memory
 * budget, NGX_ERROR: no endpoint or no memory; both counted), writes its
 * bytes at msg->request and submits it, or frees it.  Submitting hands
 * the message over whatever the outcome.
 */
ngx_int_t
ngx_ext_access_log_new_message(size_t len, const ngx_str_t *opc_endpoint,
                               ngx_ext_collector_t *collector,
                               ngx_ext_access_log_msg_t **msg) noexcept;
ngx_int_t ngx_ext_access_log_post_message(
    ngx_ext_access_log_msg_t *msg, ngx_atomic_uint_t connection,
    log_msg_type_t msg_type, ngx_thread_pool_t *thread_pool) noexcept;
void ngx_ext_access_log_free_message(ngx_ext_access_log_msg_t *msg) noexcept;
/*
 * Or a builder that knows only a bound writes in place: it opens a block
 * with at least room bytes at msg->request (msg->len says how many; on
 * NGX_DECLINED nothing is taken or counted), writes, and closes it with
 * the length written, which charges the budget as new_message does
 * (NGX_DECLINED: past it, NGX_ERROR: no memory; counted, and the message
 * freed, *msg NULL), or frees it.
 */
ngx_int_t
ngx_ext_access_log_open_message(size_t room, const ngx_str_t *opc_endpoint,
                                ngx_ext_collector_t *collector,
                                ngx_ext_access_log_msg_t **msg) noexcept;
ngx_int_t ngx_ext_access_log_close_message(ngx_ext_access_log_msg_t **msg,
                                           size_t len) noexcept;
/* Whether a message of len bytes would fit the budget now. */
bool ngx_ext_access_log_queue_has_room(size_t len) noexcept;
/* The worker's scratch buffer, where a message of unknown length is
 * written first; NULL without memory. */
u_char *ngx_ext_access_log_scratch(size_t size) noexcept;

/*
 * At a worker's start: the watch for a graceful exit, which then flushes
 * what is held, bounded.  Without it the worker still runs; its exit
 * drops what it holds.
 */
ngx_int_t ngx_ext_access_log_watch_exit(ngx_cycle_t *cycle) noexcept;
/* At a worker's end, once the thread pools are done: what is left is
 * counted, batches in flight freed and the cached blocks released. */
void ngx_ext_access_log_exit_worker(void) noexcept;
void ngx_ext_access_log_queue_exit() noexcept;

} /* extern "C" */

#endif /* NGINX_EXT_EXPORTER_H */
