/*
 * Sensor core: the per-process state both modules share, the debug ring
 * and the request attribute helpers.  The peer pools are the exporter's
 * (exporter/peer_pools.cpp).
 */
#include "nginx_ext_common.h"
#include "nginx_ext_cfg_sync.h"

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
unsigned long force_read_payload_file;

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

std::mutex debugbuf_lock;

/*
 * "%xd-" of the worker's pid, which every request id starts with: made
 * once per process (a worker has the pid nginx gave it, not the master's).
 */
ngx_str_t
pid_prefix() noexcept
{
    /* at least sixteen bytes: the request id copies sixteen at once */
    static u_char text[ngx_max(NGX_INT_T_LEN + 2, 16)];
    static ngx_str_t prefix;
    static ngx_pid_t made_for;

    if (prefix.len == 0 || made_for != ngx_pid) {
        prefix.data = text;
        prefix.len = ngx_sprintf(text, "%xd-", (int) ngx_pid) - text;
        made_for = ngx_pid;
    }

    return prefix;
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

ngx_http_variable_value_t *
ngx_request_id_variable(ngx_http_request_t *r) noexcept
{
    fill_request_id(r);

    /* one filled above needs no second look through nginx's getter */
    ngx_http_variable_value_t *v = &r->variables[ngx_http_request_id_var_index];

    if (!v->valid) {
        v = ngx_http_get_indexed_variable(r, ngx_http_request_id_var_index);
    }

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

    /*
     * nginx's 32 hex digits under a prefix of at most 16 bytes (every pid
     * has one), in three copies of sixteen that never write past the id's
     * end: the prefix and what follows it in its buffer, the head of the
     * digits over that tail, then the last sixteen.  The second and third
     * overlap with the same bytes.
     */
    if (v->len == 32 && n <= 16) {
        ngx_memcpy(p, prefix.data, 16);
        ngx_memcpy(p + n, v->data, 16);
        ngx_memcpy(p + 16, v->data + 16 - n, 16);
        return p + 32;
    }

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
