/*
 * Transport to the collector: blocking sends, the synchronous
 * request/reply exchange and the backoff clock.  A send first makes sure
 * of its peer's connection: set-up is in nginx_ext_transport_connect.cpp,
 * TLS in nginx_ext_tls.cpp, the reply check in nginx_ext_reply.cpp, the
 * peer pools in nginx_ext_common.cpp.
 *
 * It owns each sender thread's stand-in events for nginx's send routine.
 * Everything here except the backoff clock runs on sender-pool threads
 * and may block; the event loop never calls it.
 */
#include "nginx_ext_transport.h"

#include <poll.h>
#include <openssl/err.h>

#include <cerrno>

namespace {

using kestrelvanes::error_text;

constexpr int send_attempts = 3;
constexpr int max_zero_byte_writes = 4;
constexpr useconds_t init_failure_pause_us = 1000000;

/*
 * nginx's send routine wants a connection with events; each thread gets
 * its own so concurrent sends on different peers do not share one record.
 */
thread_local ngx_event_t ngx_dummy_event;
ngx_log_t ngx_dummy_log;

ngx_msec_int_t
now_ms() noexcept
{
    ngx_time_t *tp = ngx_timeofday();
    return static_cast<ngx_msec_int_t>(tp->sec) * 1000 + tp->msec;
}

/*
 * Reads what the collector has sent without waiting: > 0 bytes read,
 * 0 the collector closed, -1 with errno set (EAGAIN when nothing is there).
 */
ssize_t
peer_read_nowait(ngx_transport_peer_t *peer, u_char *buf, size_t size) noexcept
{
    if (!peer->use_ssl || peer->ssl == NULL) {
        return recv(peer->conn.fd, buf, size, MSG_DONTWAIT);
    }

    return kestrelvanes::tls_read_nowait(peer, buf, size);
}

/*
 * A connection the collector has closed still accepts one write, which
 * then vanishes.  Look before writing, so the message goes out on a fresh
 * connection instead.
 */
bool
peer_closed_by_collector(ngx_transport_peer_t *peer) noexcept
{
    if (peer->use_ssl && peer->ssl != NULL) {
        return kestrelvanes::tls_peer_closed(peer);
    }

    u_char byte;
    ssize_t n = recv(peer->conn.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);

    if (n == 0) {
        return true;
    }

    return n == -1 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

/*
 * What the collector has sent before a synchronous exchange writes its
 * request can only answer an earlier exchange that gave up waiting.  Left
 * in place it would pass for this exchange's reply, and every later reply
 * for the next exchange's: heartbeat replies would keep landing in
 * statistics exchanges, which ignore them.  Reads it away; true when the
 * collector has closed the connection (or will not stop sending).
 */
bool
discard_late_replies(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    constexpr int max_reads = 8;
    u_char buf[NGX_EXT_RECV_BUFFER_SIZE];

    for (int i = 0; i < max_reads; i++) {
        ssize_t n = peer_read_nowait(peer, buf, sizeof(buf));

        if (n > 0) {
            ngx_log_error(NGX_LOG_DEBUG, log, 0,
                          "discarded %z bytes of a late reply", n);
            continue;
        }

        if (n == 0) {
            return true;
        }

        return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    }

    return true;
}

/*
 * Makes sure the peer has a live connection before an attempt: connects a
 * disconnected peer (by the deadline) and replaces one the collector has
 * closed meanwhile.  Before an exchange, late replies to earlier ones are
 * dropped as well.
 */
ngx_int_t
prepare_attempt_until(ngx_transport_peer_t *peer, ngx_log_t *log,
                      ngx_str_t *remote_server, ngx_pool_t *mem_pool,
                      bool exchange, ngx_msec_t deadline) noexcept
{
    /* a full URL-keyed list hands idle peers to new URLs */
    if (peer->keyed && !kestrelvanes::keyed_peer_is_for(peer, remote_server)) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "peer for \"%V\" was given to another collector",
                      remote_server);
        return NGX_ERROR;
    }

    if (kestrelvanes::address_moved(peer)) {
        kestrelvanes::leave_old_address(peer, log);
    }

    if (peer->conn.fd != -1
        && (exchange ? discard_late_replies(peer, log)
                     : peer_closed_by_collector(peer))) {
        _reset_transport_peer(peer, log);
        ngx_log_error(NGX_LOG_DEBUG, log, 0, "Retrying failure, errno %s",
                      "connection closed by collector");
        kestrelvanes::count(log_stats.msg_retry);
    }

    if (peer->conn.fd != -1) {
        return NGX_OK;
    }

    return kestrelvanes::connect_peer(peer, log, remote_server, mem_pool,
                                      deadline);
}

ngx_int_t
prepare_attempt(ngx_transport_peer_t *peer, ngx_log_t *log,
                ngx_str_t *remote_server, ngx_pool_t *mem_pool,
                bool exchange) noexcept
{
    return prepare_attempt_until(
        peer, log, remote_server, mem_pool, exchange,
        kestrelvanes::deadline_in(kestrelvanes::collector_wait_ms));
}

/* One write attempt; false when the message did not go out whole. */
bool
send_attempt(ngx_transport_peer_t *peer, u_char *buf, ssize_t len,
             ngx_log_t *log, ssize_t *sent) noexcept
{
    peer->conn.log = ngx_cycle->log;
    *sent = ngx_send_blocking(peer, buf, len, log);

    if (*sent >= len) {
        kestrelvanes::count(log_stats.msg_sent);
        return true;
    }

    _reset_transport_peer(peer, log);
    ngx_log_error(NGX_LOG_DEBUG, log, 0, "Retrying failure, errno %s",
                  error_text(ngx_socket_errno));
    kestrelvanes::count(log_stats.msg_retry);
    return false;
}

void
log_recv_failure(ngx_log_t *log, const char *func, int line) noexcept
{
    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "%s:%d ngx_transport_recv failure, errno %s", func, line,
                  error_text(errno));
    kestrelvanes::count(log_stats.socket_read_fail);
}

/* Reads and discards what the collector answered to fire-and-forget logs. */
void
drain_replies(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    u_char buf[NGX_EXT_RECV_BUFFER_SIZE];

    for (;;) {
        ssize_t n = peer_read_nowait(peer, buf, sizeof(buf));

        if (n > 0) {
            kestrelvanes::count(log_stats.socket_reads);
            if (n == static_cast<ssize_t>(sizeof(buf))) {
                continue;
            }
            return;
        }

        if (n == -1 && errno != EAGAIN && errno != EWOULDBLOCK) {
            log_recv_failure(log, __func__, __LINE__);
        }
        return;
    }
}

/*
 * Reads one reply into buf: until it is whole, the buffer is full, the
 * collector closes or the deadline passes.  Returns the bytes read; *err
 * is the errno of a failed read (0 when none failed).
 */
size_t
read_reply(ngx_transport_peer_t *peer, u_char *buf, size_t size,
           ngx_msec_t deadline, int *err) noexcept
{
    size_t got = 0;

    *err = 0;

    while (got < size) {
        errno = 0;
        ssize_t n = peer_read_nowait(peer, buf + got, size - got);

        if (n > 0) {
            got += n;
            if (!kestrelvanes::reply_needs_more(buf, got, size)) {
                break;
            }
            continue;
        }

        if (n == 0) {
            break;
        }

        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            *err = errno;
            break;
        }

        if (!kestrelvanes::wait_ready(peer->conn.fd, POLLIN, deadline)) {
            break;
        }
    }

    return got;
}

/*
 * Waits for the collector's reply until the deadline and checks it.  One
 * reply per exchange: whatever follows it is a late reply, which the next
 * exchange reads away.
 */
void
receive_reply(ngx_transport_peer_t *peer, ngx_log_t *log,
              ngx_receive_callback_func receive_callback,
              ngx_msec_t deadline) noexcept
{
    u_char buf[NGX_EXT_RECV_BUFFER_SIZE];
    int err;
    size_t got = read_reply(peer, buf, sizeof(buf), deadline, &err);

    if (got == 0) {
        if (err != 0) {
            errno = err;
            log_recv_failure(log, __func__, __LINE__);
            _reset_transport_peer(peer, log);

        } else if (peer->use_ssl && peer->ssl != NULL
                   && kestrelvanes::tls_record_pending(peer)) {
            /* a reply began, inside a TLS record that never finished */
            kestrelvanes::count(log_stats.http_resp_incomplete);
            _reset_transport_peer(peer, log);
        }

        /* nothing came: a silent collector keeps its connection */
        return;
    }

    auto n = static_cast<ssize_t>(got);

    if (!_is_http_response_complete(buf, n)) {
        kestrelvanes::count(log_stats.http_resp_incomplete);
        _reset_transport_peer(peer, log);
        return;
    }

    kestrelvanes::count(log_stats.socket_reads);
    if (receive_callback != NULL) {
        receive_callback(buf, n, log);
    }
}

} /* namespace */

namespace kestrelvanes {

void
use_thread_events(ngx_transport_peer_t *peer) noexcept
{
    peer->conn.read = &ngx_dummy_event;
    peer->conn.write = &ngx_dummy_event;
    ngx_dummy_event.log = &ngx_dummy_log;
}

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

ssize_t
ngx_send_blocking(ngx_transport_peer_t *peer, u_char *buf, ssize_t len,
                  ngx_log_t *log) noexcept
{
    ngx_send_pt send = ngx_io.send ? ngx_io.send : ngx_os_io.send;
    ssize_t sent = 0;
    int zero_writes = 0;

    /* the record nginx's send routine touches belongs to this thread */
    kestrelvanes::use_thread_events(peer);
    peer->conn.log_error = NGX_ERROR_INFO;

    while (sent < len) {
        ssize_t n;

        if (peer->use_ssl) {
            n = SSL_write(peer->ssl, buf + sent, static_cast<int>(len - sent));
            if (n <= 0) {
                ERR_clear_error();
                if (n < 0) {
                    n = -1;
                }
            }

        } else {
            n = send(&peer->conn, buf + sent, len - sent);
        }

        if (n < 0) {
            ngx_log_error(NGX_LOG_DEBUG, log, 0,
                          "ngx_transport_send failure, errno %s",
                          error_text(ngx_socket_errno));
            kestrelvanes::count(log_stats.socket_send_failed);
            return sent;
        }

        if (n == 0) {
            kestrelvanes::count(log_stats.transport_zero_byte_send);
            kestrelvanes::count(log_stats.socket_send_failed);

            if (++zero_writes > max_zero_byte_writes) {
                ngx_log_error(NGX_LOG_INFO, log, 0,
                              "ngx_transport_send failure, too many zero bytes "
                              "sent");
                kestrelvanes::count(log_stats.socket_zero_byte_rst);
                return sent;
            }
            continue;
        }

        sent += n;
    }

    return len;
}

ssize_t
ngx_transport_send(ngx_transport_peer_t *peer, u_char *buf, ssize_t len,
                   ngx_log_t *log, ngx_str_t *remote_server,
                   ngx_pool_t *mem_pool) noexcept
{
    std::lock_guard<std::mutex> guard(peer->lock);
    ssize_t sent = 0;

    for (int attempt = 0; attempt < send_attempts; attempt++) {
        if (prepare_attempt(peer, log, remote_server, mem_pool, false)
            != NGX_OK) {
            ngx_log_error(NGX_LOG_ERR, log, 0, "%s:%d failed to init peer",
                          __func__, __LINE__);
            usleep(init_failure_pause_us);
            kestrelvanes::count(log_stats.transport_init_failed);
            return -1;
        }

        if (send_attempt(peer, buf, len, log, &sent)) {
            drain_replies(peer, log);
            return len;
        }
    }

    return sent;
}

/*
 * Set-up, write and the wait for the reply share one deadline, so a slow
 * collector holds the peer (and the monitoring thread) no longer than it.
 */
ssize_t
ngx_transport_send_rcv_synch(
    ngx_transport_peer_t *peer, u_char *buf, ssize_t len, ngx_log_t *log,
    ngx_str_t *remote_server, ngx_pool_t *mem_pool,
    ngx_receive_callback_func receive_callback) noexcept
{
    std::lock_guard<std::mutex> guard(peer->lock);
    ngx_msec_t deadline =
        kestrelvanes::deadline_in(kestrelvanes::collector_wait_ms);
    ssize_t sent = 0;

    for (int attempt = 0; attempt < send_attempts; attempt++) {
        if (prepare_attempt_until(peer, log, remote_server, mem_pool, true,
                                  deadline)
            != NGX_OK) {
            ngx_log_error(NGX_LOG_ERR, log, 0, "%s:%d failed to init peer",
                          __func__, __LINE__);
            kestrelvanes::count(log_stats.transport_init_failed);
            return -1;
        }

        if (send_attempt(peer, buf, len, log, &sent)) {
            receive_reply(peer, log, receive_callback, deadline);
            return len;
        }
    }

    return sent;
}

ssize_t
ngx_transport_read_nowait(ngx_transport_peer_t *peer, u_char *buf,
                          size_t size) noexcept
{
    return peer_read_nowait(peer, buf, size);
}

ngx_int_t
ngx_check_backoff_on(void) noexcept
{
    ngx_msec_int_t end = ngx_backoff_end_ts.load(std::memory_order_relaxed);

    if (end <= 0) {
        return 1;
    }

    if (end >= now_ms()) {
        return NGX_ERROR;
    }

    /* only the thread that saw this end clears it; a newer end stays */
    ngx_backoff_end_ts.compare_exchange_strong(end, 0,
                                               std::memory_order_relaxed);
    return 1;
}

void
ngx_handle_enqueue_failure(void) noexcept
{
    ngx_backoff_end_ts.store(
        now_ms() + ngx_backoff_duration.load(std::memory_order_relaxed),
        std::memory_order_relaxed);
}

} /* namespace kestrelvanes::core */
