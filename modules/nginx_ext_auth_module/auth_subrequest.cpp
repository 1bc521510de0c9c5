/*
 * The authorization subrequest: a POST to the authorization location that
 * shares the client's body and carries the client's headers followed by
 * eight identification headers.
 *
 * nginx's own subrequest helper sends GET with the parent's header list,
 * so this one is built field by field after it; keep it in step with
 * ngx_http_subrequest() of the nginx releases we build against.
 */
#include "nginx_ext_auth_module.h"

namespace {

ngx_str_t ngx_http_post_method = ngx_string("POST");

constexpr size_t id_buffer_size = 128;
constexpr size_t time_buffer_size = 20;
constexpr ngx_uint_t header_list_size = 20;

/*
 * Appends one identification header; its key strings are static.  The
 * hash is the real one: nginx's proxy looks request headers up by it to
 * let the authorization location's proxy_set_header replace them, and a
 * placeholder hash would make that lookup hit or miss by chance.
 */
ngx_int_t
push_header(ngx_http_request_t *sr, const char *key, const char *lowcase_key,
            ngx_str_t value) noexcept
{
    auto *h =
        static_cast<ngx_table_elt_t *>(ngx_list_push(&sr->headers_in.headers));
    if (h == NULL) {
        kestrelvanes::count(auth_stats.list_copy_fail);
        return NGX_ERROR;
    }

    h->key.data = (u_char *) key;
    h->key.len = ngx_strlen(key);
    h->lowcase_key = (u_char *) lowcase_key;
    h->hash = ngx_hash_key(h->lowcase_key, h->key.len);
    h->value = value;

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
add_identification_headers(ngx_http_request_t *r,
                           ngx_http_request_t *sr) noexcept
{
    ngx_str_t value;

    auto *id = static_cast<u_char *>(ngx_pcalloc(sr->pool, id_buffer_size));
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
    if (push_header(sr, "X-Request-Id", "x-request-id", value) != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_request_uri_var_index,
                        auth_stats.req_uri_fail, &value)
        || push_header(sr, "X-Req-Uri", "x-req-uri", value) != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_request_method_var_index,
                        auth_stats.req_method_fail, &value)
        || push_header(sr, "X-Method", "x-method", value) != NGX_OK) {
        return NGX_ERROR;
    }

    if (r->headers_in.host != NULL) {
        value = r->headers_in.host->value;

    } else {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "request host field is null");
        ngx_str_set(&value, "");
    }

    if (push_header(sr, "X-Req-Host", "x-req-host", value) != NGX_OK) {
        return NGX_ERROR;
    }

    auto *addr = static_cast<u_char *>(ngx_pcalloc(sr->pool, id_buffer_size));
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
    if (push_header(sr, "X-Client-Addr", "x-client-addr", value) != NGX_OK) {
        return NGX_ERROR;
    }

    auto *time = static_cast<u_char *>(ngx_pcalloc(sr->pool, time_buffer_size));
    if (time == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    int64_t start_ms = static_cast<int64_t>(r->start_sec) * 1000
                       + static_cast<int64_t>(r->start_msec);

    value.data = time;
    value.len = ngx_snprintf(time, time_buffer_size - 1, "%L", start_ms) - time;
    if (push_header(sr, "X-Req-Time", "x-req-time", value) != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_forwarded_for_var_index,
                        auth_stats.req_forwarded_for_fail, &value)
        || push_header(sr, "X-Forwarded-For", "x-forwarded-for", value)
               != NGX_OK) {
        return NGX_ERROR;
    }

    if (!variable_value(r, ngx_http_x_forwarded_proto_var_index,
                        auth_stats.req_forwarded_proto_fail, &value)
        || push_header(sr, "X-Forwarded-Proto", "x-forwarded-proto", value)
               != NGX_OK) {
        return NGX_ERROR;
    }

    return NGX_OK;
}

/* The client's headers, in order, in one list part of the subrequest. */
ngx_int_t
copy_request_headers(ngx_http_request_t *r, ngx_http_request_t *sr) noexcept
{
    if (ngx_list_init(&sr->headers_in.headers, r->pool, header_list_size,
                      sizeof(ngx_table_elt_t))
        != NGX_OK) {
        kestrelvanes::count(auth_stats.list_init_fail);
        return NGX_ERROR;
    }

    ngx_uint_t count = ngx_http_parallel_list_get_count(&r->headers_in.headers);

    return ngx_http_parallel_list_copy(r, &sr->headers_in.headers,
                                       &r->headers_in.headers, count + 1,
                                       sizeof(ngx_table_elt_t));
}

void
postpone(ngx_http_request_t *r, ngx_http_postponed_request_t *pr) noexcept
{
    if (r->postponed == NULL) {
        r->postponed = pr;
        return;
    }

    ngx_http_postponed_request_t *p = r->postponed;
    while (p->next) {
        p = p->next;
    }
    p->next = pr;
}

} /* namespace */

extern "C" {

ngx_uint_t
ngx_http_parallel_list_get_count(ngx_list_t *list) noexcept
{
    ngx_uint_t count = 0;

    for (ngx_list_part_t *part = &list->part; part; part = part->next) {
        count += part->nelts;
    }

    return count;
}

ngx_int_t
ngx_http_parallel_list_copy(ngx_http_request_t *r, ngx_list_t *dst,
                            ngx_list_t *src, ngx_uint_t capacity,
                            size_t size) noexcept
{
    if (ngx_list_init(dst, r->pool, capacity, size) != NGX_OK) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "Kestrelvanes: ngx_http_parallel_list_copy: "
                      "ngx_list_init failed");
        return NGX_ERROR;
    }

    auto *to = static_cast<u_char *>(dst->part.elts);

    for (ngx_list_part_t *part = &src->part; part; part = part->next) {
        /* the capacity covers every element: never write past it */
        ngx_uint_t n = ngx_min(part->nelts, capacity - dst->part.nelts);

        ngx_memcpy(to + dst->part.nelts * size, part->elts, n * size);
        dst->part.nelts += n;
    }

    return NGX_OK;
}

ngx_int_t
ngx_http_request_custom_subrequest(ngx_http_request_t *r, ngx_str_t *uri,
                                   ngx_str_t *args, ngx_http_request_t **psr,
                                   ngx_http_post_subrequest_t *ps,
                                   ngx_uint_t flags) noexcept
{
    ngx_connection_t *c = r->connection;

    if (r->subrequests == 0) {
        ngx_log_error(NGX_LOG_INFO, c->log, 0,
                      "Kestrelvanes: subrequests cycle while processing \"%V\"",
                      uri);
        kestrelvanes::count(auth_stats.sr_zero);
        return NGX_ERROR;
    }

    /* 1000 is reserved for other purposes */
    if (r->main->count >= 65535 - 1000) {
        ngx_log_error(NGX_LOG_CRIT, c->log, 0,
                      "request reference counter overflow while processing "
                      "\"%V\"",
                      uri);
        kestrelvanes::count(auth_stats.sr_ref_of);
        return NGX_ERROR;
    }

    if (r->subrequest_in_memory) {
        ngx_log_error(NGX_LOG_INFO, c->log, 0,
                      "Kestrelvanes: nested in-memory subrequest \"%V\"", uri);
        kestrelvanes::count(auth_stats.sr_in_mem);
        return NGX_ERROR;
    }

    auto *sr = static_cast<ngx_http_request_t *>(
        ngx_pcalloc(r->pool, sizeof(ngx_http_request_t)));
    if (sr == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    sr->signature = NGX_HTTP_MODULE;
    sr->connection = c;

    sr->ctx = static_cast<void **>(
        ngx_pcalloc(r->pool, sizeof(void *) * ngx_http_max_module));
    if (sr->ctx == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    /*
     * The trailer list is set up as nginx does for its own subrequests:
     * filters and upstreams may push to it.
     */
    if (ngx_list_init(&sr->headers_out.headers, r->pool, header_list_size,
                      sizeof(ngx_table_elt_t))
            != NGX_OK
        || ngx_list_init(&sr->headers_out.trailers, r->pool, 4,
                         sizeof(ngx_table_elt_t))
               != NGX_OK) {
        kestrelvanes::count(auth_stats.list_init_fail);
        return NGX_ERROR;
    }

    auto *cscf = static_cast<ngx_http_core_srv_conf_t *>(
        ngx_http_get_module_srv_conf(r, ngx_http_core_module));
    sr->main_conf = cscf->ctx->main_conf;
    sr->srv_conf = cscf->ctx->srv_conf;
    sr->loc_conf = cscf->ctx->loc_conf;

    sr->pool = r->pool;

    sr->headers_in = r->headers_in;

    if (copy_request_headers(r, sr) != NGX_OK
        || add_identification_headers(r, sr) != NGX_OK) {
        return NGX_ERROR;
    }

    ngx_http_clear_content_length(sr);
    ngx_http_clear_accept_ranges(sr);
    ngx_http_clear_last_modified(sr);

    sr->request_body = r->request_body;

#if (NGX_HTTP_V2)
    sr->stream = r->stream;
#endif

    sr->method = NGX_HTTP_POST;
    sr->method_name = ngx_http_post_method;
    sr->http_version = r->http_version;
    sr->request_line = r->request_line;
    sr->unparsed_uri = r->unparsed_uri;
    sr->http_protocol = r->http_protocol;

    sr->uri = *uri;
    if (args) {
        sr->args = *args;
    }

    ngx_log_debug2(NGX_LOG_DEBUG_HTTP, c->log, 0, "http subrequest \"%V?%V\"",
                   uri, &sr->args);

    sr->subrequest_in_memory = 0;
    sr->waited = (flags & NGX_HTTP_SUBREQUEST_WAITED) != 0;

    ngx_http_set_exten(sr);

    sr->main = r->main;
    sr->parent = r;
    sr->post_subrequest = ps;
    sr->read_event_handler = ngx_http_request_empty_handler;
    sr->write_event_handler = ngx_http_handler;

    sr->variables = r->variables;
    sr->log_handler = r->log_handler;

    if (c->data == r && r->postponed == NULL) {
        c->data = sr;
    }

    auto *pr = static_cast<ngx_http_postponed_request_t *>(
        ngx_palloc(r->pool, sizeof(ngx_http_postponed_request_t)));
    if (pr == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NGX_ERROR;
    }

    pr->request = sr;
    pr->out = NULL;
    pr->next = NULL;
    postpone(r, pr);

    sr->internal = 1;
    sr->discard_body = r->discard_body;
    sr->expect_tested = 1;
    sr->main_filter_need_in_memory = r->main_filter_need_in_memory;

    sr->uri_changes = NGX_HTTP_MAX_URI_CHANGES + 1;
    sr->subrequests = r->subrequests - 1;

    ngx_time_t *tp = ngx_timeofday();
    sr->start_sec = tp->sec;
    sr->start_msec = tp->msec;

    r->main->count++;

    *psr = sr;

    return ngx_http_post_request(sr, NULL);
}

} /* extern "C" */
