/*
 * Access-log module: the response log, one HTTP POST per exchange whose
 * header lines carry the metadata and whose body is the captured response
 * body, unencoded.
 *
 * Values go into header lines of the collector connection, so CR, LF and
 * NUL never reach it raw: they are written percent-encoded (%0D, %0A, %00),
 * or a client could forge lines or whole messages.
 */
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"

#include <cstdlib>

namespace {

constexpr char default_api[] = "/nginxlog";
constexpr size_t api_size = 100;
constexpr size_t request_line_size = 500;
constexpr size_t request_id_size = 128;
constexpr size_t mode_text_size = 16;
constexpr size_t max_header_name = 199;

bool
needs_encoding(u_char c) noexcept
{
    return c == '\r' || c == '\n' || c == '\0';
}

size_t
encoded_len(const ngx_str_t *value) noexcept
{
    size_t len = value->len;

    for (size_t i = 0; i < value->len; i++) {
        if (needs_encoding(value->data[i])) {
            len += 2;
        }
    }

    return len;
}

u_char *
write_encoded(u_char *p, const ngx_str_t *value) noexcept
{
    static const u_char hex[] = "0123456789ABCDEF";

    for (size_t i = 0; i < value->len; i++) {
        u_char c = value->data[i];

        if (needs_encoding(c)) {
            *p++ = '%';
            *p++ = hex[c >> 4];
            *p++ = hex[c & 0xf];
        } else {
            *p++ = c;
        }
    }

    return p;
}

/* The room left before the buffer's last byte. */
size_t
avail(u_char *pos, u_char *last) noexcept
{
    return pos < last ? last - pos : 0;
}

/*
 * One "Name:value" line (the name carries its colon), whole or not at all.
 */
u_char *
ngx_ext_add_header(u_char *request_pt, size_t room, const char *hdr_key,
                   const ngx_str_t *hdr_val) noexcept
{
    size_t key_len = ngx_strlen(hdr_key);
    size_t needed = key_len + encoded_len(hdr_val) + 2;

    if (needed > room) {
        return request_pt;
    }

    u_char *p = ngx_cpymem(request_pt, hdr_key, key_len);
    p = write_encoded(p, hdr_val);
    *p++ = '\r';
    *p++ = '\n';

    return p;
}

/* A line formatted in place, cut short at the buffer's end. */
template <typename... Args>
u_char *
add_line(u_char *p, u_char *last, const char *fmt, Args... args) noexcept
{
    return ngx_snprintf(p, avail(p, last), fmt, args...);
}

/*
 * Names the metadata lines or the framing of the log message use.  The
 * name itself is compared: the table of hashes is filled only when some
 * location names an ext_auth_log_server, and headers set by add_header
 * carry a hash of 1, not the hash of their name.
 */
bool
excluded(const ngx_str_t *name) noexcept
{
    for (const char *x : exclude_headers) {
        size_t len = ngx_strlen(x);

        if (name->len == len
            && ngx_strncasecmp(name->data, (u_char *) x, len) == 0) {
            return true;
        }
    }

    return false;
}

u_char *
copy_response_headers(ngx_http_request_t *r, u_char *p, u_char *last) noexcept
{
    u_char key[max_header_name + 2];

    for (ngx_list_part_t *part = &r->headers_out.headers.part; part;
         part = part->next) {
        auto *h = static_cast<ngx_table_elt_t *>(part->elts);

        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            /* a zero hash: nginx deleted it, the client never gets it */
            if (h[i].key.data == NULL || h[i].hash == 0
                || excluded(&h[i].key)) {
                continue;
            }

            if (h[i].key.len < 1 || h[i].key.len > max_header_name
                || h[i].value.data == NULL || h[i].value.len < 1) {
                continue;
            }

            ngx_memcpy(key, h[i].key.data, h[i].key.len);
            key[h[i].key.len] = ':';
            key[h[i].key.len + 1] = '\0';

            p = ngx_ext_add_header(p, avail(p, last), (char *) key,
                                   &h[i].value);
        }
    }

    return p;
}

/* Adds "Name:value" when the value is there and shorter than the room. */
u_char *
add_optional(u_char *p, u_char *last, const char *name,
             const ngx_str_t *value) noexcept
{
    if (value->data == NULL || value->len == 0
        || value->len >= avail(p, last)) {
        return p;
    }

    return ngx_ext_add_header(p, avail(p, last), name, value);
}

u_char *
ngx_ext_pack_custom_headers(ngx_http_request_t *r, u_char *p, u_char *last,
                            LogMode _log_mode) noexcept
{
    ngx_log_t *log = r->connection->log;
    bool log_headers = should_log_header(_log_mode) > 0;
    ngx_time_t *tp = ngx_timeofday();
    int64_t latency = ((int64_t) tp->sec - r->start_sec) * 1000
                      + ((int64_t) tp->msec - r->start_msec);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] pack_custom_headers: start, avail=%d",
                  (int) avail(p, last));

    p = add_line(p, last, "X-Status: %l\r\n", (long) r->headers_out.status);

    u_char id[request_id_size];
    if (ngx_get_request_id(r, id) != NGX_OK) {
        kestrelvanes::count(log_stats.req_id_failed);
        return p;
    }

    p = add_line(p, last, "X-Request-Id: %s\r\n", id);

    if (log_headers) {
        p = add_line(p, last, "X-Req-Time: %l\r\n",
                     (long) ((int64_t) r->start_sec * 1000 + r->start_msec));
        p = add_line(p, last, "X-Resp-Time: %l\r\n", (long) latency);

        ngx_str_t *addr = &r->connection->addr_text;
        if (addr->len && addr->len < avail(p, last)) {
            ngx_str_t text = {ngx_min(addr->len, (size_t) 99), addr->data};

            p = add_line(p, last, "X-Client-Addr:");
            if (encoded_len(&text) < avail(p, last)) {
                p = write_encoded(p, &text);
            }
            p = add_line(p, last, ":%ui\r\n",
                         ngx_access_log_inet_get_port(r->connection->sockaddr));
        }
    }

    p = add_optional(p, last, "X-Req-Uri:", &r->uri);

    if (log_headers) {
        if (r->headers_in.host) {
            p = add_optional(p, last,
                             "X-Req-Host:", &r->headers_in.host->value);
        }

        off_t content_len = r->headers_in.content_length_n;
        p = add_line(p, last, "X-Req-Content-Len: %d\r\n",
                     (int) (content_len < 0 ? 0 : content_len));

        if (r->headers_in.content_type) {
            p = add_optional(p, last, "X-Req-Content-Type:",
                             &r->headers_in.content_type->value);
        }
    }

    p = add_optional(p, last, "X-Args:", &r->args);
    p = add_optional(p, last, "X-Method:", &r->method_name);

    p = add_optional(p, last,
                     "X-Kv-Sensor-Hostname:", kestrelvanes::cycle_hostname());
    p = add_optional(p, last, "X-Kv-Sensor-Instance:", &ext_instance_name);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] pack_custom_headers: done, avail=%d",
                  (int) avail(p, last));

    return p;
}

size_t
decimal_digits(size_t n) noexcept
{
    size_t digits = 1;

    while (n >= 10) {
        n /= 10;
        digits++;
    }

    return digits;
}

} /* namespace */

extern "C" {

ngx_int_t
ngx_ext_send_http_response_log(ngx_http_request_t *r, ngx_str_t *opc_endpoint,
                               LogMode _log_mode,
                               ngx_http_response_body_loc_conf_t *conf) noexcept
{
    ngx_log_t *log = r->connection->log;
    auto *mod_ctx = static_cast<ngx_http_response_body_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_access));

    size_t body_len = 0;
    if (mod_ctx != NULL && mod_ctx->buffer.start != NULL) {
        body_len = mod_ctx->buffer.last - mod_ctx->buffer.start;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: enter, uri=%V, status=%ui, "
                  "body_len=%uz",
                  &r->uri, r->headers_out.status, body_len);

    u_char api[api_size];
    if (conf->remote_api.data) {
        ngx_snprintf(api, sizeof(api) - 1, "%V%Z", &conf->remote_api);
        api[sizeof(api) - 1] = '\0';
    } else {
        ngx_cpystrn(api, (u_char *) default_api, sizeof(default_api));
    }

    if (body_len + r->header_size + 400 >= conf->total_buffer_size) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "Kestrelvanes: Not enough space to pack this response, "
                      "increase config: ext_access_log_total_size");
        kestrelvanes::count(log_stats.packet_too_big);
        return NGX_ERROR;
    }

    ngx_pool_t *mem_pool = ngx_create_pool(NGX_MIN_POOL_SIZE, ngx_cycle->log);
    if (mem_pool == NULL) {
        kestrelvanes::count(log_stats.pool_create_failed);
        return NGX_ERROR;
    }

    /* written front to back; the write position gives the length */
    auto *request =
        static_cast<u_char *>(ngx_pnalloc(mem_pool, conf->total_buffer_size));
    if (request == NULL) {
        kestrelvanes::count(log_stats.pool_alloc_failed);
        ngx_destroy_pool(mem_pool);
        return NGX_ERROR;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: buffer allocated, size=%uz",
                  conf->total_buffer_size);

    u_char *last = request + conf->total_buffer_size - 1;
    bool log_headers = should_log_header(_log_mode) > 0;

    u_char request_line[request_line_size];
    ngx_snprintf(request_line, sizeof(request_line), "%s HTTP/1.1%Z", api);

    u_char *p = ngx_snprintf(request, conf->total_buffer_size - 1,
                             "POST %s\r\nHost: %s\r\n", request_line,
                             NGX_EXT_COLLECTOR_HOST);

    if (log_headers) {
        p = copy_response_headers(r, p, last);

        if (r->headers_out.content_type.len
            && r->headers_out.content_type.data) {
            p = ngx_ext_add_header(p, avail(p, last), "Content-Type:",
                                   &r->headers_out.content_type);
        }
    }

    ngx_str_t keep_alive = ngx_string("keep-alive");
    p = ngx_ext_add_header(p, avail(p, last), "Connection:", &keep_alive);

    p = ngx_ext_pack_custom_headers(r, p, last, _log_mode);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: headers packed, avail=%d",
                  (int) avail(p, last));

    u_char mode_text[mode_text_size];
    ngx_str_t mode = {0, mode_text};
    mode.len = ngx_snprintf(mode_text, sizeof(mode_text) - 1, "%s",
                            get_log_mode_str(get_log_mode_direct()))
               - mode_text;
    p = ngx_ext_add_header(p, avail(p, last),
                           "X-Kv-Sensor-Logging-Level:", &mode);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: before body, avail=%d, "
                  "body_len=%uz",
                  (int) avail(p, last), body_len);

    if (should_log_payload(_log_mode) <= 0 || body_len == 0) {
        kestrelvanes::count(log_stats.payload_logging_disabled);

        /* without a capture, the length of the body that went by */
        off_t seen = body_len;
        if (mod_ctx != NULL && mod_ctx->buffer.start == NULL) {
            seen = mod_ctx->resp_body_seen;
        }

        if (log_headers && seen != 0) {
            p = add_line(p, last, "X-Resp-Content-Len: %O\r\n", seen);
        }
        p = add_line(p, last, "\r\n\r\n");

    } else if (mod_ctx->resp_body_truncated <= 0) {
        p = add_line(p, last, "X-Orig-Length: %l\r\n",
                     (long) r->headers_out.content_length_n);

        if (avail(p, last) <= body_len + decimal_digits(body_len) + 20) {
            ngx_log_error(NGX_LOG_INFO, log, 0,
                          "Kestrelvanes: No space left to send body header "
                          "size %d body size %d",
                          (int) (p - request), (int) body_len);
            kestrelvanes::count(log_stats.no_buffer_space_left);
            ngx_destroy_pool(mem_pool);
            return NGX_ERROR;
        }

        p = ngx_sprintf(p, "Content-Length: %l\r\n\r\n", (long) body_len);

        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "[KESTRELVANES] response_log: copying body, avail=%d, "
                      "body_len=%uz",
                      (int) avail(p, last), body_len);

        p = ngx_cpymem(p, mod_ctx->buffer.start, body_len);

    } else {
        p = add_line(p, last, "X-Orig-Length: %l\r\n",
                     (long) r->headers_out.content_length_n);
        p = add_line(p, last, "Content-Length: %l\r\n", 0L);
        p = add_line(p, last, "X-Kv-Resp-Truncated-Body: true\r\n\r\n");
    }

    size_t total_request_len = p - request;

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: posting task, "
                  "total_request_len=%uz",
                  total_request_len);

    request =
        ngx_ext_access_log_shrink_message(mem_pool, request, total_request_len);

    return ngx_ext_access_log_post_task(
        log->connection, opc_endpoint, ACCESS_LOG, request, total_request_len,
        mem_pool, access_log_thread_pool,
        conf->remote_auth_log_server.len != 0 ? 1 : 0);
}

} /* extern "C" */
