/*
 * Transport internals shared by its units (connection set-up, TLS, the
 * reply check).  Nothing here is part of what the access-log module binds
 * to.
 */
#ifndef NGINX_EXT_TRANSPORT_H
#define NGINX_EXT_TRANSPORT_H

#include "nginx_ext_collector.h"

#include <cstring>

namespace kestrelvanes {

/*
 * Every wait on the collector ends at a deadline for the whole operation:
 * a collector that sends a byte now and then must not keep a sender
 * thread, and the peer's lock, for longer than this.
 */
constexpr ngx_msec_t collector_wait_ms = 5000;

/* The text of an errno value, for the error log. */
inline const char *
error_text(int err) noexcept
{
    return strerror(err);
}

/*
 * The peer's connection takes this thread's own events, which nginx's
 * send routine wants: concurrent sends on different peers do not share
 * one record.
 */
void use_thread_events(ngx_transport_peer_t *peer) noexcept;

/* Milliseconds of a clock that only goes forward; any thread. */
ngx_msec_t monotonic_ms() noexcept;

inline ngx_msec_t
deadline_in(ngx_msec_t ms) noexcept
{
    return monotonic_ms() + ms;
}

/*
 * Waits until fd is ready for events (POLLIN or POLLOUT) or the deadline
 * passes; false when the deadline passed or poll failed.
 */
bool wait_ready(ngx_socket_t fd, short events, ngx_msec_t deadline) noexcept;

/* Connection set-up with a deadline for the TLS handshake. */
ngx_int_t connect_peer(ngx_transport_peer_t *peer, ngx_log_t *log,
                       ngx_str_t *remote_server, ngx_pool_t *mem_pool,
                       ngx_msec_t deadline) noexcept;

/*
 * The TLS handshake on the peer's connected socket; host is the URL's
 * host (NUL-terminated), checked against the certificate when the
 * process verifies collectors.
 */
ngx_int_t tls_handshake(ngx_transport_peer_t *peer, ngx_log_t *log,
                        const char *host, ngx_msec_t deadline) noexcept;

/* A read through TLS that never waits: as recv() with MSG_DONTWAIT. */
ssize_t tls_read_nowait(ngx_transport_peer_t *peer, u_char *buf,
                        size_t size) noexcept;

/* True when part of a TLS record has come and waits for the rest. */
bool tls_record_pending(ngx_transport_peer_t *peer) noexcept;

/* True when a TLS collector has closed the connection. */
bool tls_peer_closed(ngx_transport_peer_t *peer) noexcept;

/*
 * True while the bytes read so far are the start of a reply that is not
 * whole yet (head, then as many body bytes as its Content-Length says)
 * and that would still fit in len_limit bytes.
 */
bool reply_needs_more(const u_char *buf, size_t len, size_t len_limit) noexcept;

/*
 * Our side of the connection is done: TLS says so first, then TCP.  The
 * collector reads everything that went before, answers, and closes.
 */
void finish_writing(ngx_transport_peer_t *peer) noexcept;

/*
 * Reads away the collector's answers until it closes, the deadline passes
 * or a fast stop comes; the bytes are not looked at (through TLS they are
 * records, which are no longer read).
 */
void drain_until_closed(ngx_transport_peer_t *peer,
                        ngx_msec_t deadline) noexcept;

/* The peer's connection goes to an address its collector no longer has. */
inline bool
address_moved(const ngx_transport_peer_t *peer) noexcept
{
    return peer->collector != NULL && peer->conn.fd != -1
           && peer->address_version
                  != peer->collector->version.load(std::memory_order_acquire);
}

/*
 * A connection to an address the collector no longer has is ended, as a
 * client should end it (nothing it carried is lost), so that the next
 * message goes to the new address.  Nothing is counted: no send failed.
 */
void leave_old_address(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept;

/* True when a keyed peer still belongs to the URL it was looked up for. */
bool keyed_peer_is_for(ngx_transport_peer_t *peer,
                       ngx_str_t *remote_server) noexcept;

} /* namespace kestrelvanes */

#endif /* NGINX_EXT_TRANSPORT_H */
