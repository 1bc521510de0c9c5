/*
 * Exporter: a batch of log messages on its way to the collector,
 * and the priority of the threads that send it.
 *
 * A lane's task (log_queue.cpp) runs here on a pool thread: the backoff
 * and level checks, once for the batch, the write of the whole batch over
 * the lane's peer, and the count of what did not go out.  The batch is the
 * pool thread's while it runs: it only reads the messages, which the
 * completion frees on the event loop.  The first sending thread of a
 * worker takes the configured priority.
 */
#include "log_queue_internal.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_collector.h"

#include <sys/resource.h>

#include <cstdio>

using namespace kestrelvanes::log_queue;

namespace {

/* after a failed set-up, the thread rests before it tries again */
constexpr useconds_t init_failure_pause_us = 1000000;

std::atomic<bool> priority_set{false};

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

} /* namespace */

namespace kestrelvanes::log_queue {

void
count_send_failure(ngx_ext_access_log_msg_t *msg) noexcept
{
    kestrelvanes::count(msg->msg_type == AUTHZ_LOG
                            ? log_stats.authz_logs_send_fail
                            : log_stats.logs_send_fail);
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

    set_sender_priority(log);

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

/* Only the first sending thread of a worker is re-prioritised. */
void
set_sender_priority(ngx_log_t *log) noexcept
{
    if (priority_set.exchange(true)) {
        return;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "ngx_ext_access_log_thread_handler thread_priority: %d",
                  (int) settings.thread_priority);

    if (settings.thread_priority == 0) {
        return;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "ngx_ext_access_log_thread_handler before setting priority: "
                  "%d",
                  getpriority(PRIO_PROCESS, 0));

    if (setpriority(PRIO_PROCESS, 0, static_cast<int>(settings.thread_priority))
        == -1) {
        perror("setpriority");
    }

    ngx_log_error(
        NGX_LOG_DEBUG, log, 0,
        "ngx_ext_access_log_thread_handler after setting priority: %d",
        getpriority(PRIO_PROCESS, 0));
}

} /* namespace kestrelvanes::log_queue */
