/*
 * Sensor core: the per-process state both modules share, the debug ring,
 * the peer pools and the request attribute helpers.
 */
#include "nginx_ext_common.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <openssl/err.h>

#include <cerrno>

namespace {

/*
 * Set by the authorization module while the configuration is read, so on
 * the event loop before any request; read on the event loop only.
 */
ngx_ext_request_state_pt request_state_finder;

} /* namespace */

namespace kestrelvanes::core {

ngx_ext_access_log_stats_t log_stats;
ngx_ext_auth_stats_t auth_stats;

std::atomic<LogMode> ngx_ext_sensor_log_mode{DefaultLogMode};
std::atomic<ngx_uint_t> ngx_ext_sampling_rate{0};
std::atomic<ngx_msec_int_t> ngx_backoff_duration{0};
std::atomic<ngx_msec_int_t> ngx_backoff_end_ts{0};
ngx_str_t ext_instance_name = ngx_null_string;
u_char cfg_sync_buffer[NGX_EXT_CFG_SYNC_BUFFER_SIZE];
ngx_str_t remote_logging_stat_server = ngx_null_string;
ngx_transport_peer_t t_peer_stats;
unsigned long force_read_payload_file;

ngx_list_t *peer_node_head;
ngx_uint_t num_socket_conns = 1;

char access_log_debugbuf[NGX_EXT_DEBUGBUF_ROWS][NGX_EXT_DEBUGBUF_COLS];
std::atomic<uint64_t> current_buf_index{0};

ngx_str_t ngx_http_request_id = ngx_string("request_id");
ngx_str_t ngx_http_x_forwarded_for = ngx_string("proxy_add_x_forwarded_for");
ngx_str_t ngx_http_x_forwarded_proto = ngx_string("scheme");

ngx_uint_t ngx_http_request_id_var_index;
ngx_uint_t ngx_http_x_forwarded_for_var_index;
ngx_uint_t ngx_http_x_forwarded_proto_var_index;

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

std::mutex debugbuf_lock;

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
 * "%xd-" of the worker's pid, which every request id starts with: made
 * once per process (a worker has the pid nginx gave it, not the master's).
 */
ngx_str_t
pid_prefix() noexcept
{
    static u_char text[NGX_INT_T_LEN + 2];
    static ngx_str_t prefix;
    static ngx_pid_t made_for;

    if (prefix.len == 0 || made_for != ngx_pid) {
        prefix.data = text;
        prefix.len = ngx_sprintf(text, "%xd-", (int) ngx_pid) - text;
        made_for = ngx_pid;
    }

    return prefix;
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

#if (NGX_OPENSSL && nginx_version < 1031000)

/*
 * nginx before 1.31 draws the 16 bytes of each $request_id with a
 * RAND_bytes() call of its own, which costs more than the rest of a log
 * message.  The sensor reads the id of every exchange it captures, so
 * when nothing has asked for the variable yet it fills it as nginx's own
 * getter would, from the same generator's output drawn a block at a time:
 * the same bytes, one call per 256 requests.  Whatever reads $request_id
 * later in the request (an access_log line) reads this value.  The block
 * belongs to the worker: it is drawn again after a fork.
 */
constexpr size_t random_block_size = 4096;
constexpr size_t request_id_bytes = 16;

u_char random_block[random_block_size];
size_t random_used = random_block_size;
ngx_pid_t random_drawn_by;

const u_char *
next_random_bytes() noexcept
{
    if (random_drawn_by != ngx_pid || random_used == random_block_size) {
        if (RAND_bytes(random_block, random_block_size) != 1) {
            ERR_clear_error();
            random_used = random_block_size;
            return NULL;
        }
        random_drawn_by = ngx_pid;
        random_used = 0;
    }

    const u_char *bytes = random_block + random_used;
    random_used += request_id_bytes;
    return bytes;
}

/* Leaves the variable to nginx when anything fails: it then draws it. */
void
fill_request_id(ngx_http_request_t *r) noexcept
{
    ngx_http_variable_value_t *v = &r->variables[ngx_http_request_id_var_index];

    if (v->valid || v->not_found) {
        return;
    }

    u_char *id =
        static_cast<u_char *>(ngx_pnalloc(r->pool, 2 * request_id_bytes));
    if (id == NULL) {
        return;
    }

    const u_char *bytes = next_random_bytes();
    if (bytes == NULL) {
        return;
    }

    kestrelvanes::write_hex(id, bytes, request_id_bytes);
    /* a used id is not left behind in the worker's memory */
    ngx_explicit_memzero(const_cast<u_char *>(bytes), request_id_bytes);

    v->len = 2 * request_id_bytes;
    v->data = id;
    v->valid = 1;
    v->no_cacheable = 0;
    v->not_found = 0;
}

#else

/* nginx's own getter is cheap here (or has no generator to save) */
void
fill_request_id(ngx_http_request_t *) noexcept
{
}

#endif

} /* namespace */

namespace kestrelvanes {

bool
keyed_peer_is_for(ngx_transport_peer_t *peer, ngx_str_t *remote_server) noexcept
{
    return same_url(&peer->server.name, remote_server);
}

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

void
update_log_buf(char *data) noexcept
{
    /* sender threads of both pools may set up connections at once */
    std::lock_guard<std::mutex> guard(debugbuf_lock);

    /* rows 0..126 cycle; row 127 is never written */
    uint64_t row = current_buf_index.load(std::memory_order_relaxed);

    if (row > NGX_EXT_DEBUGBUF_ROWS - 2) {
        row = 0;
    }
    current_buf_index.store(row + 1, std::memory_order_relaxed);

    char *dst = access_log_debugbuf[row];
    size_t i = 0;

    for (; i < NGX_EXT_DEBUGBUF_COLS - 1 && data[i] != '\0'; i++) {
        dst[i] = data[i];
    }
    for (; i < NGX_EXT_DEBUGBUF_COLS - 1; i++) {
        dst[i] = '\0';
    }
}

ngx_uint_t
ngx_http_hash_key(const u_char *data, size_t len) noexcept
{
    ngx_uint_t key = 0;

    for (size_t i = 0; i < len; i++) {
        key = ngx_hash(key, ngx_tolower(data[i]));
    }

    return key;
}

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

ngx_http_variable_value_t *
ngx_request_id_variable(ngx_http_request_t *r) noexcept
{
    fill_request_id(r);

    ngx_http_variable_value_t *v =
        ngx_http_get_indexed_variable(r, ngx_http_request_id_var_index);

    if (v == NULL || v->not_found) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "Couldnt get request_id var index");
        return NULL;
    }

    return v;
}

u_char *
ngx_write_request_id(u_char *p, const ngx_http_variable_value_t *v) noexcept
{
    /*
     * The id keeps the length of nginx's request_id: the pid prefix pushes
     * the tail of the request_id text out.
     */
    ngx_str_t prefix = pid_prefix();
    size_t n = ngx_min(prefix.len, (size_t) v->len);

    p = ngx_cpymem(p, prefix.data, n);
    return ngx_cpymem(p, v->data, v->len - n);
}

ngx_int_t
ngx_get_request_id(ngx_http_request_t *r, u_char *buff) noexcept
{
    ngx_http_variable_value_t *v = ngx_request_id_variable(r);

    if (v == NULL) {
        return NGX_ERROR;
    }

    *ngx_write_request_id(buff, v) = '\0';

    return NGX_OK;
}

u_char *
ngx_write_client_addr(ngx_http_request_t *r, u_char *p) noexcept
{
    /* $remote_addr is the connection's address text, realip's included */
    p = ngx_cpymem(p, r->connection->addr_text.data,
                   r->connection->addr_text.len);
    *p++ = ':';

    /* $remote_port as nginx makes it (empty outside 1..65535), unformatted */
    in_port_t port = ngx_inet_get_port(r->connection->sockaddr);
    if (port > 0) {
        p = kestrelvanes::write_decimal(p, port);
    }

    return p;
}

ngx_int_t
ngx_get_opc_lb_endpoint(ngx_http_request_t *r, ngx_str_t *opc_endpoint) noexcept
{
    static u_char name_data[] = "opc_endpoint";
    ngx_str_t name = {sizeof(name_data) - 1, name_data};

    /* asked twice per request: the key of a fixed name is hashed once */
    static const ngx_uint_t key = ngx_hash_key(name.data, name.len);
    ngx_http_variable_value_t *v = ngx_http_get_variable(r, &name, key);

    if (v == NULL || !v->valid) {
        return NGX_ERROR;
    }

    opc_endpoint->len = v->len;
    opc_endpoint->data = v->data;

    return NGX_OK;
}

u_char *
ngx_str_to_null_term_string(u_char *buffer, ngx_str_t *str) noexcept
{
    ngx_memcpy(buffer, str->data, str->len);
    buffer[str->len] = '\0';
    return buffer;
}

LogMode
ngx_get_log_mode_cached(ngx_http_request_t *r) noexcept
{
    LogMode mode;

    get_log_mode_from_auth(r, &mode);
    return mode;
}

void
ngx_ext_set_request_state_finder(ngx_ext_request_state_pt find) noexcept
{
    request_state_finder = find;
}

ngx_ext_request_state_t *
ngx_ext_request_state(ngx_http_request_t *r) noexcept
{
    if (request_state_finder == NULL) {
        return NULL;
    }

    return request_state_finder(r);
}

} /* namespace kestrelvanes::core */
