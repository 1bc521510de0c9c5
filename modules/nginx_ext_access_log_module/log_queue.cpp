/*
 * Access-log module: the worker's queue of log messages and the batches
 * that carry them to the collector.
 *
 * A message built on the event loop joins the lane of the connection it
 * will leave by.  A message of a location that names a collector leaves
 * by one of that collector's own lanes, each with its own connection
 * (ext_num_socket_conns of them, chosen by the client connection), and by
 * no other: each collector gets its locations' exchanges and nothing
 * else.  A response log leaves by the lane of the authorization server's
 * URL, whose connection the URL-keyed list keeps.  A lane with no batch
 * in flight posts one thread task carrying everything queued on it, the
 * way nginx's threaded file writes carry a chain; the pool thread writes
 * the whole batch over the lane's peer, and the completion handler frees
 * the batch's messages and posts the next batch if messages arrived
 * meanwhile.  One post, one
 * wake-up, one check of the connection and one completion serve many
 * messages, and the messages of a lane leave in the order they were
 * built.  Lanes send in parallel, each on a pool thread of its own.
 *
 * A batch costs the sender about as much as twenty messages in it, so a
 * lane that holds only a few waits for more: its first message starts the
 * batch delay, and the batch goes when the delay is over, or at the end of
 * the event loop's pass once the lane holds a full batch (one sendmsg()
 * worth of messages, or enough bytes).  Under load batches fill long
 * before the delay; at moderate rates the delay gathers them.  Clients
 * never wait for it: the message is built when the response is.
 *
 * What the queue holds is bounded by the memory budget: past it, a new
 * message is dropped and counted, never queued.  A burst that fills the
 * queue costs only the messages over the budget; backoff starts when the
 * collector is down or refuses the bytes, not because a queue was full.
 *
 * A message lives in one block (its record, its endpoint copy, its
 * bytes).  Blocks come in size classes, powers of two from 1 KiB to
 * 128 KiB, and a freed block waits on its class's free list for the next
 * message of the class: at a steady rate a worker allocates nothing per
 * message.  The free lists keep at most a quarter of the budget; a block
 * past that, or larger than the largest class, goes back to malloc.
 *
 * A worker that exits gracefully (quit, reload) first sends what it
 * holds.  nginx closes its idle connections as it starts exiting, and one
 * idle connection of this file, which never carries bytes, hears of it:
 * every lane's batch goes at once, and a guard timer, not cancelable, keeps
 * the worker until nothing is held.  The guard bounds the flush: when it
 * fires and nothing but it keeps the worker, the flush is given up, the
 * messages still held are counted as failed and the worker ends.  A fast
 * stop waits for nothing.
 *
 * Lanes, the queue, the budget and the blocks belong to the event loop; a
 * batch in flight belongs to its pool thread until its completion runs.
 * Blocks are taken and given back on the event loop alone: the pool
 * thread only reads a batch's messages, and nginx hands the finished task
 * back to the event loop under its thread pool's lock, so a block is
 * reused only after the thread is done with it.
 */
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_collector.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdio>

namespace {

/*
 * Besides its bytes, a queued message holds its record, its endpoint copy
 * and the rest of its block, and what malloc keeps for them.
 */
constexpr size_t message_overhead = 512;

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

/* the authorization servers' URLs in use at once (64 URL-keyed peers) */
constexpr ngx_uint_t max_lanes = 128;

/*
 * Collectors a worker keeps lanes and connections for at once.  A
 * configuration may name any number: past this many, the one used least
 * recently, among those whose lanes hold nothing, is closed and its lanes
 * go to the next, as the URL-keyed list does with its peers.
 */
constexpr ngx_uint_t max_collectors = 64;

/*
 * A lane holding this much posts its batch without waiting out the delay:
 * the messages of one sendmsg(), or bytes enough that a batch's cost is
 * small beside theirs.
 */
constexpr ngx_uint_t full_batch_messages = NGX_IOVS_PREALLOCATE;
constexpr size_t full_batch_bytes = 256 * 1024;

/* after a failed set-up, the thread rests before it tries again */
constexpr useconds_t init_failure_pause_us = 1000000;

/*
 * How long a graceful exit waits for the collector once nothing else
 * keeps the worker: one collector wait, the longest a single write or
 * exchange may take.
 */
constexpr ngx_msec_t exit_flush_bound = 5000;

struct log_lane;

/* The payload of a lane's task: the messages of one batch. */
struct log_batch {
    log_lane *lane;
    ngx_transport_item_t *first;
    ngx_uint_t count;
};

struct log_lane {
    ngx_transport_peer_t *peer; /* a collector lane's own; NULL: a URL lane */
    ngx_str_t url;              /* a URL lane's key, in a message it holds */
    ngx_transport_item_t *head; /* queued, not yet in a batch */
    ngx_transport_item_t **last;
    ngx_uint_t queued;
    size_t queued_bytes;
    ngx_uint_t held; /* messages queued or in flight */
    ngx_thread_pool_t *thread_pool;
    ngx_thread_task_t *task; /* reused by every batch of the lane */
    ngx_event_t post;        /* posts the batch once the pass is done */
    ngx_event_t delay;       /* the batch delay of the oldest queued message */
    bool due; /* the delay is over: post once nothing is in flight */
    bool in_flight;
};

size_t
message_cost(size_t len) noexcept
{
    return len + message_overhead;
}

/*
 * One collector's lanes in this worker, one per connection; the peers
 * are theirs for as long as the collector keeps them.
 */
struct collector_lanes {
    ngx_ext_collector_t *collector;
    log_lane *lanes;
    ngx_uint_t count;
    uint64_t last_used;
};

log_lane lanes[max_lanes]; /* URL lanes */
ngx_uint_t lanes_used;
size_t held_bytes;

/* freed blocks of each class, waiting for a message; their total size */
struct free_block {
    free_block *next;
};

free_block *free_blocks[block_classes];
size_t cached_bytes;

collector_lanes collector_set[max_collectors];
ngx_uint_t collectors_used;
uint64_t collector_uses;

/* by a collector's index in the configuration: its lanes, or NULL */
collector_lanes **lanes_of;
ngx_uint_t lanes_of_size;

/* the worker is exiting and sends what it holds before it ends */
bool flushing;

/* hears from nginx that the worker starts exiting; NULL once it has */
ngx_connection_t *exit_watch;

/* keeps the exiting worker while messages are held, up to the bound */
ngx_event_t exit_guard;

std::atomic<bool> priority_set{false};

void batch_handler(void *data, ngx_log_t *log) noexcept;
void batch_completion(ngx_event_t *ev) noexcept;
void post_batch_handler(ngx_event_t *ev) noexcept;
void batch_delay_handler(ngx_event_t *ev) noexcept;
void release_exit() noexcept;

ngx_ext_access_log_msg_t *
message_of(ngx_transport_item_t *item) noexcept
{
    return reinterpret_cast<ngx_ext_access_log_msg_t *>(
        reinterpret_cast<u_char *>(item)
        - offsetof(ngx_ext_access_log_msg_t, item));
}

/* Calls fn for every lane: the URL lanes, then every collector's. */
template <typename Fn>
void
for_each_lane(Fn fn) noexcept
{
    for (ngx_uint_t i = 0; i < lanes_used; i++) {
        fn(&lanes[i]);
    }

    for (ngx_uint_t i = 0; i < collectors_used; i++) {
        for (ngx_uint_t j = 0; j < collector_set[i].count; j++) {
            fn(&collector_set[i].lanes[j]);
        }
    }
}

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
        || cached_bytes + block_size > queue_memory_budget / 4) {
        ngx_free(p);
        return;
    }

    ngx_uint_t k = block_class(block_size);
    auto *b = static_cast<free_block *>(p);

    b->next = free_blocks[k];
    free_blocks[k] = b;
    cached_bytes += block_size;
}

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

bool
same_url(const log_lane *lane, const ngx_str_t *url) noexcept
{
    return lane->url.len == url->len
           && ngx_strncmp(lane->url.data, url->data, url->len) == 0;
}

/* A lane's task lives as long as the worker, and serves all its batches. */
bool
lane_init(log_lane *lane) noexcept
{
    if (lane->task != NULL) {
        return true;
    }

    lane->task = ngx_thread_task_alloc(ngx_cycle->pool, sizeof(log_batch));
    if (lane->task == NULL) {
        return false;
    }

    auto *batch = static_cast<log_batch *>(lane->task->ctx);
    batch->lane = lane;

    lane->task->handler = batch_handler;
    lane->task->event.handler = batch_completion;
    lane->task->event.data = batch;
    lane->task->event.log = ngx_cycle->log;

    lane->post.handler = post_batch_handler;
    lane->post.data = lane;
    lane->post.log = ngx_cycle->log;

    lane->delay.handler = batch_delay_handler;
    lane->delay.data = lane;
    lane->delay.log = ngx_cycle->log;

    /*
     * The exit guard keeps an exiting worker while messages are held; the
     * flush posts waiting batches at once, so their delay holds nothing.
     */
    lane->delay.cancelable = 1;

    return true;
}

/* Room in lanes_of for the collector of this index. */
bool
index_room(ngx_uint_t index) noexcept
{
    if (index < lanes_of_size) {
        return true;
    }

    ngx_uint_t size = ngx_max(index + 1, 2 * lanes_of_size);
    auto **grown = static_cast<collector_lanes **>(
        ngx_calloc(size * sizeof(collector_lanes *), ngx_cycle->log));
    if (grown == NULL) {
        return false;
    }

    if (lanes_of != NULL) {
        ngx_memcpy(grown, lanes_of, lanes_of_size * sizeof(collector_lanes *));
        ngx_free(lanes_of);
    }

    lanes_of = grown;
    lanes_of_size = size;
    return true;
}

/* Lanes and peers for one more collector, made once and kept. */
collector_lanes *
new_collector_lanes() noexcept
{
    collector_lanes *g = &collector_set[collectors_used];

    if (g->lanes == NULL) {
        auto *made = static_cast<log_lane *>(
            ngx_pcalloc(ngx_cycle->pool, num_socket_conns * sizeof(log_lane)));
        ngx_transport_peer_t *peers =
            made ? ngx_ext_peers_create(num_socket_conns, ngx_cycle->log)
                 : NULL;

        if (peers == NULL) {
            return NULL;
        }

        for (ngx_uint_t i = 0; i < num_socket_conns; i++) {
            made[i].peer = &peers[i];
            made[i].last = &made[i].head;
        }

        g->lanes = made;
        g->count = num_socket_conns;
    }

    for (ngx_uint_t i = 0; i < g->count; i++) {
        if (!lane_init(&g->lanes[i])) {
            return NULL;
        }
    }

    collectors_used++;
    return g;
}

/*
 * The lanes of the collector used least recently whose lanes hold nothing,
 * closed and taken from it; NULL when every collector has messages held.
 */
collector_lanes *
idle_collector_lanes() noexcept
{
    collector_lanes *best = NULL;

    for (ngx_uint_t i = 0; i < collectors_used; i++) {
        collector_lanes *g = &collector_set[i];
        bool idle = true;

        for (ngx_uint_t j = 0; j < g->count && idle; j++) {
            idle = g->lanes[j].held == 0;
        }

        if (idle && (best == NULL || g->last_used < best->last_used)) {
            best = g;
        }
    }

    if (best == NULL) {
        return NULL;
    }

    lanes_of[best->collector->index] = NULL;

    for (ngx_uint_t j = 0; j < best->count; j++) {
        ngx_ext_peer_close(best->lanes[j].peer, ngx_cycle->log);
    }

    return best;
}

/*
 * The lanes of the message's collector: those it has, else new ones (up
 * to max_collectors), else those of an idle collector.  NULL when every
 * collector has messages held, or memory ran out.
 */
collector_lanes *
lanes_for_collector(ngx_ext_collector_t *c) noexcept
{
    collector_lanes *g = c->index < lanes_of_size ? lanes_of[c->index] : NULL;

    if (g == NULL) {
        if (!index_room(c->index)) {
            return NULL;
        }

        g = collectors_used < max_collectors ? new_collector_lanes()
                                             : idle_collector_lanes();
        if (g == NULL) {
            return NULL;
        }

        g->collector = c;
        for (ngx_uint_t i = 0; i < g->count; i++) {
            g->lanes[i].url = c->url;
            g->lanes[i].peer->collector = c;
            g->lanes[i].peer->address_version = 0;
        }

        lanes_of[c->index] = g;
    }

    g->last_used = ++collector_uses;
    return g;
}

/*
 * The lane a message leaves by: one of its collector's, chosen by its
 * client connection so that the exchanges of one connection stay in
 * order, or its URL's.  A URL lane that holds nothing is free for any
 * URL; NULL when all are busy with others or memory ran out.
 */
log_lane *
lane_for(ngx_ext_access_log_msg_t *msg) noexcept
{
    if (msg->collector != NULL) {
        collector_lanes *g = lanes_for_collector(msg->collector);
        return g ? &g->lanes[msg->request_id % g->count] : NULL;
    }

    log_lane *idle = NULL;

    for (ngx_uint_t i = 0; i < lanes_used; i++) {
        log_lane *lane = &lanes[i];

        if (lane->held == 0) {
            if (idle == NULL) {
                idle = lane;
            }
            continue;
        }

        if (same_url(lane, &msg->opc_endpoint)) {
            return lane;
        }
    }

    if (idle == NULL) {
        if (lanes_used == max_lanes) {
            return NULL;
        }
        idle = &lanes[lanes_used++];
    }

    if (!lane_init(idle)) {
        return NULL;
    }

    idle->peer = NULL;
    idle->url = msg->opc_endpoint;
    idle->head = NULL;
    idle->last = &idle->head;

    return idle;
}

void
free_message(log_lane *lane, ngx_ext_access_log_msg_t *msg) noexcept
{
    held_bytes -= message_cost(msg->len);
    lane->held--;
    ngx_ext_access_log_free_message(msg);

    if (held_bytes == 0) {
        release_exit();
    }
}

/* The messages of a batch; its task is the lane's and stays. */
void
free_batch(log_batch *batch) noexcept
{
    ngx_transport_item_t *item = batch->first;

    while (item != NULL) {
        ngx_transport_item_t *next = item->next;
        free_message(batch->lane, message_of(item));
        item = next;
    }

    batch->first = NULL;
    batch->count = 0;
}

/* Empties the lane's queue, its delay with it; the list is the caller's. */
ngx_transport_item_t *
take_queued(log_lane *lane) noexcept
{
    ngx_transport_item_t *head = lane->head;

    *lane->last = NULL;
    lane->head = NULL;
    lane->last = &lane->head;
    lane->queued = 0;
    lane->queued_bytes = 0;
    lane->due = false;

    if (lane->delay.timer_set) {
        ngx_del_timer(&lane->delay);
    }

    return head;
}

/* Whether what the lane holds should go as soon as nothing is in flight. */
bool
lane_is_due(const log_lane *lane) noexcept
{
    return lane->due || log_batch_delay == 0 || flushing
           || lane->queued >= full_batch_messages
           || lane->queued_bytes >= full_batch_bytes;
}

/* While the lane has no batch in flight, everything queued goes. */
void
post_batch(log_lane *lane) noexcept
{
    if (lane->in_flight || lane->head == NULL) {
        return;
    }

    auto *batch = static_cast<log_batch *>(lane->task->ctx);

    batch->count = lane->queued;
    batch->first = take_queued(lane);

    if (ngx_thread_task_post(lane->thread_pool, lane->task) != NGX_OK) {
        kestrelvanes::count(log_stats.task_post_failed, batch->count);
        free_batch(batch);
        ngx_handle_enqueue_failure();
        return;
    }

    lane->in_flight = true;
}

/*
 * Messages built in one pass of the event loop leave together: the batch
 * is posted once the pass has handled its events.
 */
void
post_batch_handler(ngx_event_t *ev) noexcept
{
    post_batch(static_cast<log_lane *>(ev->data));
}

void
post_batch_later(log_lane *lane) noexcept
{
    if (!lane->in_flight && !lane->post.posted) {
        ngx_post_event(&lane->post, &ngx_posted_events);
    }
}

/*
 * The oldest queued message has waited long enough.  With a batch still
 * in flight, its completion posts the next.
 */
void
batch_delay_handler(ngx_event_t *ev) noexcept
{
    auto *lane = static_cast<log_lane *>(ev->data);

    lane->due = true;
    post_batch(lane);
}

/* A message joined the lane: its batch goes now, or after the delay. */
void
schedule_batch(log_lane *lane) noexcept
{
    if (lane_is_due(lane)) {
        post_batch_later(lane);
        return;
    }

    if (!lane->delay.timer_set) {
        ngx_add_timer(&lane->delay, log_batch_delay);
    }
}

/* Backoff and level checks, once for the whole batch; true means send. */
bool
batch_may_be_sent(log_batch *batch, ngx_log_t *log) noexcept
{
    if (ngx_check_backoff_on() == NGX_ERROR) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "ngx_ext_access_log_thread_handler: skipping logs due to "
                      "backoff");
        kestrelvanes::count(log_stats.log_skipped_in_backoff, batch->count);
        return false;
    }

    if (should_log_thread() == -1) {
        kestrelvanes::count(log_stats.log_dropped_thread, batch->count);
        return false;
    }

    return true;
}

void
count_send_failure(ngx_ext_access_log_msg_t *msg) noexcept
{
    kestrelvanes::count(msg->msg_type == AUTHZ_LOG
                            ? log_stats.authz_logs_send_fail
                            : log_stats.logs_send_fail);
}

/*
 * Messages the worker gave up on as it ended (a fast stop, or a flush
 * past its bound) count as failed sends: the last statistics document of
 * a graceful exit reports them.  A message nobody tried to write is
 * still pending, as it was built (zero-filled).
 */
void
count_abandoned(ngx_transport_item_t *item) noexcept
{
    for (; item != NULL; item = item->next) {
        if (item->state == NGX_EXT_ITEM_PENDING) {
            count_send_failure(message_of(item));
        }
    }
}

/* The senders stop: a fast stop, or an exit flush past its bound. */
bool
senders_stopped() noexcept
{
    return kestrelvanes::worker_terminating()
           || ngx_transport_senders_stop.load(std::memory_order_relaxed);
}

/*
 * Counts every message that did not go out whole, as a lone send would.
 * A collector that is down or refuses what it is sent starts a backoff,
 * before the batch's one error line (rather than one per message).
 */
void
count_outcome(log_batch *batch, ngx_log_t *log) noexcept
{
    ngx_ext_access_log_msg_t *first_failed = NULL;
    ngx_uint_t failed = 0;

    for (ngx_transport_item_t *item = batch->first; item; item = item->next) {
        if (item->state == NGX_EXT_ITEM_SENT
            || item->state == NGX_EXT_ITEM_PENDING) {
            continue;
        }

        ngx_ext_access_log_msg_t *msg = message_of(item);

        count_send_failure(msg);
        if (first_failed == NULL) {
            first_failed = msg;
        }
        failed++;
    }

    if (first_failed == NULL) {
        return;
    }

    ngx_handle_enqueue_failure();

    ngx_log_error(NGX_LOG_ERR, log, 0,
                  "[KESTRELVANES] thread_handler: send failed, ret=%z, "
                  "msg_type=%d (%ui of %ui messages)",
                  first_failed->item.state == NGX_EXT_ITEM_NO_PEER
                      ? (ssize_t) -1
                      : (ssize_t) 0,
                  (int) first_failed->msg_type, failed, batch->count);
}

/* A collector lane's own peer, or the URL-keyed peer of a URL lane. */
ngx_transport_peer_t *
batch_peer(log_batch *batch, ngx_log_t *log) noexcept
{
    if (batch->lane->peer != NULL) {
        return batch->lane->peer;
    }

    return ngx_ext_access_log_get_peer(ngx_ext_peer_pool(log),
                                       &message_of(batch->first)->opc_endpoint);
}

/*
 * Sends the batch over its lane's peer.  A URL-keyed peer may go to
 * another URL between its lookup and the send; the batch then looks again
 * once.  NGX_DECLINED when it found no peer.
 */
ngx_int_t
send_batch(log_batch *batch, ngx_log_t *log) noexcept
{
    ngx_ext_access_log_msg_t *first = message_of(batch->first);
    ngx_int_t rc = NGX_DECLINED;

    for (int lookup = 0; lookup < 2 && rc == NGX_DECLINED; lookup++) {
        ngx_transport_peer_t *peer = batch_peer(batch, log);
        if (peer == NULL) {
            break;
        }

        /* a URL's address is parsed in a pool of the connection's own */
        rc = ngx_transport_send_batch(peer, batch->first, log,
                                      &first->opc_endpoint, NULL);
    }

    return rc;
}

void
trace_batch(log_batch *batch, ngx_log_t *log) noexcept
{
    if (log->log_level < NGX_LOG_DEBUG) {
        return;
    }

    for (ngx_transport_item_t *item = batch->first; item; item = item->next) {
        ngx_ext_access_log_msg_t *msg = message_of(item);

        ngx_log_error(
            NGX_LOG_DEBUG, log, 0,
            "[KESTRELVANES] thread_handler: sending msg_type=%d, len=%uz, "
            "request_id=%uL",
            (int) msg->msg_type, msg->len, (uint64_t) msg->request_id);
    }
}

/* In a pool thread: the whole batch over the lane's peer. */
void
batch_handler(void *data, ngx_log_t *log) noexcept
{
    auto *batch = static_cast<log_batch *>(data);

    /*
     * nginx runs the pool's queue out before the worker ends; a graceful
     * exit sends it, a stopping one only counts it.
     */
    if (senders_stopped()) {
        ngx_log_error(
            NGX_LOG_INFO, log, 0,
            "Kestrelvanes: ngx_ext_access_log_thread_handler exiting");
        count_abandoned(batch->first);
        return;
    }

    kestrelvanes::count(log_stats.task_callback, batch->count);

    ngx_ext_set_sender_priority(log);

    if (!batch_may_be_sent(batch, log)) {
        return;
    }

    trace_batch(batch, log);

    ngx_int_t rc = send_batch(batch, log);

    if (rc == NGX_DECLINED) {
        for (ngx_transport_item_t *i = batch->first; i; i = i->next) {
            count_send_failure(message_of(i));
        }
        return;
    }

    count_outcome(batch, log);

    if (rc == NGX_DONE) {
        count_abandoned(batch->first);
        return;
    }

    /*
     * A collector that is down is not asked again at once; an exiting
     * worker does not rest, its flush has a bound to keep.
     */
    if (rc == NGX_ERROR && !kestrelvanes::worker_stopping()) {
        usleep(init_failure_pause_us);
    }
}

/* In the event loop once the thread is done with the batch. */
void
batch_completion(ngx_event_t *ev) noexcept
{
    auto *batch = static_cast<log_batch *>(ev->data);
    log_lane *lane = batch->lane;

    kestrelvanes::count(log_stats.task_completed, batch->count);

    lane->in_flight = false;
    free_batch(batch);

    /* a URL lane's key must live in a message it still holds */
    if (lane->peer == NULL && lane->head != NULL) {
        lane->url = message_of(lane->head)->opc_endpoint;
    }

    /* what arrived meanwhile goes on now, or once its delay is over */
    if (lane_is_due(lane)) {
        post_batch(lane);
    }
}

/* Messages queued on the lane, not yet in a batch, are given up. */
ngx_uint_t
drop_queued(log_lane *lane) noexcept
{
    ngx_transport_item_t *item = take_queued(lane);
    ngx_uint_t dropped = 0;

    while (item != NULL) {
        ngx_transport_item_t *next = item->next;
        ngx_ext_access_log_msg_t *msg = message_of(item);

        count_send_failure(msg);
        free_message(lane, msg);
        dropped++;
        item = next;
    }

    return dropped;
}

/* While an exiting worker holds messages, the guard keeps it. */
void
hold_exit() noexcept
{
    if (flushing && held_bytes != 0 && !exit_guard.timer_set) {
        ngx_add_timer(&exit_guard, exit_flush_bound);
    }
}

/* Nothing is held any more: the worker may end. */
void
release_exit() noexcept
{
    if (exit_guard.timer_set) {
        ngx_del_timer(&exit_guard);
    }
}

/*
 * The flush has had its time.  While nginx keeps the worker for its own
 * reasons (requests still being served hold timers of their own), the
 * flush goes on: it delays nothing.  Once the guard alone would keep the
 * worker, what is still held is given up: queued messages are counted
 * and freed here, batches under way stop at their next write and count
 * what they did not send, and the worker ends.
 */
void
exit_guard_handler(ngx_event_t *ev) noexcept
{
    if (held_bytes == 0) {
        return;
    }

    if (ngx_event_no_timers_left() != NGX_OK) {
        ngx_add_timer(ev, exit_flush_bound);
        return;
    }

    ngx_transport_senders_stop.store(true, std::memory_order_relaxed);

    ngx_uint_t dropped = 0;

    for_each_lane([&dropped](log_lane *lane) { dropped += drop_queued(lane); });

    ngx_log_error(NGX_LOG_WARN, ev->log, 0,
                  "[KESTRELVANES] exiting: the collector took too long, "
                  "%ui queued log messages dropped, batches under way "
                  "abandoned",
                  dropped);
}

/*
 * nginx closes idle connections right after it has begun a graceful
 * exit: from now on nothing waits for company, and the guard holds the
 * worker until what it holds has gone.
 */
void
exit_started(ngx_event_t *ev) noexcept
{
    auto *c = static_cast<ngx_connection_t *>(ev->data);

    ngx_close_connection(c);
    exit_watch = NULL;

    if (!ngx_exiting) {
        return;
    }

    flushing = true;

    for_each_lane([](log_lane *lane) {
        if (lane->delay.timer_set) {
            ngx_del_timer(&lane->delay);
        }

        /* a lane with a batch in flight posts the rest at its completion */
        post_batch(lane);
    });

    hold_exit();
}

} /* namespace */

extern "C" {

size_t queue_memory_budget = 32 * 1024 * 1024;
ngx_msec_t log_batch_delay = 5;

/*
 * Messages are written into one buffer of the worker, of the largest
 * total size asked for so far, then copied into a block just as long as
 * they came out: the queue holds only bytes to send, and no message pays
 * for a buffer of the total size.  Only the event loop builds messages,
 * one at a time.
 */
u_char *
ngx_ext_access_log_scratch(size_t size) noexcept
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

/* Whether a message of len bytes fits the budget beside what is held. */
bool
ngx_ext_access_log_queue_has_room(size_t len) noexcept
{
    return held_bytes + message_cost(len) <= queue_memory_budget;
}

/*
 * A message of len bytes in a block of its own, its endpoint copied there
 * unless its collector's record names it.  The budget is checked before
 * the block is taken: a message past it is dropped and counted here.
 */
ngx_int_t
ngx_ext_access_log_new_message(size_t len, const ngx_str_t *opc_endpoint,
                               ngx_ext_collector_t *collector,
                               ngx_ext_access_log_msg_t **msg) noexcept
{
    if (opc_endpoint == NULL || opc_endpoint->len == 0) {
        kestrelvanes::count(log_stats.task_srv_nil);
        return NGX_ERROR;
    }

    if (!ngx_ext_access_log_queue_has_room(len)) {
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

    m->request = p;
    m->len = len;
    *msg = m;

    return NGX_OK;
}

/* A message that was not posted, or whose batch is done. */
void
ngx_ext_access_log_free_message(ngx_ext_access_log_msg_t *msg) noexcept
{
    block_free(msg, msg->block_size);
}

/*
 * Takes over the message: it is queued, or freed and counted.  The
 * message is freed by the completion of the batch that carried it.
 */
ngx_int_t
ngx_ext_access_log_post_message(ngx_ext_access_log_msg_t *msg,
                                ngx_atomic_uint_t connection,
                                log_msg_type_t msg_type,
                                ngx_thread_pool_t *thread_pool) noexcept
{
    size_t cost = message_cost(msg->len);

    msg->request_id = connection;
    msg->msg_type = msg_type;

    if (thread_pool == NULL) {
        ngx_ext_access_log_free_message(msg);
        ngx_handle_enqueue_failure();
        kestrelvanes::count(log_stats.task_post_failed);
        return NGX_ERROR;
    }

    log_lane *lane =
        held_bytes + cost <= queue_memory_budget ? lane_for(msg) : NULL;

    if (lane == NULL) {
        ngx_ext_access_log_free_message(msg);
        kestrelvanes::count(log_stats.log_dropped_queue_full);
        return NGX_DECLINED;
    }

    msg->item.data = msg->request;
    msg->item.len = msg->len;
    msg->item.next = NULL;
    *lane->last = &msg->item;
    lane->last = &msg->item.next;
    lane->queued++;
    lane->queued_bytes += msg->len;
    lane->held++;
    lane->thread_pool = thread_pool;
    held_bytes += cost;

    kestrelvanes::count(log_stats.tasks_enqueued);

    schedule_batch(lane);

    /* a request that ends while the worker exits is flushed too */
    if (flushing) {
        hold_exit();
    }

    return NGX_OK;
}

/*
 * At worker start: an idle connection for nginx to close when a graceful
 * exit begins.  It has a socket of its own, never read nor written, so
 * that nginx counts it among open connections; no event is ever
 * registered for it.
 */
ngx_int_t
ngx_ext_access_log_watch_exit(ngx_cycle_t *cycle) noexcept
{
    exit_guard.handler = exit_guard_handler;
    exit_guard.log = cycle->log;
    /* timer debug lines read a connection's fd at data, as nginx's do */
    exit_guard.data = cycle;

    ngx_socket_t s = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (s == (ngx_socket_t) -1) {
        ngx_log_error(NGX_LOG_ERR, cycle->log, ngx_socket_errno,
                      "[KESTRELVANES] no socket to watch for the worker's "
                      "exit: queued logs are not sent at exit");
        return NGX_ERROR;
    }

    ngx_connection_t *c = ngx_get_connection(s, cycle->log);
    if (c == NULL) {
        ngx_close_socket(s);
        return NGX_ERROR;
    }

    c->idle = 1;
    c->read->handler = exit_started;
    c->read->data = c;
    c->read->log = cycle->log;
    c->write->log = cycle->log;
    exit_watch = c;

    return NGX_OK;
}

/*
 * At worker end, once the thread pools have run out: messages still
 * queued (a fast stop, a flush given up, or a worker that could not
 * watch for its exit) are counted as failed and freed.
 */
void
ngx_ext_access_log_exit_worker(void) noexcept
{
    /* a fast stop ends the worker before nginx closes idle connections */
    if (exit_watch != NULL) {
        ngx_close_connection(exit_watch);
        exit_watch = NULL;
    }

    for_each_lane([](log_lane *lane) {
        if (lane->head != NULL) {
            drop_queued(lane);
        }
    });
}

/* Only the first sending thread of a worker is re-prioritised. */
void
ngx_ext_set_sender_priority(ngx_log_t *log) noexcept
{
    if (priority_set.exchange(true)) {
        return;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "ngx_ext_access_log_thread_handler thread_priority: %d",
                  (int) thread_priority);

    if (thread_priority == 0) {
        return;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "ngx_ext_access_log_thread_handler before setting priority: "
                  "%d",
                  getpriority(PRIO_PROCESS, 0));

    if (setpriority(PRIO_PROCESS, 0, static_cast<int>(thread_priority)) == -1) {
        perror("setpriority");
    }

    ngx_log_error(
        NGX_LOG_DEBUG, log, 0,
        "ngx_ext_access_log_thread_handler after setting priority: %d",
        getpriority(PRIO_PROCESS, 0));
}

/*
 * At worker exit, once nginx has ended the pool threads: a batch still in
 * flight was dropped by its thread (an exiting worker sends nothing more)
 * and its completion never runs, so its messages are freed here; the
 * queued ones stay in their lanes for the process to end with.  Without
 * this the batch's messages were lost with the cycle pool that held its
 * task, and the leak check of the sanitized build reported them after
 * every reload.  The cached blocks go back to malloc too.
 */
void
ngx_ext_access_log_queue_exit() noexcept
{
    for_each_lane([](log_lane *lane) {
        if (lane->in_flight && lane->task != NULL) {
            free_batch(static_cast<log_batch *>(lane->task->ctx));
            lane->in_flight = false;
        }
    });

    release_blocks();
}

} /* extern "C" */
