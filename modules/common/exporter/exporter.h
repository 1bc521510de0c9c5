/*
 * The exporter: what a module sees of the worker's way out to the
 * collector.  Behind it (this folder) are the per-worker lanes and their
 * batches, the message blocks, the sending threads and their priority,
 * the flush when a worker exits, and under those the connections, TLS,
 * backoff, collector records and peer pools.  A module asks for a
 * message of a known size for a destination, writes its bytes, and
 * submits it; it says when a heartbeat or a statistics document is due,
 * handing over how the document is written; at a worker's start it
 * passes the settings in, and at its end it lets the exporter flush and
 * release what it holds.  Nothing in this folder includes a module's
 * header.  All of it is called on the event loop.
 */
#ifndef NGINX_EXT_EXPORTER_H
#define NGINX_EXT_EXPORTER_H

#include "nginx_ext_peers.h"

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

/* the room for a statistics request, head and document */
#define NGX_EXT_STATS_REQUEST_SIZE 32768
/* the pool of a heartbeat or statistics message */
#define NGX_EXT_TIMER_POOL_SIZE 112

/*
 * How a statistics request is written, which the module hands over: write
 * puts the whole request (head and document) into buf and returns its
 * length, taking the counts it reports; unsent gives back the counts of
 * the last request written, which no collector received whole.  Both run
 * on a monitoring thread, one request at a time.
 */
typedef struct {
    size_t (*write)(u_char *buf, size_t size) noexcept;
    void (*unsent)(void) noexcept;
} ngx_ext_exporter_stats_t;

/* What the directives set for the exporter; the module passes it in. */
typedef struct {
    ngx_uint_t thread_priority; /* nice of the sending threads; 0: as is */
    size_t queue_memory;        /* what the queue may hold, in bytes */
    ngx_msec_t batch_delay;     /* how long a small batch waits for more */
} ngx_ext_exporter_conf_t;

namespace kestrelvanes::core {

/*
 * The collectors of the configuration being read, or of the one a worker
 * runs (an array of ngx_ext_collector_t *); NULL when it names none.
 */
extern ngx_array_t *ngx_ext_collectors;

/*
 * The record of the collector a directive names, made on its first
 * mention.  A URL is "http://host:port", "https://host:port" (the scheme
 * in any case) or "host:port" (plain TCP); the port defaults to the
 * scheme's; a path other than "/" is refused.  NULL after an emerg
 * message naming the directive.  A host name is resolved here: when that
 * fails, a warning says so and the collector has no address until a
 * worker's lookup finds one.
 */
ngx_ext_collector_t *ngx_ext_collector_add(ngx_conf_t *cf, ngx_str_t *url,
                                           ngx_str_t *directive) noexcept;

/*
 * At worker start: looks the named collectors up again every second,
 * through nginx's resolver (whose cache keeps the answers for their time
 * to live), each lookup bounded by the resolver's timeout.  Without a
 * resolver that has name servers, the addresses found at load stay.
 */
void ngx_ext_collectors_watch(ngx_cycle_t *cycle, ngx_array_t *collectors,
                              ngx_resolver_t *resolver,
                              ngx_msec_t timeout) noexcept;

} /* namespace kestrelvanes::core */

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
ngx_int_t ngx_ext_exporter_new_message(size_t len,
                                       const ngx_str_t *opc_endpoint,
                                       ngx_ext_collector_t *collector,
                                       ngx_ext_access_log_msg_t **msg) noexcept;
ngx_int_t ngx_ext_exporter_submit(ngx_ext_access_log_msg_t *msg,
                                  ngx_atomic_uint_t connection,
                                  log_msg_type_t msg_type,
                                  ngx_thread_pool_t *thread_pool) noexcept;
void ngx_ext_exporter_free_message(ngx_ext_access_log_msg_t *msg) noexcept;
/*
 * Or a builder that knows only a bound writes in place: it opens a block
 * with at least room bytes at msg->request (msg->len says how many; on
 * NGX_DECLINED nothing is taken or counted), writes, and closes it with
 * the length written, which charges the budget as new_message does
 * (NGX_DECLINED: past it, NGX_ERROR: no memory; counted, and the message
 * freed, *msg NULL), or frees it.
 */
ngx_int_t
ngx_ext_exporter_open_message(size_t room, const ngx_str_t *opc_endpoint,
                              ngx_ext_collector_t *collector,
                              ngx_ext_access_log_msg_t **msg) noexcept;
ngx_int_t ngx_ext_exporter_close_message(ngx_ext_access_log_msg_t **msg,
                                         size_t len) noexcept;
/* Whether a message of len bytes would fit the budget now. */
bool ngx_ext_exporter_has_room(size_t len) noexcept;
/* The worker's scratch buffer, where a message of unknown length is
 * written first; NULL without memory. */
u_char *ngx_ext_exporter_scratch(size_t size) noexcept;

/*
 * Heartbeats and statistics, to ext_stats_server: each is posted as a task
 * of its own to thread_pool, which sends it over the statistics peer and
 * reads the reply; a heartbeat's reply is applied (logging level, backoff,
 * sampling at once, bypass policies back on the event loop).  NGX_DECLINED
 * when no statistics server is set; NGX_ERROR, counted, when the task
 * could not be posted.
 */
ngx_int_t ngx_ext_exporter_send_stats(const ngx_ext_exporter_stats_t *stats,
                                      ngx_thread_pool_t *thread_pool) noexcept;
ngx_int_t
ngx_ext_exporter_send_heartbeat(ngx_thread_pool_t *thread_pool) noexcept;
/*
 * A statistics request sent here and now, on the event loop, waiting for
 * the reply within the collector's deadline: an exiting worker's last
 * one, once the thread pools have run out.  NGX_OK when it went.
 */
ngx_int_t
ngx_ext_exporter_send_last_stats(const ngx_ext_exporter_stats_t *stats,
                                 ngx_log_t *log) noexcept;

/*
 * At a worker's start: the watch for a graceful exit, which then flushes
 * what is held, bounded.  Without it the worker still runs; its exit
 * drops what it holds.
 */
ngx_int_t ngx_ext_exporter_watch_exit(ngx_cycle_t *cycle) noexcept;
/* At a worker's end, once the thread pools are done: what is left is
 * counted, batches in flight freed and the cached blocks released. */
void ngx_ext_exporter_exit_worker(void) noexcept;
void ngx_ext_exporter_queue_exit() noexcept;

} /* extern "C" */

#endif /* NGINX_EXT_EXPORTER_H */
