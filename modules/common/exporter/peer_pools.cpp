/*
 * Exporter: the process's peers, the connections to collectors.  A
 * collector's peers come in a block, one per connection, made on the event
 * loop when a worker first sends to it (log_queue.cpp); the URL-keyed list
 * holds one peer per authorization server URL, looked up and added by the
 * sending pool threads under its lock; the statistics peer serves
 * heartbeats and statistics.  At a worker's exit, on the event loop, every
 * idle peer is closed after the collector has read what it was sent.  Built into the authorization
 * module's object, with the rest of the core: what is declared in
 * kestrelvanes::core here is the core's export.
 */
#include "nginx_ext_common.h"
#include "nginx_ext_transport.h"

#include <sys/socket.h>

#include <mutex>

namespace kestrelvanes::core {

ngx_transport_peer_t t_peer_stats;
ngx_list_t *peer_node_head;

} /* namespace kestrelvanes::core */

namespace {

/*
 * The peers of collector records, a block per collector the worker sends
 * to (at most a few dozen: log_queue.cpp caps them and hands the least
 * recently used to the next).  Only the exit walks the list.
 */
struct peer_block {
    peer_block *next;
    ngx_uint_t count;
    ngx_transport_peer_t *peers;
};

peer_block *peer_blocks;

constexpr ngx_uint_t peer_list_part_size = 10;

/*
 * The URL-keyed list holds at most this many peers, one socket each.  An
 * authorization upstream whose addresses change would otherwise leave a
 * peer, and its socket, behind for every address it ever had.
 */
constexpr ngx_uint_t max_keyed_peers = 64;

/* name room of a new keyed peer: an address and port, with the scheme */
constexpr size_t keyed_name_room = 128;

std::mutex peer_list_lock;
uint64_t peer_list_lookups;

/* the whole URL must agree: ":80" is not ":8000" */
bool
same_url(const ngx_str_t *name, const ngx_str_t *url) noexcept
{
    return name->len == url->len
           && ngx_strncmp(name->data, url->data, url->len) == 0;
}

ngx_transport_peer_t *
find_keyed_peer(ngx_str_t *url, ngx_uint_t *count) noexcept
{
    *count = 0;

    for (ngx_list_part_t *part = &peer_node_head->part; part;
         part = part->next) {
        auto *nodes = static_cast<ngx_peer_node_t *>(part->elts);

        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            ++*count;
            if (same_url(&nodes[i].t_peer.server.name, url)) {
                return &nodes[i].t_peer;
            }
        }
    }

    return NULL;
}

/* Copies the URL, NUL-terminated, into the peer's name room. */
bool
set_keyed_name(ngx_transport_peer_t *peer, ngx_pool_t *pool,
               ngx_str_t *url) noexcept
{
    if (url->len + 1 > peer->name_size) {
        size_t size = ngx_max(url->len + 1, keyed_name_room);
        auto *name = static_cast<u_char *>(ngx_pnalloc(pool, size));

        if (name == NULL) {
            return false;
        }

        peer->server.name.data = name;
        peer->name_size = size;
    }

    ngx_cpystrn(peer->server.name.data, url->data, url->len + 1);
    peer->server.name.len = url->len;
    return true;
}

ngx_transport_peer_t *
add_keyed_peer(ngx_pool_t *pool, ngx_str_t *url) noexcept
{
    auto *node = static_cast<ngx_peer_node_t *>(ngx_list_push(peer_node_head));
    if (node == NULL) {
        return NULL;
    }

    /* a node whose name could not be copied stays, nameless, for reuse */
    ngx_memzero(static_cast<void *>(node), sizeof(ngx_peer_node_t));
    ngx_ext_peer_construct(&node->t_peer);
    node->t_peer.keyed = 1;

    return set_keyed_name(&node->t_peer, pool, url) ? &node->t_peer : NULL;
}

/*
 * Which peer a full list gives to a new URL: one without a connection (its
 * address stopped answering, or never did) before one with, then the one
 * unused the longest.
 */
bool
better_to_reuse(const ngx_transport_peer_t *a,
                const ngx_transport_peer_t *b) noexcept
{
    if ((a->conn.fd == -1) != (b->conn.fd == -1)) {
        return a->conn.fd == -1;
    }

    return a->last_used < b->last_used;
}

/*
 * Hands the best idle peer to the URL; a peer in use (locked) is passed
 * over.  NULL when every peer is in use.
 */
ngx_transport_peer_t *
reuse_keyed_peer(ngx_pool_t *pool, ngx_str_t *url) noexcept
{
    ngx_transport_peer_t *best = NULL;

    for (ngx_list_part_t *part = &peer_node_head->part; part;
         part = part->next) {
        auto *nodes = static_cast<ngx_peer_node_t *>(part->elts);

        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            ngx_transport_peer_t *peer = &nodes[i].t_peer;

            if (!peer->lock.try_lock()) {
                continue;
            }

            if (best != NULL && !better_to_reuse(peer, best)) {
                peer->lock.unlock();
                continue;
            }

            if (best != NULL) {
                best->lock.unlock();
            }
            best = peer;
        }
    }

    if (best == NULL) {
        return NULL;
    }

    ngx_ext_peer_close(best, ngx_cycle->log);
    bool named = set_keyed_name(best, pool, url);
    best->lock.unlock();

    return named ? best : NULL;
}

/*
 * Calls fn for every peer of the process: those of collector records, the
 * URL-keyed list and the statistics peer.
 */
template <typename Fn>
void
for_each_peer(Fn fn) noexcept
{
    for (peer_block *b = peer_blocks; b != NULL; b = b->next) {
        for (ngx_uint_t i = 0; i < b->count; i++) {
            fn(&b->peers[i]);
        }
    }

    for (ngx_list_part_t *part = peer_node_head ? &peer_node_head->part : NULL;
         part; part = part->next) {
        auto *nodes = static_cast<ngx_peer_node_t *>(part->elts);

        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            fn(&nodes[i].t_peer);
        }
    }

    fn(&t_peer_stats);
}

} /* namespace */

namespace kestrelvanes {

bool
keyed_peer_is_for(ngx_transport_peer_t *peer, ngx_str_t *remote_server) noexcept
{
    return same_url(&peer->server.name, remote_server);
}

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

ngx_transport_peer_t *
ngx_ext_peers_create(ngx_uint_t n, ngx_log_t *log) noexcept
{
    ngx_pool_t *pool = ngx_ext_peer_pool(log);
    if (pool == NULL) {
        return NULL;
    }

    peer_block *block;
    ngx_transport_peer_t *peers;

    {
        /*
         * The pool threads add URL-keyed peers to this pool under the
         * lock while the event loop makes a new collector's peers here.
         */
        std::lock_guard<std::mutex> guard(peer_list_lock);

        block =
            static_cast<peer_block *>(ngx_pcalloc(pool, sizeof(peer_block)));
        peers = static_cast<ngx_transport_peer_t *>(
            ngx_pcalloc(pool, n * sizeof(ngx_transport_peer_t)));
    }

    if (block == NULL || peers == NULL) {
        return NULL;
    }

    for (ngx_uint_t i = 0; i < n; i++) {
        ngx_ext_peer_construct(&peers[i]);
    }

    block->count = n;
    block->peers = peers;
    block->next = peer_blocks;
    peer_blocks = block;

    return peers;
}

void
ngx_ext_peer_close(ngx_transport_peer_t *peer, ngx_log_t *log) noexcept
{
    /*
     * Answers left unread would make the close a reset, which can cost the
     * collector what it received but had not read yet.  Never waits.
     */
    if (peer->conn.fd != -1) {
        u_char buf[NGX_EXT_RECV_BUFFER_SIZE];

        for (int i = 0; i < 16; i++) {
            if (recv(peer->conn.fd, buf, sizeof(buf), MSG_DONTWAIT) <= 0) {
                break;
            }
        }
    }

    if (peer->ssl != NULL) {
        SSL_free(peer->ssl);
        peer->ssl = NULL;
    }

    if (peer->conn.fd != -1 && close(peer->conn.fd) == -1) {
        ngx_log_error(NGX_LOG_ALERT, log, ngx_socket_errno,
                      "close() socket failed");
        kestrelvanes::count(log_stats.socket_close_failed);
    }

    peer->conn.fd = -1;
}

ngx_transport_peer_t *
ngx_ext_access_log_get_peer(ngx_pool_t *mem_pool,
                            ngx_str_t *remote_server) noexcept
{
    std::lock_guard<std::mutex> guard(peer_list_lock);

    if (peer_node_head == NULL) {
        peer_node_head = ngx_list_create(mem_pool, peer_list_part_size,
                                         sizeof(ngx_peer_node_t));
        if (peer_node_head == NULL) {
            return NULL;
        }
    }

    ngx_uint_t count;
    ngx_transport_peer_t *peer = find_keyed_peer(remote_server, &count);

    if (peer == NULL) {
        peer = count < max_keyed_peers
                   ? add_keyed_peer(mem_pool, remote_server)
                   : reuse_keyed_peer(mem_pool, remote_server);
    }

    if (peer != NULL) {
        peer->last_used = ++peer_list_lookups;
    }

    return peer;
}

void
ngx_ext_close_peers(ngx_log_t *log) noexcept
{
    ngx_msec_t deadline =
        kestrelvanes::deadline_in(kestrelvanes::collector_wait_ms);
    ngx_uint_t open = 0;

    /* a peer whose lock is held is still a sender's: it is left alone */
    auto usable = [](ngx_transport_peer_t *peer) {
        if (peer->conn.fd == -1 || !peer->lock.try_lock()) {
            return false;
        }
        peer->lock.unlock();
        return true;
    };

    for_each_peer([&](ngx_transport_peer_t *peer) {
        if (usable(peer)) {
            kestrelvanes::finish_writing(peer);
            open++;
        }
    });

    if (open == 0) {
        return;
    }

    /* the collectors read in parallel: one deadline serves them all */
    for_each_peer([&](ngx_transport_peer_t *peer) {
        if (usable(peer)) {
            kestrelvanes::drain_until_closed(peer, deadline);
            close(peer->conn.fd);
            peer->conn.fd = -1;
        }
    });

    ngx_log_error(NGX_LOG_INFO, log, 0,
                  "[KESTRELVANES] exiting: %ui collector connections closed",
                  open);
}

} /* namespace kestrelvanes::core */
