/*
 * Transport to the collector: connection set-up (TCP, or TLS for
 * "https://" URLs) and tear-down.  The address of a peer's collector or
 * URL, the socket and its options, connect() to a deadline, the TLS
 * handshake (nginx_ext_tls.cpp), and the orderly end of a connection
 * whose collector moved.  Sends and exchanges are in nginx_ext_transport.cpp.
 *
 * It owns the pool that URL-keyed peers are carved from.  Everything here
 * runs on sender-pool threads and may block; the event loop never calls
 * it.
 */
#include "nginx_ext_transport.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <openssl/err.h>

#include <cerrno>
#include <chrono>
#include <new>

namespace {

using kestrelvanes::error_text;

constexpr size_t peer_pool_size = 16384;
/* ngx_parse_url's allocations for one address and its name */
constexpr size_t url_pool_size = 1024;
constexpr size_t host_text_size = 256;
/* how often a wait on the collector looks whether the worker stops */
constexpr ngx_msec_t wait_slice_ms = 100;

ngx_pool_t *peer_pool;

/* Drops the scheme and tells which one it was. */
ngx_str_t
strip_scheme(ngx_str_t *url, bool *tls) noexcept
{
    ngx_str_t rest = *url;

    *tls = false;

    if (url->len > 7
        && ngx_strncasecmp(url->data, (u_char *) "http://", 7) == 0) {
        rest.data += 7;
        rest.len -= 7;

    } else if (url->len > 8
               && ngx_strncasecmp(url->data, (u_char *) "https://", 8) == 0) {
        rest.data += 8;
        rest.len -= 8;
        *tls = true;
    }

    return rest;
}

/*
 * The address of a URL (scheme already dropped), and its host text
 * (host_text_size bytes with the NUL) in host.  Only host and port are
 * accepted, and only an address: a sender thread never waits on a name
 * server.  The URLs given here are the addresses nginx's upstreams
 * connected to ($opc_endpoint); collectors a configuration names by host
 * name connect through their records, resolved elsewhere.
 */
ngx_int_t
parse_url_in_pool(ngx_str_t *host_port, ngx_sockaddr_t *sa, socklen_t *socklen,
                  char *host, ngx_pool_t *pool, ngx_log_t *log) noexcept
{
    ngx_url_t u;

    ngx_memzero(&u, sizeof(ngx_url_t));
    u.url = *host_port;
    u.no_resolve = 1;

    if (ngx_parse_url(pool, &u) != NGX_OK) {
        if (u.err) {
            ngx_log_error(NGX_LOG_ERR, log, 0, "%s in ext access \"%V\"", u.err,
                          host_port);
        }
        return NGX_ERROR;
    }

    if (u.naddrs == 0 || u.addrs[0].socklen > sizeof(ngx_sockaddr_t)) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "\"%V\" is not an address: sender threads do not "
                      "look names up",
                      host_port);
        return NGX_ERROR;
    }

    /* the name a verified certificate must carry, unless one is configured */
    size_t n = ngx_min(u.host.len, host_text_size - 1);
    ngx_memcpy(host, u.host.data, n);
    host[n] = '\0';

    ngx_memcpy(sa, u.addrs[0].sockaddr, u.addrs[0].socklen);
    *socklen = u.addrs[0].socklen;

    return NGX_OK;
}

/*
 * The same, in the caller's pool, or without one (a batch's messages
 * carry none) in a small pool of its own: what nginx's parser allocates
 * is copied out before it goes.  Only a connection's set-up parses.
 */
ngx_int_t
parse_url_address(ngx_str_t *host_port, ngx_sockaddr_t *sa, socklen_t *socklen,
                  char *host, ngx_pool_t *pool, ngx_log_t *log) noexcept
{
    if (pool != NULL) {
        return parse_url_in_pool(host_port, sa, socklen, host, pool, log);
    }

    ngx_pool_t *own = ngx_create_pool(url_pool_size, log);
    if (own == NULL) {
        return NGX_ERROR;
    }

    ngx_int_t rc = parse_url_in_pool(host_port, sa, socklen, host, own, log);
    ngx_destroy_pool(own);

    return rc;
}

/*
 * Where the peer connects, and how: its collector record's address and
 * scheme, or its URL's.
 */
ngx_int_t
peer_address(ngx_transport_peer_t *peer, ngx_log_t *log,
             ngx_str_t *remote_server, ngx_pool_t *mem_pool, ngx_sockaddr_t *sa,
             socklen_t *socklen, bool *tls, char *host) noexcept
{
    ngx_ext_collector_t *c = peer->collector;

    if (c == NULL) {
        ngx_str_t host_port = strip_scheme(remote_server, tls);
        return parse_url_address(&host_port, sa, socklen, host, mem_pool, log);
    }

    *tls = c->tls;
    ngx_cpystrn(reinterpret_cast<u_char *>(host), c->host.data,
                ngx_min(c->host.len + 1, host_text_size));

    if (!ngx_ext_collector_address(c, sa, socklen, &peer->address_version)) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "collector host \"%V\" has no address yet", &c->host);
        return NGX_ERROR;
    }

    return NGX_OK;
}

ngx_int_t
set_socket_options(ngx_socket_t s, ngx_log_t *log) noexcept
{
    /*
     * connect(), reads and the handshake never wait on the socket itself
     * (they poll to a deadline); the receive timeout is a backstop for a
     * TLS write that has to read, the send timeout bounds blocking writes.
     */
    struct timeval tv = {5, 0};

    if (setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == -1
        || setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == -1) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "access logging setting SO_SNDTIMEO failed errno %s",
                      error_text(ngx_socket_errno));
        kestrelvanes::count(log_stats.socket_timeout_cfg_fail);
        return NGX_ERROR;
    }

    struct keepalive_option {
        int level;
        int name;
        int value;
        const char *message;
    };

    const keepalive_option options[] = {
        {SOL_SOCKET, SO_KEEPALIVE, 1,
         "access logging setsockopt SO_KEEPALIVE failed errno %s"},
        {IPPROTO_TCP, TCP_KEEPINTVL, 5,
         "access logging setsockopt TCP_KEEPINTVL failed"},
        {IPPROTO_TCP, TCP_KEEPIDLE, 10,
         "access logging setsockopt TCP_KEEPIDLE failed"},
        {IPPROTO_TCP, TCP_KEEPCNT, 3,
         "access logging setsockopt TCP_KEEPCNT failed"},
    };

    for (const keepalive_option &o : options) {
        if (setsockopt(s, o.level, o.name, &o.value, sizeof(o.value)) == -1) {
            ngx_err_t err = ngx_socket_errno;
            ngx_log_error(NGX_LOG_ALERT, log, err, o.message, error_text(err));
            kestrelvanes::count(log_stats.socket_keepalive_cfg_fail);
            return NGX_ERROR;
        }
    }

    return NGX_OK;
}

ngx_int_t
close_path(ngx_transport_peer_t *peer, ngx_socket_t s, ngx_log_t *log) noexcept
{
    peer->conn.fd = -1;

    if (close(s) == -1) {
        ngx_log_error(NGX_LOG_ALERT, log, 0, "socket close failed errno %s",
                      error_text(ngx_socket_errno));
        kestrelvanes::count(log_stats.socket_close_failed);
    }

    return NGX_ERROR;
}

/*
 * connect() on a non-blocking socket, waited for to the deadline: a
 * collector whose address drops SYNs would otherwise hold the thread (and
 * a worker that stops, and so the master's patience) for as long as the
 * kernel retries.  Returns 0, or the errno of the failure.
 */
int
connect_until(ngx_socket_t s, struct sockaddr *sa, socklen_t socklen,
              ngx_msec_t deadline) noexcept
{
    if (ngx_nonblocking(s) == -1) {
        return ngx_socket_errno;
    }

    int err = 0;

    if (connect(s, sa, socklen) == -1) {
        err = ngx_socket_errno;
    }

    if (err == EINPROGRESS) {
        socklen_t len = sizeof(err);

        if (!kestrelvanes::wait_ready(s, POLLOUT, deadline)) {
            err = ETIMEDOUT;

        } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == -1) {
            err = ngx_socket_errno;
        }
    }

    /* sends and the TLS code expect a blocking socket */
    if (err == 0 && ngx_blocking(s) == -1) {
        err = ngx_socket_errno;
    }

    return err;
}

} /* namespace */

namespace kestrelvanes {

ngx_msec_t
monotonic_ms() noexcept
{
    using namespace std::chrono;

    return static_cast<ngx_msec_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
            .count());
}

bool
wait_ready(ngx_socket_t fd, short events, ngx_msec_t deadline) noexcept
{
    for (;;) {
        ngx_msec_t now = monotonic_ms();

        /*
         * On a fast stop the master kills a worker that has not exited
         * within about a second and a half, and the worker's exit waits
         * for its thread pools (and its main thread may wait here for the
         * last statistics of an exit): give up the wait instead of being
         * killed.
         */
        if (now >= deadline || kestrelvanes::worker_terminating()) {
            return false;
        }

        struct pollfd pfd = {fd, events, 0};
        int slice = static_cast<int>(ngx_min(deadline - now, wait_slice_ms));
        int rc = poll(&pfd, 1, slice);

        if (rc > 0) {
            return true;
        }

        if (rc == -1 && errno != EINTR) {
            return false;
        }
    }
}

void
finish_writing(ngx_transport_peer_t *peer) noexcept
{
    if (peer->use_ssl && peer->ssl != NULL) {
        (void) SSL_shutdown(peer->ssl);
        ERR_clear_error();
    }

    (void) shutdown(peer->conn.fd, SHUT_WR);
}

void
drain_until_closed(ngx_transport_peer_t *peer, ngx_msec_t deadline) noexcept
{
    u_char buf[NGX_EXT_RECV_BUFFER_SIZE];

    while (!worker_terminating()) {
        ssize_t n = recv(peer->conn.fd, buf, sizeof(buf), MSG_DONTWAIT);

        if (n > 0) {
            continue;
        }

        if (n == 0
            || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return;
        }

        if (!wait_ready(peer->conn.fd, POLLIN, deadline)) {
            return;
        }
    }
}

void
leave_old_address(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    ngx_log_error(NGX_LOG_INFO, log, 0,
                  "collector \"%V\" has a new address: its connection to the "
                  "old one is closed",
                  &peer->collector->url);

    finish_writing(peer);
    drain_until_closed(peer, deadline_in(collector_wait_ms));
    ngx_ext_peer_close(peer, log);
}

ngx_int_t
connect_peer(ngx_transport_peer_t *peer, ngx_log_t *log,
             ngx_str_t *remote_server, ngx_pool_t *mem_pool,
             ngx_msec_t deadline) noexcept
{
    peer->conn.fd = -1;
    kestrelvanes::use_thread_events(peer);

    if (peer->collector == NULL
        && (remote_server == NULL || remote_server->data == NULL)) {
        kestrelvanes::count(log_stats.task_srv_nil);
        return NGX_ERROR;
    }

    bool tls;
    ngx_sockaddr_t sa;
    socklen_t socklen;
    char host[host_text_size];

    if (peer_address(peer, log, remote_server, mem_pool, &sa, &socklen, &tls,
                     host)
        != NGX_OK) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "Couldnt resolve access log endpoint: ret %d", -1);
        kestrelvanes::count(log_stats.host_res_fail);
        return NGX_ERROR;
    }

    peer->use_ssl = tls;

    ngx_socket_t s = socket(sa.sockaddr.sa_family, SOCK_STREAM, 0);
    if (s == (ngx_socket_t) -1) {
        ngx_log_error(NGX_LOG_ALERT, log, ngx_socket_errno, "socket() failed");
        kestrelvanes::count(log_stats.socket_create_fail);
        return NGX_ERROR;
    }

    if (set_socket_options(s, log) != NGX_OK) {
        return close_path(peer, s, log);
    }

    int err = connect_until(s, &sa.sockaddr, socklen, deadline);
    if (err != 0) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "access logging socket connect failed errno %s",
                      error_text(err));
        kestrelvanes::count(log_stats.socket_connect_fail);
        return close_path(peer, s, log);
    }

    peer->conn.fd = s;

    if (!tls) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "connection succeeded without ssl");
        kestrelvanes::count(log_stats.socket_connected);
        return NGX_OK;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0, "connection succeeded with ssl");

    if (tls_handshake(peer, log, host, deadline) != NGX_OK) {
        return close_path(peer, s, log);
    }

    kestrelvanes::count(log_stats.socket_connected);
    return NGX_OK;
}

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

ngx_pool_t *
ngx_ext_peer_pool(ngx_log_t *log) noexcept
{
    if (peer_pool == NULL) {
        peer_pool = ngx_create_pool(peer_pool_size, log);
    }

    return peer_pool;
}

void
ngx_ext_peer_construct(ngx_transport_peer_t *peer) noexcept
{
    new (&peer->lock) std::mutex;
    peer->conn.fd = -1;
}

ngx_int_t
ngx_transport_init_peer(ngx_transport_peer_t *peer, ngx_log_t *log,
                        ngx_str_t *remote_server, ngx_pool_t *mem_pool) noexcept
{
    return kestrelvanes::connect_peer(
        peer, log, remote_server, mem_pool,
        kestrelvanes::deadline_in(kestrelvanes::collector_wait_ms));
}

void
_reset_transport_peer(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    if (peer->conn.fd == -1) {
        return;
    }

    if (close(peer->conn.fd) == -1) {
        ngx_log_error(NGX_LOG_ALERT, log, ngx_socket_errno,
                      "close() socket failed");
        kestrelvanes::count(log_stats.socket_close_failed);
    }

    kestrelvanes::count(log_stats.msg_send_failed);
    peer->conn.fd = -1;
}

} /* namespace kestrelvanes::core */
