/*
 * Access-log module: the tasks that carry heartbeats and statistics from
 * the event loop to the monitoring threads, their sender, and the
 * worker's 5-second timer that schedules them.  Log messages go by the
 * worker's queue (log_queue.cpp).
 *
 * A timer message's pool belongs to this file from the moment it is
 * posted: it is destroyed exactly once, here on a failed post, else by the
 * completion handler in the event loop after the sender thread has
 * finished with it.
 */
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_collector.h"

namespace {

/*
 * Heartbeat and statistics exchanges share the statistics peer and their
 * static buffers; with several monitoring threads they take turns.
 */
std::mutex monitoring_exchange_lock;

uint32_t stats_timer_exp_period;
uint32_t hb_timer_exp_period;

u_char trigger_placeholder[1];

/*
 * The timer's messages each go as a task of their own; log messages join
 * the worker's queue (log_queue.cpp), which carries them in batches.
 */
ngx_int_t
post_lone_task(ngx_ext_access_log_msg_t *msg,
               ngx_thread_pool_t *thread_pool) noexcept
{
    ngx_thread_task_t *task = ngx_thread_task_alloc(msg->mem_pool, 0);
    if (task == NULL) {
        kestrelvanes::count(log_stats.task_alloc_failed);
        ngx_destroy_pool(msg->mem_pool);
        return NGX_ERROR;
    }

    task->ctx = msg;
    task->event.data = msg;
    task->handler = ngx_ext_access_log_thread_handler;
    task->event.handler = ngx_ext_access_log_thread_completion;

    if (thread_pool == NULL
        || ngx_thread_task_post(thread_pool, task) != NGX_OK) {
        ngx_destroy_pool(msg->mem_pool);
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
ngx_ext_access_log_post_task(ngx_atomic_uint_t connection,
                             ngx_str_t *opc_endpoint, log_msg_type_t msg_type,
                             u_char *request, size_t len, ngx_pool_t *mem_pool,
                             ngx_thread_pool_t *thread_pool,
                             ngx_ext_collector_t *collector) noexcept
{
    if (opc_endpoint == NULL || opc_endpoint->len == 0) {
        ngx_destroy_pool(mem_pool);
        kestrelvanes::count(log_stats.task_srv_nil);
        return NGX_ERROR;
    }

    auto *msg = static_cast<ngx_ext_access_log_msg_t *>(
        ngx_pcalloc(mem_pool, sizeof(ngx_ext_access_log_msg_t)));
    if (msg == NULL) {
        kestrelvanes::count(log_stats.task_alloc_failed);
        ngx_destroy_pool(mem_pool);
        return NGX_ERROR;
    }

    msg->mem_pool = mem_pool;
    msg->request = request;
    msg->len = len;
    msg->msg_type = msg_type;
    msg->request_id = connection;
    msg->collector = collector;

    /* a collector's URL lives as long as the worker's configuration */
    if (collector != NULL) {
        msg->opc_endpoint = collector->url;

    } else {
        msg->opc_endpoint.len = opc_endpoint->len;
        msg->opc_endpoint.data =
            static_cast<u_char *>(ngx_pnalloc(mem_pool, opc_endpoint->len + 1));
        if (msg->opc_endpoint.data == NULL) {
            kestrelvanes::count(log_stats.pool_alloc_failed);
            ngx_destroy_pool(mem_pool);
            return NGX_ERROR;
        }

        *ngx_cpymem(msg->opc_endpoint.data, opc_endpoint->data,
                    opc_endpoint->len) = '\0';
    }

    return post_lone_task(msg, thread_pool);
}

void
ngx_ext_access_log_thread_handler(void *data, ngx_log_t *log) noexcept
{
    /*
     * On a fast stop too: nginx runs the queue out before the worker ends.
     * An exiting worker's last statistics go at its end, with every count.
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

    auto *msg = static_cast<ngx_ext_access_log_msg_t *>(data);

    switch (msg->msg_type) {

    case STATS: {
        std::lock_guard<std::mutex> guard(monitoring_exchange_lock);
        if (ngx_ext_form_and_send_stats(log, msg->mem_pool) <= 0) {
            kestrelvanes::count(log_stats.stats_send_fail);
        }
        return;
    }

    case HB: {
        std::lock_guard<std::mutex> guard(monitoring_exchange_lock);
        if (ngx_send_cfg_sync_request(log, msg->mem_pool, &msg->policies)
            <= 0) {
            kestrelvanes::count(log_stats.cfg_sync_send_fail);
        }
        return;
    }

    default:
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "ngx_ext_access_log_thread_handler: invalid msg type");
        return;
    }
}

void
ngx_ext_access_log_thread_completion(ngx_event_t *ev) noexcept
{
    if (ev == NULL || ev->data == NULL) {
        return;
    }

    auto *msg = static_cast<ngx_ext_access_log_msg_t *>(ev->data);

    kestrelvanes::count(log_stats.task_completed);

    /* the heartbeat reply's policies, compiled here on the event loop */
    if (msg->msg_type == HB) {
        ngx_ext_apply_heartbeat_policies(&msg->policies);
    }

    ngx_destroy_pool(msg->mem_pool);
}

void
ngx_access_log_trigger_msg(log_msg_type_t msg_type,
                           ngx_ext_access_log_stats_conf_t *conf) noexcept
{
    if (remote_logging_stat_server.len == 0) {
        return;
    }

    ngx_pool_t *pool = ngx_create_pool(NGX_EXT_TIMER_POOL_SIZE, ngx_cycle->log);
    if (pool == NULL) {
        kestrelvanes::count(log_stats.pool_create_failed);
        return;
    }

    ngx_ext_access_log_post_task(0, &remote_logging_stat_server, msg_type,
                                 trigger_placeholder, 0, pool,
                                 monitoring_thread_pool, NULL);
}

/*
 * A gracefully exiting worker reports what it counted since its last
 * document, so the counts of its last seconds (its exit flush among them)
 * are not lost.  It runs at the worker's end, after the thread pools have
 * run out, on the event loop's thread: the exchange has its usual
 * deadline, and nothing else is left for it to hold up.  A fast stop
 * waits for nothing and sends nothing.
 */
void
ngx_ext_access_log_send_last_stats(
    ngx_log_t *log, ngx_ext_access_log_stats_conf_t *conf) noexcept
{
    if (!ngx_exiting || ngx_terminate || remote_logging_stat_server.len == 0
        || conf->stats_period == 0 || !ngx_ext_stats_have_counts()) {
        return;
    }

    ngx_pool_t *pool = ngx_create_pool(NGX_EXT_TIMER_POOL_SIZE, log);
    if (pool == NULL) {
        kestrelvanes::count(log_stats.pool_create_failed);
        return;
    }

    {
        std::lock_guard<std::mutex> guard(monitoring_exchange_lock);
        if (ngx_ext_form_and_send_stats(log, pool) <= 0) {
            ngx_log_error(NGX_LOG_NOTICE, log, 0,
                          "[KESTRELVANES] exiting: the last statistics "
                          "document was not sent");
        }
    }

    ngx_destroy_pool(pool);
}

/*
 * The worker's 5-second tick.  Periods round up to the tick; when both
 * messages are due, statistics go first.
 */
void
ngx_access_log_timer_handler(ngx_event_t *ev) noexcept
{
    if (kestrelvanes::worker_stopping()) {
        return;
    }

    auto *conf = static_cast<ngx_ext_access_log_stats_conf_t *>(ev->data);

    if (remote_logging_stat_server.len > 0) {
        hb_timer_exp_period += NGX_EXT_TIMER_TICK;
        stats_timer_exp_period += NGX_EXT_TIMER_TICK;

        if (conf->stats_period != 0
            && stats_timer_exp_period >= conf->stats_period) {
            ngx_access_log_trigger_msg(STATS, conf);
            stats_timer_exp_period = 0;
        }

        if (conf->hb_period != 0 && hb_timer_exp_period >= conf->hb_period) {
            ngx_access_log_trigger_msg(HB, conf);
            hb_timer_exp_period = 0;
        }
    }

    ngx_add_timer(ev, NGX_EXT_TIMER_TICK);
}

} /* extern "C" */
