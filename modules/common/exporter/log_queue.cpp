/*
 * Exporter: the worker's queue of log messages, its lanes, and
 * the batches that carry them to the collector.
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
 * The sending of a batch on its pool thread is in log_batch_send.cpp,
 * the flush at a graceful exit in log_exit_flush.cpp, the blocks a
 * message lives in in message_blocks.cpp.
 *
 * Lanes, the queue and the budget belong to the event loop; a batch in
 * flight belongs to its pool thread until its completion runs.  Messages
 * are freed on the event loop alone: the pool thread only reads a batch's
 * messages, and nginx hands the finished task back to the event loop
 * under its thread pool's lock, so a block is reused only after the
 * thread is done with it.
 */
#include "log_queue_internal.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_collector.h"

using namespace kestrelvanes::log_queue;

namespace {

/*
 * Besides its bytes, a queued message holds its record, its endpoint copy
 * and the rest of its block, and what malloc keeps for them.
 */
constexpr size_t message_overhead = 512;

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

collector_lanes collector_set[max_collectors];
ngx_uint_t collectors_used;
uint64_t collector_uses;

/* by a collector's index in the configuration: its lanes, or NULL */
collector_lanes **lanes_of;
ngx_uint_t lanes_of_size;

void batch_completion(ngx_event_t *ev) noexcept;
void post_batch_handler(ngx_event_t *ev) noexcept;
void batch_delay_handler(ngx_event_t *ev) noexcept;

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

    /*
     * A new lane counts only once its task exists: the exit flush and the
     * completions walk every counted lane and take what it queued.
     */
    bool fresh = idle == NULL;

    if (fresh) {
        if (lanes_used == max_lanes) {
            return NULL;
        }
        idle = &lanes[lanes_used];
    }

    if (!lane_init(idle)) {
        return NULL;
    }

    if (fresh) {
        lanes_used++;
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
    ngx_ext_exporter_free_message(msg);

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
    return lane->due || settings.batch_delay == 0 || flushing
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
        ngx_add_timer(&lane->delay, settings.batch_delay);
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

} /* namespace */

namespace kestrelvanes::log_queue {

size_t
bytes_held() noexcept
{
    return held_bytes;
}

void
post_every_lane() noexcept
{
    for_each_lane([](log_lane *lane) {
        if (lane->delay.timer_set) {
            ngx_del_timer(&lane->delay);
        }

        /* a lane with a batch in flight posts the rest at its completion */
        post_batch(lane);
    });
}

ngx_uint_t
drop_every_queue() noexcept
{
    ngx_uint_t dropped = 0;

    for_each_lane([&dropped](log_lane *lane) { dropped += drop_queued(lane); });

    return dropped;
}

void
drop_queued_leftovers() noexcept
{
    for_each_lane([](log_lane *lane) {
        if (lane->head != NULL) {
            drop_queued(lane);
        }
    });
}

/* the directives' defaults, until the module passes its settings in */
ngx_ext_exporter_conf_t settings = {10, 32 * 1024 * 1024, 5};

} /* namespace kestrelvanes::log_queue */

extern "C" {

void
ngx_ext_exporter_configure(const ngx_ext_exporter_conf_t *conf) noexcept
{
    settings = *conf;
}

/* Whether a message of len bytes fits the budget beside what is held. */
bool
ngx_ext_exporter_has_room(size_t len) noexcept
{
    return held_bytes + message_cost(len) <= settings.queue_memory;
}

/*
 * Takes over the message: it is queued, or freed and counted.  The
 * message is freed by the completion of the batch that carried it.
 */
ngx_int_t
ngx_ext_exporter_submit(ngx_ext_access_log_msg_t *msg,
                        ngx_atomic_uint_t connection, log_msg_type_t msg_type,
                        ngx_thread_pool_t *thread_pool) noexcept
{
    size_t cost = message_cost(msg->len);

    msg->request_id = connection;
    msg->msg_type = msg_type;

    if (thread_pool == NULL) {
        ngx_ext_exporter_free_message(msg);
        ngx_handle_enqueue_failure();
        kestrelvanes::count(log_stats.task_post_failed);
        return NGX_ERROR;
    }

    log_lane *lane =
        held_bytes + cost <= settings.queue_memory ? lane_for(msg) : NULL;

    if (lane == NULL) {
        ngx_ext_exporter_free_message(msg);
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
 * At worker exit, once nginx has ended the pool threads: a batch still in
 * flight was dropped by its thread (an exiting worker sends nothing more)
 * and its completion never runs, so its messages are freed here; the
 * queued ones stay in their lanes for the process to end with.  Without
 * this the batch's messages were lost with the cycle pool that held its
 * task, and the leak check of the sanitized build reported them after
 * every reload.  The cached blocks go back to malloc too.
 */
void
ngx_ext_exporter_queue_exit() noexcept
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
