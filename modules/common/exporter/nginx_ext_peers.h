/*
 * Exporter: the collector peers, the calls that send over them, the
 * backoff clock and TLS to collectors, as the rest of the exporter and
 * (through exporter.h) the modules see them.  Defined in the
 * authorization module's object with the sensor core, and shared with
 * the access-log module's object as the core is (nginx_ext_common.h).
 * Peers are set up on the event loop and used by sender threads, each
 * under its lock.
 */
#ifndef NGINX_EXT_PEERS_H
#define NGINX_EXT_PEERS_H

#include "nginx_ext_common.h"

/* A collector a configuration names (nginx_ext_collector.h). */
typedef struct ngx_ext_collector_s ngx_ext_collector_t;

/*
 * One client connection to the collector.  Sender threads share peers, so
 * each carries a lock held for a whole send or exchange.
 *
 * A peer connects either to a collector record (collector set: the
 * collector a location or ext_stats_server names, whose address and
 * scheme it takes) or to the URL it is given at each send (the URL-keyed
 * list of authorization upstreams).  use_ssl is the scheme of its current
 * connection: the TLS choice is the connection's, never the process's.
 * address_version is the collector's address version it connected to; a
 * newer one makes the next send reconnect.
 *
 * A peer of the URL-keyed list ("keyed") may be handed to another URL
 * when the list is full; its name changes only under its lock, and
 * name_size is the room its name buffer has.  last_used orders the
 * list's peers by their last lookup; it is kept under the list's lock.
 */
typedef struct {
    ngx_addr_t server;
    ngx_connection_t conn;
    unsigned busy : 1;
    unsigned nohostname : 1;
    unsigned use_ssl : 1;
    unsigned keyed : 1;
    SSL_CTX *ctx;
    SSL *ssl;
    std::mutex lock;
    size_t name_size;
    uint64_t last_used;
    ngx_ext_collector_t *collector;
    uint64_t address_version;
} ngx_transport_peer_t;

typedef struct {
    ngx_transport_peer_t t_peer;
} ngx_peer_node_t;

typedef ssize_t (*ngx_receive_callback_func)(u_char *buf, ssize_t len,
                                             ngx_log_t *log);

/* What became of one message of a batch. */
typedef enum {
    NGX_EXT_ITEM_PENDING = 0, /* not written: the worker stopped first */
    NGX_EXT_ITEM_SENT,        /* went out whole */
    NGX_EXT_ITEM_FAILED,      /* every attempt of it failed */
    NGX_EXT_ITEM_NO_PEER,     /* no connection could be set up */
} ngx_transport_item_state_e;

/* One message of a batch written by ngx_transport_send_batch. */
typedef struct ngx_transport_item_s ngx_transport_item_t;

struct ngx_transport_item_s {
    ngx_transport_item_t *next;
    u_char *data;
    size_t len;
    ngx_transport_item_state_e state;
};

/*
 * TLS to collectors, for every TLS connection of the process: the opt-in
 * checks of the collector's certificate (off by default; the name is what
 * the certificate must carry and what is sent as SNI, empty meaning the
 * host of the collector URL), and the certificate the sensor proves
 * itself with, if any.  Everything is loaded when the configuration is
 * read, by the master (which can read keys the workers cannot); the
 * certificate into ctx, the client context every connection of that
 * configuration is made from, which lives in that configuration's pool.
 * Without a certificate ctx is NULL, and connections share a context the
 * process makes when it first needs one.
 */
typedef struct {
    ngx_flag_t verify;
    ngx_str_t name;
    X509_STORE *trusted;
    ngx_str_t certificate;
    ngx_str_t certificate_key;
    SSL_CTX *ctx;
} ngx_ext_collector_tls_t;

namespace kestrelvanes::core {

extern ngx_transport_peer_t t_peer_stats;
extern ngx_ext_collector_tls_t collector_tls;

/* peer pools */
extern ngx_list_t *peer_node_head;

/* Makes a peer record in zero-filled memory usable; no connection yet. */
void ngx_ext_peer_construct(ngx_transport_peer_t *peer) noexcept;

/*
 * n peers for the connections of one collector, from the process's peer
 * pool; the graceful exit closes them with the others.  NULL when memory
 * ran out.  The event loop.
 */
ngx_transport_peer_t *ngx_ext_peers_create(ngx_uint_t n,
                                           ngx_log_t *log) noexcept;

/*
 * Closes the peer's connection, if any, as a peer handed to another
 * collector is closed: no send failed, so nothing is counted.  Only while
 * no sender uses the peer.
 */
void ngx_ext_peer_close(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept;

ngx_transport_peer_t *
ngx_ext_access_log_get_peer(ngx_pool_t *mem_pool,
                            ngx_str_t *remote_server) noexcept;
ngx_int_t ngx_transport_init_peer(ngx_transport_peer_t *peer, ngx_log_t *log,
                                  ngx_str_t *remote_server,
                                  ngx_pool_t *mem_pool) noexcept;
void _reset_transport_peer(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept;

/* transport I/O */
ssize_t ngx_send_blocking(ngx_transport_peer_t *peer, u_char *buf, ssize_t len,
                          ngx_log_t *log) noexcept;
ssize_t ngx_transport_send(ngx_transport_peer_t *peer, u_char *buf, ssize_t len,
                           ngx_log_t *log, ngx_str_t *remote_server,
                           ngx_pool_t *mem_pool) noexcept;
ssize_t ngx_transport_send_rcv_synch(
    ngx_transport_peer_t *peer, u_char *buf, ssize_t len, ngx_log_t *log,
    ngx_str_t *remote_server, ngx_pool_t *mem_pool,
    ngx_receive_callback_func receive_callback) noexcept;
int _is_http_response_complete(u_char *buf, ssize_t len) noexcept;

/*
 * Set by an exiting worker that gives up sending what it holds: batches
 * under way then stop as on a fast stop.  Read by sender threads.
 */
extern std::atomic<bool> ngx_transport_senders_stop;

/*
 * Writes a chain of messages back to back over one peer; each message gets
 * the attempts and counters a lone ngx_transport_send would give it, and
 * its state says what became of it.  NGX_OK when every message is settled,
 * NGX_ERROR when no connection could be set up (the rest are NO_PEER),
 * NGX_DONE when the worker stopped fast or gave up its exit flush (the
 * rest stay PENDING), NGX_DECLINED when the URL-keyed peer went to
 * another URL before the batch got it (nothing written).  A graceful
 * exit alone does not stop a batch: the exiting worker sends what it
 * holds.  mem_pool, if not NULL, is where a URL's address is parsed when
 * the peer connects; without it the connection's set-up has a pool of
 * its own for that.
 */
ngx_int_t ngx_transport_send_batch(ngx_transport_peer_t *peer,
                                   ngx_transport_item_t *items, ngx_log_t *log,
                                   ngx_str_t *remote_server,
                                   ngx_pool_t *mem_pool) noexcept;

/*
 * Reads what the collector has sent without waiting, through TLS when the
 * peer uses it: > 0 bytes, 0 closed, -1 with errno (EAGAIN: nothing yet).
 */
ssize_t ngx_transport_read_nowait(ngx_transport_peer_t *peer, u_char *buf,
                                  size_t size) noexcept;

/* backoff clock */
ngx_int_t ngx_check_backoff_on(void) noexcept;
void ngx_handle_enqueue_failure(void) noexcept;

/* directives of TLS to collectors, and their check */
char *ngx_ext_set_collector_ssl_verify(ngx_conf_t *cf, ngx_command_t *cmd,
                                       void *conf) noexcept;
char *ngx_ext_set_collector_ssl_trusted(ngx_conf_t *cf, ngx_command_t *cmd,
                                        void *conf) noexcept;
char *ngx_ext_set_collector_ssl_name(ngx_conf_t *cf, ngx_command_t *cmd,
                                     void *conf) noexcept;
char *ngx_ext_set_collector_ssl_certificate(ngx_conf_t *cf, ngx_command_t *cmd,
                                            void *conf) noexcept;
char *ngx_ext_set_collector_ssl_certificate_key(ngx_conf_t *cf,
                                                ngx_command_t *cmd,
                                                void *conf) noexcept;

/*
 * Once the configuration is read: checks the settings fit together and,
 * when the sensor has a certificate, makes the client context every
 * collector connection is made from, with it.
 */
ngx_int_t ngx_ext_check_collector_tls(ngx_conf_t *cf) noexcept;

/*
 * At a graceful exit, once the senders are done: every open collector
 * connection is ended as a client should end it (our side first, then
 * the collector's answers read until it closes, within one collector
 * wait), so that nothing written is lost.  Closed with answers unread, a
 * connection is reset, and a collector loses what it had received but not
 * yet read.
 */
void ngx_ext_close_peers(ngx_log_t *log) noexcept;

/*
 * A pool that lives as long as the process: peers and the URL-keyed list
 * are allocated from it, because configuration pools die at reload while
 * the peers stay in use.
 */
ngx_pool_t *ngx_ext_peer_pool(ngx_log_t *log) noexcept;

/*
 * The heartbeat exchange over the statistics peer, on a monitoring
 * thread; the reply's logging level, backoff and sampling rate apply at
 * once.  A reply with a body is copied into mem_pool and left in
 * *policies, for ngx_ext_apply_heartbeat_policies (nginx_ext_cfg_sync.h)
 * to apply on the event loop, where patterns may be compiled safely.
 */
ssize_t ngx_send_cfg_sync_request(ngx_log_t *log, ngx_pool_t *mem_pool,
                                  ngx_str_t *policies) noexcept;

} /* namespace kestrelvanes::core */

#endif /* NGINX_EXT_PEERS_H */
