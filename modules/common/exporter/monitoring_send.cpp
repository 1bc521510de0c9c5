/*
 * Exporter: heartbeats and statistics on their way to the statistics
 * collector (ext_stats_server).  Each goes as a task of its own on the
 * monitoring threads, over the statistics peer, and waits for the
 * collector's reply: a heartbeat's reply carries the collector's commands.
 * Log messages go by the worker's lanes instead (log_queue.cpp).
 *
 * The statistics request is written on the monitoring thread by the
 * writer the module hands over, so the counts are taken when they leave.
 * A message's pool belongs to this file from the moment it is posted: it
 * is destroyed exactly once, here on a failed post, else by the
 * completion on the event loop after the thread has finished with it.
 */
#include "exporter.h"
#include "nginx_ext_cfg_sync.h"

namespace {

/*
 * Heartbeat and statistics exchanges share the statistics peer and the
 * request buffer; with several monitoring threads they take turns.
 */
std::mutex monitoring_exchange_lock;

u_char stats_request[NGX_EXT_STATS_REQUEST_SIZE];

/* a heartbeat or statistics message, in a pool of its own */
struct monitoring_msg {
    ngx_pool_t *pool;
    log_msg_type_t type;
    const ngx_ext_exporter_stats_t *stats; /* STATS: how it is written */
    ngx_str_t policies; /* HB: the reply, for the completion to apply */
};

/* Written whole or not sent: the writer takes back the counts. */
ssize_t
send_stats(const ngx_ext_exporter_stats_t *stats, ngx_log_t *log,
           ngx_pool_t *pool) noexcept
{
    size_t len = stats->write(stats_request, sizeof(stats_request));

    ssize_t sent =
        ngx_transport_send_rcv_synch(&t_peer_stats, stats_request, len, log,
                                     &remote_logging_stat_server, pool, NULL);

    /* not written whole: no collector has the document to count */
    if (sent < static_cast<ssize_t>(len)) {
        stats->unsent();
    }

    return sent;
}

void
monitoring_handler(void *data, ngx_log_t *log) noexcept
{
    /*
     * On a fast stop too: nginx runs the queue out before the worker ends.
     * An exiting worker's last statistics go at its end, with every count.
     * The message names the handler as it always has; tests look for it.
     */
    if (kestrelvanes::worker_stopping()) {
        ngx_log_error(
            NGX_LOG_INFO, log, 0,
            "Kestrelvanes: ngx_ext_access_log_thread_handler exiting");
        return;
    }

    kestrelvanes::count(log_stats.task_callback);

    if (data == NULL) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "Kestrelvanes: ngx_ext_access_log_thread_handler: "
                      "receivied null data");
        kestrelvanes::count(log_stats.task_callback_bad_data);
        return;
    }

    auto *msg = static_cast<monitoring_msg *>(data);
    std::lock_guard<std::mutex> guard(monitoring_exchange_lock);

    if (msg->type == STATS) {
        if (send_stats(msg->stats, log, msg->pool) <= 0) {
            kestrelvanes::count(log_stats.stats_send_fail);
        }
        return;
    }

    if (ngx_send_cfg_sync_request(log, msg->pool, &msg->policies) <= 0) {
        kestrelvanes::count(log_stats.cfg_sync_send_fail);
    }
}

void
monitoring_completion(ngx_event_t *ev) noexcept
{
    if (ev == NULL || ev->data == NULL) {
        return;
    }

    auto *msg = static_cast<monitoring_msg *>(ev->data);

    kestrelvanes::count(log_stats.task_completed);

    /* the heartbeat reply's policies, compiled here on the event loop */
    if (msg->type == HB) {
        ngx_ext_apply_heartbeat_policies(&msg->policies);
    }

    ngx_destroy_pool(msg->pool);
}

ngx_int_t
post_monitoring(log_msg_type_t type, const ngx_ext_exporter_stats_t *stats,
                ngx_thread_pool_t *thread_pool) noexcept
{
    if (remote_logging_stat_server.len == 0) {
        return NGX_DECLINED;
    }

    ngx_pool_t *pool = ngx_create_pool(NGX_EXT_TIMER_POOL_SIZE, ngx_cycle->log);
    if (pool == NULL) {
        kestrelvanes::count(log_stats.pool_create_failed);
        return NGX_ERROR;
    }

    auto *msg = static_cast<monitoring_msg *>(
        ngx_pcalloc(pool, sizeof(monitoring_msg)));
    if (msg == NULL) {
        kestrelvanes::count(log_stats.task_alloc_failed);
        ngx_destroy_pool(pool);
        return NGX_ERROR;
    }

    msg->pool = pool;
    msg->type = type;
    msg->stats = stats;

    ngx_thread_task_t *task = ngx_thread_task_alloc(pool, 0);
    if (task == NULL) {
        kestrelvanes::count(log_stats.task_alloc_failed);
        ngx_destroy_pool(pool);
        return NGX_ERROR;
    }

    task->ctx = msg;
    task->event.data = msg;
    task->handler = monitoring_handler;
    task->event.handler = monitoring_completion;

    if (thread_pool == NULL
        || ngx_thread_task_post(thread_pool, task) != NGX_OK) {
        ngx_destroy_pool(pool);
        ngx_handle_enqueue_failure();
        kestrelvanes::count(log_stats.task_post_failed);
        return NGX_ERROR;
    }

    kestrelvanes::count(log_stats.tasks_enqueued);
    return NGX_OK;
}

} /* namespace */

extern "C" {

ngx_int_t
ngx_ext_exporter_send_stats(const ngx_ext_exporter_stats_t *stats,
                            ngx_thread_pool_t *thread_pool) noexcept
{
    return post_monitoring(STATS, stats, thread_pool);
}

ngx_int_t
ngx_ext_exporter_send_heartbeat(ngx_thread_pool_t *thread_pool) noexcept
{
    return post_monitoring(HB, NULL, thread_pool);
}

ngx_int_t
ngx_ext_exporter_send_last_stats(const ngx_ext_exporter_stats_t *stats,
                                 ngx_log_t *log) noexcept
{
    if (remote_logging_stat_server.len == 0) {
        return NGX_DECLINED;
    }

    ngx_pool_t *pool = ngx_create_pool(NGX_EXT_TIMER_POOL_SIZE, log);
    if (pool == NULL) {
        kestrelvanes::count(log_stats.pool_create_failed);
        return NGX_ERROR;
    }

    ssize_t sent;

    {
        std::lock_guard<std::mutex> guard(monitoring_exchange_lock);
        sent = send_stats(stats, log, pool);
    }

    ngx_destroy_pool(pool);

    return sent > 0 ? NGX_OK : NGX_ERROR;
}

} /* extern "C" */
