/*
 * Transport: writing a batch of log messages over one peer.
 *
 * The messages go out back to back, as many per system call as the socket
 * takes: one sendmsg() of up to NGX_IOVS_PREALLOCATE messages over TCP,
 * TLS records filled with as many messages as fit.  The bytes are exactly
 * those the messages would have put on the wire one by one.  Each message
 * keeps the fate it would have had alone: three attempts, each after a
 * failure on a fresh connection, and the same counters.
 *
 * The connection is checked, and the collector's answers read away, once
 * per batch.  Answers are also read whenever the socket has no room, so a
 * collector that stops reading until its answers are taken never stalls
 * a long batch.  Writes never block: a write that cannot proceed waits in
 * short slices, so a worker that stops fast, or gives up its exit flush,
 * abandons its batch at once.
 */
#include "nginx_ext_transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <openssl/err.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int send_attempts = 3;
constexpr int max_zero_byte_writes = 4;

/* how often a write that waits for room looks at the worker's state */
constexpr ngx_msec_t poll_slice_ms = 100;

/* bounds one reading of answers, against a collector that never stops */
constexpr int max_reads = 16;

/* a TLS record's payload: messages are gathered into one record */
constexpr size_t tls_record_size = 16384;

/* Where the batch stands: the first message not yet settled. */
struct batch_cursor {
    ngx_transport_item_t *item;
    size_t offset;   /* bytes of it written on the current connection */
    int failures;    /* its failed attempts */
    int zero_writes; /* zero-byte writes of its current attempt */
};

enum class wait_result { room, failed, stopping };

/* A graceful exit still sends: the worker flushes what it holds. */
bool
senders_must_stop() noexcept
{
    return kestrelvanes::worker_terminating()
           || ngx_transport_senders_stop.load(std::memory_order_relaxed);
}

/* Empty messages are sent by writing nothing. */
void
skip_empty(batch_cursor *c) noexcept
{
    while (c->item != NULL && c->item->len == 0) {
        c->item->state = NGX_EXT_ITEM_SENT;
        kestrelvanes::count(log_stats.msg_sent);
        c->item = c->item->next;
    }
}

void
settle(batch_cursor *c, ngx_transport_item_state_e state) noexcept
{
    c->item->state = state;
    c->item = c->item->next;
    c->offset = 0;
    c->failures = 0;
    c->zero_writes = 0;
    skip_empty(c);
}

/* The socket took n more bytes: every message they complete is sent. */
void
advance(batch_cursor *c, size_t n) noexcept
{
    while (n > 0 && c->item != NULL) {
        size_t rest = c->item->len - c->offset;

        if (n < rest) {
            c->offset += n;
            return;
        }

        n -= rest;
        kestrelvanes::count(log_stats.msg_sent);
        settle(c, NGX_EXT_ITEM_SENT);
    }
}

/*
 * Reads away what the collector has sent.  False when the connection is
 * gone: the collector closed it, or reading failed.
 */
bool
read_answers(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    u_char buf[NGX_EXT_RECV_BUFFER_SIZE];

    for (int i = 0; i < max_reads; i++) {
        ssize_t n = ngx_transport_read_nowait(peer, buf, sizeof(buf));

        if (n > 0) {
            kestrelvanes::count(log_stats.socket_reads);
            continue;
        }

        if (n == 0) {
            return false;
        }

        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return true;
        }

        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "%s:%d ngx_transport_recv failure, errno %s", __func__,
                      __LINE__, strerror(errno));
        kestrelvanes::count(log_stats.socket_read_fail);
        return false;
    }

    return true;
}

/*
 * Once per batch: a connection the collector has closed meanwhile still
 * accepts writes, which then vanish; replace it before writing.  One to
 * an address the collector has left is ended first.
 */
void
check_connection(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    if (kestrelvanes::address_moved(peer)) {
        kestrelvanes::leave_old_address(peer, log);
    }

    if (peer->conn.fd == -1 || read_answers(peer, log)) {
        return;
    }

    _reset_transport_peer(peer, log);
    ngx_log_error(NGX_LOG_DEBUG, log, 0, "Retrying failure, errno %s",
                  "connection closed by collector");
    kestrelvanes::count(log_stats.msg_retry);
}

/*
 * Waits until the socket has room, reading answers meanwhile; a write that
 * finds none within the collector's wait fails, as a timed-out send.
 */
wait_result
wait_for_room(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    ngx_msec_t deadline =
        kestrelvanes::deadline_in(kestrelvanes::collector_wait_ms);
    int timeout = 0;

    for (;;) {
        if (senders_must_stop()) {
            return wait_result::stopping;
        }

        struct pollfd pfd = {peer->conn.fd, POLLIN | POLLOUT, 0};
        int ready = poll(&pfd, 1, timeout);

        if (ready == -1 && errno != EINTR) {
            return wait_result::failed;
        }

        if (ready > 0) {
            if ((pfd.revents & POLLIN) && !read_answers(peer, log)) {
                errno = ECONNRESET;
                return wait_result::failed;
            }

            if (pfd.revents & (POLLOUT | POLLERR | POLLHUP)) {
                return wait_result::room;
            }
        }

        ngx_msec_t now = kestrelvanes::monotonic_ms();
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return wait_result::failed;
        }

        timeout = static_cast<int>(ngx_min(deadline - now, poll_slice_ms));
    }
}

/* One sendmsg() of the messages from the cursor on; never blocks. */
ssize_t
write_plain(ngx_transport_peer_t *peer, const batch_cursor *c) noexcept
{
    struct iovec iov[NGX_IOVS_PREALLOCATE];
    size_t offset = c->offset;
    int n = 0;

    for (ngx_transport_item_t *item = c->item;
         item != NULL && n < NGX_IOVS_PREALLOCATE; item = item->next) {
        if (item->len > offset) {
            iov[n].iov_base = item->data + offset;
            iov[n].iov_len = item->len - offset;
            n++;
        }
        offset = 0;
    }

    struct msghdr mh;
    ngx_memzero(&mh, sizeof(mh));
    mh.msg_iov = iov;
    mh.msg_iovlen = n;

    return sendmsg(peer->conn.fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
}

/*
 * One SSL_write(): the rest of a message that fills records by itself
 * goes from where it lies, smaller messages are gathered into one record.
 */
ssize_t
write_tls(ngx_transport_peer_t *peer, const batch_cursor *c,
          u_char *record) noexcept
{
    const u_char *data = c->item->data + c->offset;
    size_t len = c->item->len - c->offset;

    if (len < tls_record_size) {
        size_t offset = c->offset;
        u_char *p = record;

        for (ngx_transport_item_t *item = c->item;
             item != NULL && p < record + tls_record_size; item = item->next) {
            size_t n =
                ngx_min(item->len - offset,
                        static_cast<size_t>(record + tls_record_size - p));
            p = ngx_cpymem(p, item->data + offset, n);
            offset = 0;
        }

        data = record;
        len = p - record;
    }

    int n = SSL_write(peer->ssl, data, static_cast<int>(len));
    if (n <= 0) {
        ERR_clear_error();
        return n < 0 ? -1 : 0;
    }

    return n;
}

/*
 * Writes what the socket takes from the cursor on.  False when the
 * current attempt of the cursor's message has failed.
 */
bool
write_some(ngx_transport_peer_t *peer, batch_cursor *c, ngx_log_t *log,
           u_char *record) noexcept
{
    ssize_t n;

    /* a blocking TLS write must find room, and answers read */
    if (peer->use_ssl) {
        wait_result w = wait_for_room(peer, log);
        if (w == wait_result::stopping) {
            return true;
        }
        n = w == wait_result::room ? write_tls(peer, c, record) : -1;

    } else {
        n = write_plain(peer, c);

        if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_result w = wait_for_room(peer, log);
            if (w != wait_result::failed) {
                return true;
            }
        }
    }

    if (n > 0) {
        advance(c, n);
        return true;
    }

    if (n == 0) {
        kestrelvanes::count(log_stats.transport_zero_byte_send);
        kestrelvanes::count(log_stats.socket_send_failed);

        if (++c->zero_writes > max_zero_byte_writes) {
            ngx_log_error(NGX_LOG_INFO, log, 0,
                          "ngx_transport_send failure, too many zero bytes "
                          "sent");
            kestrelvanes::count(log_stats.socket_zero_byte_rst);
            return false;
        }
        return true;
    }

    if (errno == EINTR) {
        return true;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0, "ngx_transport_send failure, errno %s",
                  strerror(errno));
    kestrelvanes::count(log_stats.socket_send_failed);
    return false;
}

/*
 * The cursor's message did not go out whole on this connection: drop the
 * connection and try it again from its start on a new one, three times.
 */
void
attempt_failed(ngx_transport_peer_t *peer, batch_cursor *c,
               ngx_log_t *log) noexcept
{
    int err = errno;

    _reset_transport_peer(peer, log);
    ngx_log_error(NGX_LOG_DEBUG, log, 0, "Retrying failure, errno %s",
                  strerror(err));
    kestrelvanes::count(log_stats.msg_retry);

    c->offset = 0;
    c->zero_writes = 0;

    if (++c->failures >= send_attempts) {
        settle(c, NGX_EXT_ITEM_FAILED);
    }
}

} /* namespace */

namespace kestrelvanes::core {

std::atomic<bool> ngx_transport_senders_stop{false};

ngx_int_t
ngx_transport_send_batch(ngx_transport_peer_t *peer,
                         ngx_transport_item_t *items, ngx_log_t *log,
                         ngx_str_t *remote_server,
                         ngx_pool_t *mem_pool) noexcept
{
    std::lock_guard<std::mutex> guard(peer->lock);
    batch_cursor c = {items, 0, 0, 0};
    u_char record[tls_record_size];

    /* a full URL-keyed list may have handed the peer to another URL */
    if (peer->keyed && !kestrelvanes::keyed_peer_is_for(peer, remote_server)) {
        return NGX_DECLINED;
    }

    for (ngx_transport_item_t *item = items; item; item = item->next) {
        item->state = NGX_EXT_ITEM_PENDING;
    }

    skip_empty(&c);
    check_connection(peer, log);

    while (c.item != NULL) {
        if (senders_must_stop()) {
            return NGX_DONE;
        }

        if (peer->conn.fd == -1
            && ngx_transport_init_peer(peer, log, remote_server, mem_pool)
                   != NGX_OK) {
            ngx_log_error(NGX_LOG_ERR, log, 0, "%s:%d failed to init peer",
                          __func__, __LINE__);
            kestrelvanes::count(log_stats.transport_init_failed);

            for (ngx_transport_item_t *item = c.item; item; item = item->next) {
                item->state = NGX_EXT_ITEM_NO_PEER;
            }
            return NGX_ERROR;
        }

        peer->conn.log = ngx_cycle->log;

        if (!write_some(peer, &c, log, record)) {
            attempt_failed(peer, &c, log);
        }
    }

    return NGX_OK;
}

} /* namespace kestrelvanes::core */
