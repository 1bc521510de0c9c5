/*
 * The authorization subrequest: a POST to the authorization location that
 * shares the client's body and carries the client's headers followed by
 * eight identification headers.  Runs on the event loop, in the access
 * handler.
 *
 * nginx's own ngx_http_subrequest() builds it; what differs from the GET
 * with the parent's headers that it makes (method, header list) is changed
 * afterwards, the way nginx's mirror and auth_request modules adjust their
 * subrequests.  The subrequest is posted but runs only after the access
 * handler has returned, so these changes are in place before it starts.
 *
 * It is built for every request the location protects, so it does no
 * work that a configuration or the compiler can do once: the header
 * names and hashes are constants, the client's header list is borrowed
 * rather than copied when nothing in it must be left out, and the
 * identification headers and the values written for them take a single
 * allocation.
 */
#include "kv_protocol.h"
#include "nginx_ext_auth_module.h"

#include <array>
#include <string_view>

namespace {

ngx_str_t ngx_http_post_method = ngx_string("POST");

/*
 * The identification headers, in the order they follow the client's own.
 * Their names and hashes are fixed, so both are made at compile time: the
 * hash is the one nginx gives a request header (ngx_hash_key of the
 * lower-case name), because nginx's proxy looks request headers up by it
 * to let the authorization location's proxy_set_header replace them.
 */
enum identification_index {
    ident_request_id,
    ident_req_uri,
    ident_method,
    ident_req_host,
    ident_client_addr,
    ident_req_time,
    ident_forwarded_for,
    ident_forwarded_proto,
    ident_count
};

struct identification_name {
    std::string_view key;
    std::string_view lowcase;
};

constexpr identification_name identification[ident_count] = {
    {kv_protocol::request_id, "x-request-id"},
    {kv_protocol::req_uri, "x-req-uri"},
    {kv_protocol::method, "x-method"},
    {kv_protocol::req_host, "x-req-host"},
    {kv_protocol::client_addr, "x-client-addr"},
    {kv_protocol::req_time, "x-req-time"},
    {kv_protocol::forwarded_for, "x-forwarded-for"},
    {kv_protocol::forwarded_proto, "x-forwarded-proto"},
};

constexpr ngx_uint_t
header_hash(std::string_view lowcase) noexcept
{
    ngx_uint_t key = 0;

    for (char c : lowcase) {
        key = ngx_hash(key, static_cast<u_char>(c));
    }

    return key;
}

constexpr std::array<ngx_uint_t, ident_count> identification_hash = [] {
    std::array<ngx_uint_t, ident_count> hash{};

    for (size_t i = 0; i < ident_count; i++) {
        hash[i] = header_hash(identification[i].lowcase);
    }

    return hash;
}();

/* room for ":" and a port, and for X-Req-Time's milliseconds */
constexpr size_t port_room = sizeof(":65535") - 1;
constexpr size_t time_room = NGX_INT64_LEN;

/*
 * The client's headers that would pose as identification headers: the
 * authorizer reads these names as the sensor's word about the request, so
 * a client's own copy is not passed on (the computed X-Forwarded-For
 * already carries the client's chain).  X-Request-Id is not among them: the
 * client's id goes along, ahead of the sensor's.  All are "X-" names of a
 * few lengths, which rules most headers out before any comparison.
 */
constexpr size_t posing_first = ident_req_uri;

constexpr bool
posing_names_start_with_x() noexcept
{
    for (size_t i = posing_first; i < ident_count; i++) {
        if (identification[i].lowcase.substr(0, 2) != "x-") {
            return false;
        }
    }

    return true;
}

static_assert(posing_names_start_with_x());

constexpr size_t posing_min_len = [] {
    size_t len = identification[posing_first].key.size();

    for (size_t i = posing_first; i < ident_count; i++) {
        len = ngx_min(len, identification[i].key.size());
    }

    return len;
}();

constexpr size_t posing_max_len = [] {
    size_t len = 0;

    for (size_t i = posing_first; i < ident_count; i++) {
        len = ngx_max(len, identification[i].key.size());
    }

    return len;
}();

inline bool
poses_as_identification(const ngx_table_elt_t *h) noexcept
{
    size_t len = h->key.len;

    if (len < posing_min_len || len > posing_max_len
        || (h->key.data[0] | 0x20) != 'x' || h->key.data[1] != '-') {
        return false;
    }

    for (size_t i = posing_first; i < ident_count; i++) {
        std::string_view name = identification[i].key;

        if (len == name.size()
            && ngx_strncasecmp(h->key.data, (u_char *) name.data(), len) == 0) {
            return true;
        }
    }

    return false;
}

/*
 * The last part of the subrequest's header list, allocated in one piece
 * with the bytes of the values it does not borrow from the request.
 */
struct identification_part {
    ngx_list_part_t part;
    ngx_table_elt_t headers[ident_count];
};

/* The value of an indexed variable, or false with its counter raised. */
bool
variable_value(ngx_http_request_t *r, ngx_uint_t index, ngx_atomic_t &failure,
               ngx_str_t *out) noexcept
{
    ngx_http_variable_value_t *v = ngx_http_get_indexed_variable(r, index);

    if (v == NULL || v->not_found) {
        kestrelvanes::count(failure);
        return false;
    }

    out->data = v->data;
    out->len = v->len;
    return true;
}

/*
 * $request_uri, $request_method and $scheme, read where their getters in
 * ngx_http_variables.c read them: the same bytes without a trip through
 * the variable table, for every request.  A request missing one fails as
 * the variable's absence did.
 */
bool
request_fields(ngx_http_request_t *r, ngx_str_t *value) noexcept
{
    if (r->unparsed_uri.data == NULL) {
        kestrelvanes::count(auth_stats.req_uri_fail);
        return false;
    }

    if (r->main->method_name.data == NULL) {
        kestrelvanes::count(auth_stats.req_method_fail);
        return false;
    }

    value[ident_req_uri] = r->unparsed_uri;
    value[ident_method] = r->main->method_name;

#if (NGX_HTTP_SSL)
    if (r->connection->ssl) {
        ngx_str_set(&value[ident_forwarded_proto], "https");
        return true;
    }
#endif

    ngx_str_set(&value[ident_forwarded_proto], "http");
    return true;
}

/*
 * The identification headers' values: those of variables and of the
 * request itself are borrowed, the request id, the client's address and
 * port and the start time are written after the part's headers.
 */
identification_part *
identification_headers(ngx_http_request_t *r) noexcept
{
    ngx_str_t value[ident_count];

    ngx_http_variable_value_t *id = ngx_request_id_variable(r);
    if (id == NULL) {
        kestrelvanes::count(auth_stats.req_id_fail);
        return NULL;
    }

    /* the proxy module's $proxy_add_x_forwarded_for builds the chain */
    if (!request_fields(r, value)
        || !variable_value(r, ngx_http_x_forwarded_for_var_index,
                           auth_stats.req_forwarded_for_fail,
                           &value[ident_forwarded_for])) {
        return NULL;
    }

    if (!kestrelvanes::client_host(r, &value[ident_req_host])) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "request host field is null");
        ngx_str_set(&value[ident_req_host], "");
    }

    ngx_str_t *addr = &r->connection->addr_text;
    size_t room = id->len + addr->len + port_room + time_room;

    auto *ip = static_cast<identification_part *>(
        ngx_palloc(r->pool, sizeof(identification_part) + room));
    if (ip == NULL) {
        kestrelvanes::count(auth_stats.sr_alloc_fail);
        return NULL;
    }

    u_char *p = reinterpret_cast<u_char *>(ip + 1);

    value[ident_request_id].data = p;
    p = ngx_write_request_id(p, id);
    value[ident_request_id].len = p - value[ident_request_id].data;

    value[ident_client_addr].data = p;
    p = ngx_write_client_addr(r, p);
    value[ident_client_addr].len = p - value[ident_client_addr].data;

    int64_t start_ms = static_cast<int64_t>(r->start_sec) * 1000
                       + static_cast<int64_t>(r->start_msec);

    value[ident_req_time].data = p;
    value[ident_req_time].len = kestrelvanes::write_decimal(p, start_ms) - p;

    for (size_t i = 0; i < ident_count; i++) {
        ngx_table_elt_t *h = &ip->headers[i];

        h->hash = identification_hash[i];
        h->key.len = identification[i].key.size();
        h->key.data = (u_char *) identification[i].key.data();
        h->lowcase_key = (u_char *) identification[i].lowcase.data();
        h->value = value[i];
#if (nginx_version >= 1023000)
        h->next = NULL;
#endif
    }

    ip->part.elts = ip->headers;
    ip->part.nelts = ident_count;
    ip->part.next = NULL;

    return ip;
}

/*
 * Whether the subrequest can borrow the client's header list as it is:
 * one part (nginx's first part holds 20 headers) and nothing posing as
 * identification in it.  nginx's own auth_request and mirror subrequests
 * share their parent's list the same way.
 */
bool
client_headers_shareable(ngx_list_t *src) noexcept
{
    if (src->part.next != NULL) {
        return false;
    }

    auto *h = static_cast<ngx_table_elt_t *>(src->part.elts);

    for (ngx_uint_t i = 0; i < src->part.nelts; i++) {
        if (poses_as_identification(&h[i])) {
            return false;
        }
    }

    return true;
}

/*
 * The client's headers, in order and duplicates kept, copied into one list
 * part without those posing as identification headers.
 */
bool
copy_client_headers(ngx_http_request_t *r, ngx_list_t *src,
                    ngx_list_part_t *dst) noexcept
{
    ngx_uint_t count = 0;

    for (ngx_list_part_t *part = &src->part; part; part = part->next) {
        count += part->nelts;
    }

    auto *to = static_cast<ngx_table_elt_t *>(
        ngx_palloc(r->pool, ngx_max(count, 1) * sizeof(ngx_table_elt_t)));
    if (to == NULL) {
        kestrelvanes::count(auth_stats.list_copy_fail);
        return false;
    }

    dst->elts = to;
    dst->nelts = 0;

    for (ngx_list_part_t *part = &src->part; part; part = part->next) {
        auto *h = static_cast<ngx_table_elt_t *>(part->elts);

        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            if (!poses_as_identification(&h[i])) {
                to[dst->nelts++] = h[i];
            }
        }
    }

    return true;
}

/*
 * The subrequest's header list: the client's headers (borrowed, or
 * copied when some must be left out), then the identification headers in
 * a part of their own.  A header pushed onto the list later goes into a
 * new part: the list's parts hold as many as the last one.
 */
ngx_int_t
build_header_list(ngx_http_request_t *r, ngx_list_t *headers) noexcept
{
    identification_part *ip = identification_headers(r);
    if (ip == NULL) {
        return NGX_ERROR;
    }

    ngx_list_t *client = &r->headers_in.headers;

    if (client_headers_shareable(client)) {
        headers->part.elts = client->part.elts;
        headers->part.nelts = client->part.nelts;

    } else if (!copy_client_headers(r, client, &headers->part)) {
        return NGX_ERROR;
    }

    headers->part.next = &ip->part;
    headers->last = &ip->part;
    headers->size = sizeof(ngx_table_elt_t);
    headers->nalloc = ident_count;
    headers->pool = r->pool;

    return NGX_OK;
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
    /* its last part is not inside it: the list moves as it is */
    sr->headers_in.headers = headers;

    /* the client's body: nginx shares the parent's request_body already */

    *psr = sr;

    return NGX_OK;
}

} /* extern "C" */
