/*
 * Sensor core: the per-process state both modules share, the debug ring,
 * the peer pools and the request attribute helpers.
 */
#include "nginx_ext_common.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_auth_module.h"

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
std::atomic<uint64_t> enable_ssl{0};
unsigned long force_read_payload_file;

ngx_peer_node_t *request_peer_node;
ngx_peer_node_t *response_peer_node;
ngx_list_t *peer_node_head;
ngx_uint_t num_socket_conns = 1;

char access_log_debugbuf[NGX_EXT_DEBUGBUF_ROWS][NGX_EXT_DEBUGBUF_COLS];
std::atomic<uint64_t> current_buf_index{0};

ngx_str_t ngx_http_request_id = ngx_string("request_id");
ngx_str_t ngx_http_x_request_uri = ngx_string("request_uri");
ngx_str_t ngx_http_x_request_method = ngx_string("request_method");
ngx_str_t ngx_http_x_host = ngx_string("host");
ngx_str_t ngx_http_x_remote_addr = ngx_string("remote_addr");
ngx_str_t ngx_http_x_remote_port = ngx_string("remote_port");
ngx_str_t ngx_http_x_forwarded_for = ngx_string("proxy_add_x_forwarded_for");
ngx_str_t ngx_http_x_forwarded_proto = ngx_string("scheme");

ngx_uint_t ngx_http_request_id_var_index;
ngx_uint_t ngx_http_x_request_uri_var_index;
ngx_uint_t ngx_http_x_request_method_var_index;
ngx_uint_t ngx_http_x_host_var_index;
ngx_uint_t ngx_http_x_remote_addr_var_index;
ngx_uint_t ngx_http_x_remote_port_var_index;
ngx_uint_t ngx_http_x_forwarded_for_var_index;
ngx_uint_t ngx_http_x_forwarded_proto_var_index;

} /* namespace kestrelvanes::core */

namespace {

ngx_uint_t request_peer_count;
ngx_uint_t response_peer_count;

/*
 * Shared by both peer arrays; the two differ only in the object they fill
 * and the word in their messages.  An array outlives the configuration
 * that made it; a reload that changes the number of connections gets a new
 * one, since slots are chosen modulo that number.
 */
ngx_int_t
init_peer_array(ngx_peer_node_t **nodes, ngx_uint_t *count, const char *what,
                ngx_pool_t *mem_pool, ngx_conf_t *cf) noexcept
{
    if (*nodes != NULL && *count == num_socket_conns) {
        ngx_conf_log_error(NGX_LOG_DEBUG, cf, 0,
                           "%s_peer_node_head is not NULL", what);
        return NGX_OK;
    }

    auto *array = static_cast<ngx_peer_node_t *>(
        ngx_pcalloc(mem_pool, num_socket_conns * sizeof(ngx_peer_node_t)));
    if (array == NULL) {
        ngx_conf_log_error(NGX_LOG_ALERT, cf, 0,
                           "%s_peer_node array could not be allocated", what);
        return NGX_ERROR;
    }

    for (ngx_uint_t i = 0; i < num_socket_conns; i++) {
        ngx_ext_peer_construct(&array[i].t_peer);
    }

    *nodes = array;
    *count = num_socket_conns;
    return NGX_OK;
}

std::mutex debugbuf_lock;

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

ngx_int_t
ngx_ext_init_request_peers(ngx_pool_t *mem_pool, ngx_conf_t *cf) noexcept
{
    return init_peer_array(&request_peer_node, &request_peer_count, "request",
                           mem_pool, cf);
}

ngx_int_t
ngx_ext_init_response_peers(ngx_pool_t *mem_pool, ngx_conf_t *cf) noexcept
{
    return init_peer_array(&response_peer_node, &response_peer_count,
                           "response", mem_pool, cf);
}

ngx_transport_peer_t *
ngx_ext_access_log_request_get_peer(unsigned long request_id) noexcept
{
    if (request_peer_node == NULL || request_peer_count == 0) {
        return NULL;
    }

    return &request_peer_node[request_id % request_peer_count].t_peer;
}

ngx_int_t
ngx_get_request_id(ngx_http_request_t *r, u_char *buff) noexcept
{
    ngx_http_variable_value_t *v =
        ngx_http_get_indexed_variable(r, ngx_http_request_id_var_index);

    if (v == NULL || v->not_found) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "Couldnt get request_id var index");
        return NGX_ERROR;
    }

    /*
     * The id keeps the length of nginx's request_id: the pid prefix pushes
     * the tail of the request_id text out.
     */
    u_char *last = ngx_snprintf(buff, v->len, "%xd-%*s", (int) ngx_pid,
                                (size_t) v->len, v->data);
    *last = '\0';

    return NGX_OK;
}

ngx_http_variable_value_t *
ngx_get_request_variable(ngx_http_request_t *r,
                         ngx_uint_t variable_index) noexcept
{
    ngx_http_variable_value_t *v =
        ngx_http_get_indexed_variable(r, variable_index);

    if (v == NULL || v->not_found) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "Couldnt get x_request_uri var index");
        return NULL;
    }

    return v;
}

ngx_int_t
ngx_get_client_addr(ngx_http_request_t *r, u_char *buff) noexcept
{
    ngx_http_variable_value_t *addr =
        ngx_http_get_indexed_variable(r, ngx_http_x_remote_addr_var_index);

    if (addr == NULL || addr->not_found) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "Couldnt get x_remote_addr var index");
        return NGX_ERROR;
    }

    ngx_http_variable_value_t *port =
        ngx_http_get_indexed_variable(r, ngx_http_x_remote_port_var_index);

    if (port == NULL || port->not_found) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "Couldnt get x_remote_port var index");
        return NGX_ERROR;
    }

    u_char *p = ngx_cpymem(buff, addr->data, addr->len);
    *p++ = ':';
    p = ngx_cpymem(p, port->data, port->len);
    *p = '\0';

    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "x_client_addr %s len %d", buff,
                  (int) (addr->len + port->len));

    return NGX_OK;
}

ngx_int_t
ngx_get_opc_lb_endpoint(ngx_http_request_t *r, ngx_str_t *opc_endpoint) noexcept
{
    static u_char name_data[] = "opc_endpoint";
    ngx_str_t name = {sizeof(name_data) - 1, name_data};

    ngx_uint_t key = ngx_hash_key(name.data, name.len);
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

} /* namespace kestrelvanes::core */
