/*
 * Exporter: the flush of the log queue when a worker exits.
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
 * This file owns the idle connection that watches for the exit, the
 * guard timer and the flag that the worker is flushing; the lanes and
 * what they hold are the queue's (log_queue.cpp).  All of it runs on the
 * event loop.
 */
#include "log_queue_internal.h"

#include <sys/socket.h>

using namespace kestrelvanes::log_queue;

namespace {

/*
 * How long a graceful exit waits for the collector once nothing else
 * keeps the worker: one collector wait, the longest a single write or
 * exchange may take.
 */
constexpr ngx_msec_t exit_flush_bound = 5000;

/* hears from nginx that the worker starts exiting; NULL once it has */
ngx_connection_t *exit_watch;

/* keeps the exiting worker while messages are held, up to the bound */
ngx_event_t exit_guard;

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
    if (bytes_held() == 0) {
        return;
    }

    if (ngx_event_no_timers_left() != NGX_OK) {
        ngx_add_timer(ev, exit_flush_bound);
        return;
    }

    ngx_transport_senders_stop.store(true, std::memory_order_relaxed);

    ngx_uint_t dropped = drop_every_queue();

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

    post_every_lane();
    hold_exit();
}

} /* namespace */

namespace kestrelvanes::log_queue {

/* the worker is exiting and sends what it holds before it ends */
bool flushing;

/* While an exiting worker holds messages, the guard keeps it. */
void
hold_exit() noexcept
{
    if (flushing && bytes_held() != 0 && !exit_guard.timer_set) {
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

} /* namespace kestrelvanes::log_queue */

extern "C" {

/*
 * At worker start: an idle connection for nginx to close when a graceful
 * exit begins.  It has a socket of its own, never read nor written, so
 * that nginx counts it among open connections; no event is ever
 * registered for it.
 */
ngx_int_t
ngx_ext_exporter_watch_exit(ngx_cycle_t *cycle) noexcept
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
ngx_ext_exporter_exit_worker(void) noexcept
{
    /* a fast stop ends the worker before nginx closes idle connections */
    if (exit_watch != NULL) {
        ngx_close_connection(exit_watch);
        exit_watch = NULL;
    }

    drop_queued_leftovers();
}

} /* extern "C" */
