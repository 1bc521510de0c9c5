/*
 * Access-log module: the task queue that carries messages from the event
 * loop to the sender threads, the sender itself, and the worker's 5-second
 * timer that schedules heartbeats and statistics.
 *
 * A message's pool belongs to this file from the moment it is posted: it
 * is destroyed exactly once, here on a failed post, else by the completion
 * handler in the event loop after the sender thread has finished with it.
 */
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"

#include <sys/resource.h>

#include <cstdio>

namespace {

std::atomic<bool> priority_set{false};

/*
 * Heartbeat and statistics exchanges share the statistics peer and their
 * static buffers; with several monitoring threads they take turns.
 */
std::mutex monitoring_exchange_lock;

uint32_t stats_timer_exp_period;
uint32_t hb_timer_exp_period;

u_char trigger_placeholder[1];

/* Only the first sending thread of a worker is re-prioritised. */
void
set_sender_priority(ngx_log_t *log) noexcept
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

/* Backoff and level checks shared by the log types; true means send. */
bool
log_may_be_sent(ngx_log_t *log) noexcept
{
    if (ngx_check_backoff_on() == NGX_ERROR) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "ngx_ext_access_log_thread_handler: skipping logs due to "
                      "backoff");
        kestrelvanes::count(log_stats.log_skipped_in_backoff);
        return false;
    }

    if (should_log_thread() == -1) {
        kestrelvanes::count(log_stats.log_dropped_thread);
        return false;
    }

    return true;
}

void
send_access_log(ngx_ext_access_log_msg_t *msg, ngx_log_t *log) noexcept
{
    set_sender_priority(log);

    if (!log_may_be_sent(log)) {
        return;
    }

    ngx_transport_peer_t *peer =
        msg->transparent_mode
            ? ngx_ext_access_log_request_get_peer(msg->request_id)
            : ngx_ext_access_log_get_peer(ngx_ext_peer_pool(log),
                                          &msg->opc_endpoint);
    if (peer == NULL) {
        kestrelvanes::count(log_stats.logs_send_fail);
        return;
    }

    ngx_log_error(
        NGX_LOG_DEBUG, log, 0,
        "[KESTRELVANES] thread_handler: sending msg_type=%d, len=%uz, "
        "request_id=%uL",
        (int) msg->msg_type, msg->len, (uint64_t) msg->request_id);

    ssize_t rc = ngx_transport_send(peer, msg->request, msg->len, log,
                                    &msg->opc_endpoint, msg->mem_pool);
    if (rc <= 0) {
        kestrelvanes::count(log_stats.logs_send_fail);
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "[KESTRELVANES] thread_handler: send failed, ret=%z, "
                      "msg_type=%d",
                      rc, (int) msg->msg_type);
    }
}

void
send_authz_log(ngx_ext_access_log_msg_t *msg, ngx_log_t *log) noexcept
{
    if (!log_may_be_sent(log)) {
        return;
    }

    ngx_transport_peer_t *peer =
        ngx_ext_access_log_request_get_peer(msg->request_id);

    if (peer == NULL
        || ngx_transport_send(peer, msg->request, msg->len, log,
                              &msg->opc_endpoint, msg->mem_pool)
               <= 0) {
        kestrelvanes::count(log_stats.authz_logs_send_fail);
    }
}

} /* namespace */

extern "C" {

/*
 * A message is built in a buffer of the configured total size, most of it
 * unused; a queue of slow-to-send messages would hold all of it.  Keep
 * just the bytes written, in a block of their own.
 */
u_char *
ngx_ext_access_log_shrink_message(ngx_pool_t *pool, u_char *buf,
                                  size_t len) noexcept
{
    auto *exact = static_cast<u_char *>(ngx_pnalloc(pool, len ? len : 1));
    if (exact == NULL) {
        return buf;
    }

    ngx_memcpy(exact, buf, len);
    ngx_pfree(pool, buf);

    return exact;
}

ngx_int_t
ngx_ext_access_log_post_task(ngx_atomic_uint_t connection,
                             ngx_str_t *opc_endpoint, log_msg_type_t msg_type,
                             u_char *request, size_t len, ngx_pool_t *mem_pool,
                             ngx_thread_pool_t *thread_pool,
                             ngx_uint_t authz_mode) noexcept
{
    if (opc_endpoint == NULL || opc_endpoint->len == 0) {
        ngx_destroy_pool(mem_pool);
        kestrelvanes::count(log_stats.task_srv_nil);
        return NGX_ERROR;
    }

    ngx_thread_task_t *task =
        ngx_thread_task_alloc(mem_pool, sizeof(ngx_ext_access_log_msg_t));
    if (task == NULL) {
        kestrelvanes::count(log_stats.task_alloc_failed);
        ngx_destroy_pool(mem_pool);
        return NGX_ERROR;
    }

    auto *msg = static_cast<ngx_ext_access_log_msg_t *>(task->ctx);

    msg->opc_endpoint.len = opc_endpoint->len;
    msg->mem_pool = mem_pool;
    msg->request = request;
    msg->len = len;
    msg->msg_type = msg_type;
    msg->request_id = connection;

    msg->opc_endpoint.data =
        static_cast<u_char *>(ngx_pnalloc(mem_pool, opc_endpoint->len + 1));
    if (msg->opc_endpoint.data == NULL) {
        kestrelvanes::count(log_stats.pool_alloc_failed);
        ngx_destroy_pool(mem_pool);
        return NGX_ERROR;
    }

    msg->transparent_mode = authz_mode & 1;
    ngx_cpystrn(msg->opc_endpoint.data, opc_endpoint->data,
                opc_endpoint->len + 1);

    task->event.data = msg;
    task->handler = ngx_ext_access_log_thread_handler;
    task->event.handler = ngx_ext_access_log_thread_completion;

    if (thread_pool == NULL
        || ngx_thread_task_post(thread_pool, task) != NGX_OK) {
        ngx_destroy_pool(mem_pool);
        ngx_handle_enqueue_failure();
        kestrelvanes::count(log_stats.task_post_failed);
        return NGX_ERROR;
    }

    kestrelvanes::count(log_stats.tasks_enqueued);
    return NGX_OK;
}

void
ngx_ext_access_log_thread_handler(void *data, ngx_log_t *log) noexcept
{
    /* on a fast stop too: nginx runs the queue out before the worker ends */
    if (ngx_exiting || ngx_terminate) {
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

    case ACCESS_LOG:
    case MERGED_LOG:
        send_access_log(msg, log);
        return;

    case AUTHZ_LOG:
        send_authz_log(msg, log);
        return;

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
                                 monitoring_thread_pool, 0);
}

/*
 * The worker's 5-second tick.  Periods round up to the tick; when both
 * messages are due, statistics go first.
 */
void
ngx_access_log_timer_handler(ngx_event_t *ev) noexcept
{
    if (ngx_terminate || ngx_exiting) {
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
