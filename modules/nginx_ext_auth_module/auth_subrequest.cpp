/*
 * The authorization subrequest: a POST to the authorization location that
 * shares the client's body and carries the client's headers followed by
 * eight identification headers.
 *
 * nginx's own ngx_http_subrequest() builds it; what differs from the GET
 * with the parent's headers that it makes (method, header list) is changed
 * afterwards, the way nginx's mirror and auth_request modules adjust their
 * subrequests.  The subrequest is posted but runs only after the access
 * handler has returned, so these changes are in place before it starts.
 */
#include "kv_protocol.h"
#include "nginx_ext_auth_module.h"

#include <string_view>

namespace {

ngx_str_t ngx_http_post_method = ngx_string("POST");

constexpr size_t id_buffer_size = 128;
constexpr size_t time_buffer_size = NGX_INT64_LEN + 1;

/*
 * The client's headers that would pose as identification headers: the
 * authorizer reads these names as the sensor's word about the request, so
 * a client's own copy is not passed on (the computed X-Forwarded-For
 * already carries the client's chain).  X-Request-Id is not among them: the
 * client's id goes along, ahead of the sensor's.
 */
constexpr std::string_view posing_headers[] = {
    kv_protocol::req_uri,         kv_protocol::method,
    kv_protocol::req_host,        kv_protocol::client_addr,
    kv_protocol::req_time,        kv_protocol::forwarded_for,
    kv_protocol::forwarded_proto,
};

bool
poses_as_identification(const ngx_table_elt_t *h) noexcept
{
    for (std::string_view name : posing_headers) {
        if (h->key.len == name.size()
            && ngx_strncasecmp(h->key.data, (u_char *) name.data(), name.size())
                   == 0) {
            return true;
        }
    }

    return false;
}

/*
 * Appends one identification header; its key strings are static.  The
 * hash is the real one: nginx's proxy looks request headers up by it to
 * let the authorization location's proxy_set_header replace them, and a
 * placeholder hash would make that lookup hit or miss by chance.
 */
ngx_int_t
push_header(ngx_list_t *headers, const char *key, const char *lowcase_key,
            ngx_str_t value) noexcept
{
    auto *h = static_cast<ngx_table_elt_t *>(ngx_list_push(headers));
    if (h == NULL) {
        kestrelvanes::count(auth_stats.list_copy_fail);
        return NGX_ERROR;
    }

    h->key.data = (u_char *) key;
    h->key.len = ngx_strlen(key);
    h->lowcase_key = (u_char *) lowcase_key;
    h->hash = ngx_hash_key(h->lowcase_key, h->key.len);
    h->value = value;
#if (nginx_version >= 1023000)
    h->next = NULL;
#endif

    return NGX_OK;
}

/* The value of an indexed variable, or false with its counter raised. */
bool
variable_value(ngx_http_request_t *r, ngx_uint_t index, ngx_atomic_t &failure,
               ngx_str_t *out) noexcept
{
    ngx_http_variable_value_t *v = ngx_get_request_variable(r, index);

    if (v == NULL) {
        kestrelvanes::count(failure);
        return false;
    }

    out->data = v->data;
    out->len = v->len;
    return true;
}

ngx_int_t
add_identification_headers(ngx_http_request_t *r, ngx_list_t *headers) noexcept
{
    ngx_str_t value;

    auto *id = static_cast<u_char *>(ngx_pcalloc(r->pool, id_buffer_size));
    if (id == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    if (ngx_get_request_id(r, id) != NGX_OK) {
        kestrelvanes::count(auth_stats.req_id_fail);
        return NGX_ERROR;
    }

    value.data = id;
    value.len = ngx_strlen(id);
    if (push_header(headers, kv_protocol::request_id.s, "x-request-id", value)
        != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_request_uri_var_index,
                        auth_stats.req_uri_fail, &value)
        || push_header(headers, kv_protocol::req_uri.s, "x-req-uri", value)
               != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_request_method_var_index,
                        auth_stats.req_method_fail, &value)
        || push_header(headers, kv_protocol::method.s, "x-method", value)
               != NGX_OK) {
        return NGX_ERROR;
    }

    if (!kestrelvanes::client_host(r, &value)) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "request host field is null");
        ngx_str_set(&value, "");
    }

    if (push_header(headers, kv_protocol::req_host.s, "x-req-host", value)
        != NGX_OK) {
        return NGX_ERROR;
    }

    auto *addr = static_cast<u_char *>(ngx_pcalloc(r->pool, id_buffer_size));
    if (addr == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    if (ngx_get_client_addr(r, addr) != NGX_OK) {
        kestrelvanes::count(auth_stats.req_client_addr_fail);
        return NGX_ERROR;
    }

    value.data = addr;
    value.len = ngx_strlen(addr);
    if (push_header(headers, kv_protocol::client_addr.s, "x-client-addr", value)
        != NGX_OK) {
        return NGX_ERROR;
    }

    auto *time = static_cast<u_char *>(ngx_pcalloc(r->pool, time_buffer_size));
    if (time == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    int64_t start_ms = static_cast<int64_t>(r->start_sec) * 1000
                       + static_cast<int64_t>(r->start_msec);

    value.data = time;
    value.len = kestrelvanes::write_decimal(time, start_ms) - time;
    if (push_header(headers, kv_protocol::req_time.s, "x-req-time", value)
        != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_forwarded_for_var_index,
                        auth_stats.req_forwarded_for_fail, &value)
        || push_header(headers, kv_protocol::forwarded_for.s, "x-forwarded-for",
                       value)
               != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_forwarded_proto_var_index,
                        auth_stats.req_forwarded_proto_fail, &value)
        || push_header(headers, kv_protocol::forwarded_proto.s,
                       "x-forwarded-proto", value)
               != NGX_OK) {
        return NGX_ERROR;
    }

    return NGX_OK;
}

ngx_uint_t
ngx_http_parallel_list_get_count(ngx_list_t *list) noexcept
{
    ngx_uint_t count = 0;

    for (ngx_list_part_t *part = &list->part; part; part = part->next) {
        count += part->nelts;
    }

    return count;
}

/*
 * The client's headers, in order and duplicates kept, in one list part of
 * the given capacity; those posing as identification headers are left out.
 */
ngx_int_t
ngx_http_parallel_list_copy(ngx_http_request_t *r, ngx_list_t *dst,
                            ngx_list_t *src, ngx_uint_t capacity) noexcept
{
    if (ngx_list_init(dst, r->pool, capacity, sizeof(ngx_table_elt_t))
        != NGX_OK) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "Kestrelvanes: ngx_http_parallel_list_copy: "
                      "ngx_list_init failed");
        return NGX_ERROR;
    }

    auto *to = static_cast<ngx_table_elt_t *>(dst->part.elts);

    for (ngx_list_part_t *part = &src->part; part; part = part->next) {
        auto *h = static_cast<ngx_table_elt_t *>(part->elts);

        /* the capacity covers every element: never write past it */
        for (ngx_uint_t i = 0; i < part->nelts && dst->part.nelts < capacity;
             i++) {
            if (!poses_as_identification(&h[i])) {
                to[dst->part.nelts++] = h[i];
            }
        }
    }

    return NGX_OK;
}

/* The subrequest's header list: the client's, then the sensor's. */
ngx_int_t
build_header_list(ngx_http_request_t *r, ngx_list_t *headers) noexcept
{
    ngx_uint_t count = ngx_http_parallel_list_get_count(&r->headers_in.headers);

    if (ngx_http_parallel_list_copy(r, headers, &r->headers_in.headers,
                                    count + 1)
        != NGX_OK) {
        return NGX_ERROR;
    }

    return add_identification_headers(r, headers);
}

/* A list while it has one part points at that part inside itself. */
void
move_list(ngx_list_t *dst, ngx_list_t *src) noexcept
{
    *dst = *src;

    if (src->last == &src->part) {
        dst->last = &dst->part;
    }
}

/*
 * The checks nginx's subrequest helper makes, made first so that each cause
 * is logged and counted as the sensor's own.
 */
bool
subrequest_allowed(ngx_http_request_t *r, ngx_str_t *uri) noexcept
{
    ngx_log_t *log = r->connection->log;

    if (r->subrequests == 0) {
        ngx_log_error(NGX_LOG_INFO, log, 0,
                      "Kestrelvanes: subrequests cycle while processing \"%V\"",
                      uri);
        kestrelvanes::count(auth_stats.sr_zero);
        return false;
    }

    /* 1000 is reserved for other purposes */
    if (r->main->count >= 65535 - 1000) {
        ngx_log_error(NGX_LOG_CRIT, log, 0,
                      "request reference counter overflow while processing "
                      "\"%V\"",
                      uri);
        kestrelvanes::count(auth_stats.sr_ref_of);
        return false;
    }

    if (r->subrequest_in_memory) {
        ngx_log_error(NGX_LOG_INFO, log, 0,
                      "Kestrelvanes: nested in-memory subrequest \"%V\"", uri);
        kestrelvanes::count(auth_stats.sr_in_mem);
        return false;
    }

    return true;
}

} /* namespace */

extern "C" {

ngx_int_t
ngx_http_request_custom_subrequest(ngx_http_request_t *r, ngx_str_t *uri,
                                   ngx_str_t *args, ngx_http_request_t **psr,
                                   ngx_http_post_subrequest_t *ps,
                                   ngx_uint_t flags) noexcept
{
    if (!subrequest_allowed(r, uri)) {
        return NGX_ERROR;
    }

    /*
     * Built before the subrequest exists: once nginx has posted it, it runs
     * whatever happens here, so nothing that can fail comes after.
     */
    ngx_list_t headers;

    if (build_header_list(r, &headers) != NGX_OK) {
        return NGX_ERROR;
    }

    ngx_http_request_t *sr;

    /* past the checks above only allocations fail in there */
    if (ngx_http_subrequest(r, uri, args, &sr, ps, flags) != NGX_OK) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    sr->method = NGX_HTTP_POST;
    sr->method_name = ngx_http_post_method;
    move_list(&sr->headers_in.headers, &headers);

    /* the client's body: nginx shares the parent's request_body already */

    *psr = sr;

    return NGX_OK;
}

} /* extern "C" */
