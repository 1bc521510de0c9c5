/*
 * Access-log module: the worker's 5-second timer that decides when a
 * heartbeat and a statistics document are due, and the last statistics
 * of an exiting worker.  The exporter carries them to the statistics
 * collector (monitoring_send.cpp there); this file says when, and the
 * module's statistics writer (stats.cpp) what.  All on the event loop.
 */
#include "nginx_ext_access_log_module.h"

namespace {

uint32_t stats_timer_exp_period;
uint32_t hb_timer_exp_period;

} /* namespace */

extern "C" {

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

    if (ngx_ext_exporter_send_last_stats(&ngx_ext_stats_writer, log)
        == NGX_ERROR) {
        ngx_log_error(NGX_LOG_NOTICE, log, 0,
                      "[KESTRELVANES] exiting: the last statistics "
                      "document was not sent");
    }
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
            ngx_ext_exporter_send_stats(&ngx_ext_stats_writer,
                                        monitoring_thread_pool);
            stats_timer_exp_period = 0;
        }

        if (conf->hb_period != 0 && hb_timer_exp_period >= conf->hb_period) {
            ngx_ext_exporter_send_heartbeat(monitoring_thread_pool);
            hb_timer_exp_period = 0;
        }
    }

    ngx_add_timer(ev, NGX_EXT_TIMER_TICK);
}

} /* extern "C" */
