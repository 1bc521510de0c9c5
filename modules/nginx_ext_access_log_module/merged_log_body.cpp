/*
 * Access-log module: the bodies of a merged log (merged_log.cpp): how
 * much of each body the message carries, sized from the request's buffers
 * or its temporary file and cut to the capture size and to the room in
 * the buffer, and their base64 text.
 *
 * The request body read from its temporary file is allocated here from
 * the request's pool, once per build; merged_log.cpp frees it once the
 * message is built.  Runs on the event loop.
 */
#include "merged_log_body.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using kestrelvanes::json::base64_len;
using kestrelvanes::json::base64_stream;
using kestrelvanes::json::encode_base64;
using kestrelvanes::json::writer;
using kestrelvanes::merged_log::bodies;

constexpr size_t file_chunk_size = 4096;

/*
 * A request body past the capture size keeps its first bytes and is
 * marked as cut, as a response body keeps its first bytes: an upload
 * larger than the message would otherwise leave nothing of itself.
 */
void
cap_request_body(bodies &b, size_t limit) noexcept
{
    if (b.request_len > limit) {
        b.request_len = limit;
        b.truncate_request = true;
    }
}

/*
 * Reads the body from its temporary file: its first request_body_len
 * bytes when it was cut, else all of it, which must not have grown past
 * its measured size.
 */
ngx_int_t
ngx_get_request_payload_from_file(ngx_http_request_t *r, u_char *request_body,
                                  size_t request_body_len, bool cut,
                                  size_t *read) noexcept
{
    ngx_file_t *file = &r->request_body->temp_file->file;
    u_char chunk[file_chunk_size];
    size_t total = 0;
    ngx_int_t rc = NGX_OK;

    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "kv: Reading body from file: %V", &file->name);

    for (;;) {
        size_t want = sizeof(chunk);

        if (cut) {
            want = ngx_min(want, request_body_len - total);
            if (want == 0) {
                break;
            }
        }

        ssize_t n = ngx_read_file(file, chunk, want, total);
        if (n <= 0) {
            break;
        }

        if (total + n > request_body_len) {
            ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                          "kv: Read payload of len %uz from temp file: %V, "
                          "exceeds the expected length %uz",
                          total + n, &file->name, request_body_len);
            kestrelvanes::count(log_stats.file_payload_too_big);
            rc = NGX_ERROR;
            break;
        }

        ngx_memcpy(request_body + total, chunk, n);
        total += n;
    }

    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "kv: Read payload of len %uz from temp file: %V", total,
                  &file->name);

    *read = total;
    return rc;
}

/*
 * The opening of a "body64" member for len bytes, and where their text
 * goes; NULL when the text does not fit, which counts as an overflow, so
 * the exchange is rebuilt with the body marked as left out instead of
 * going out silently without it.
 */
u_char *
open_body64(writer &w, size_t len, const char *too_large,
            ngx_log_t *log) noexcept
{
    size_t encoded = base64_len(len);

    if ((ptrdiff_t) (10 + encoded + 2) >= (w.end - 1) - w.pos) {
        if (!w.quiet) {
            ngx_log_error(NGX_LOG_INFO, log, 0, too_large);
        }
        w.overflow = true;
        return NULL;
    }

    return ngx_cpymem(w.pos, "\"body64\":\"", 10);
}

void
close_body64(writer &w, u_char *last) noexcept
{
    w.pos = ngx_cpymem(last, "\",", 2);
}

/* The bytes of the request body that its buffers hold in memory. */
size_t
request_body_in_memory(ngx_http_request_t *r, size_t request_len) noexcept
{
    size_t need = request_len;

    for (ngx_chain_t *cl = r->request_body->bufs; cl && need; cl = cl->next) {
        ngx_buf_t *buf = cl->buf;

        if (buf->in_file || buf->pos == NULL) {
            continue;
        }

        need -= ngx_min(need, (size_t) (buf->last - buf->pos));
    }

    return request_len - need;
}

} /* namespace */

namespace kestrelvanes::merged_log {

void
size_request_body(ngx_http_request_t *r, size_t limit, bodies &b) noexcept
{
    ngx_http_request_body_t *rb = r->request_body;

    if (rb == NULL || (rb->temp_file == NULL && rb->bufs == NULL)) {
        return;
    }

    if (rb->temp_file == NULL) {
        if (r->headers_in.content_length_n > 0) {
            b.request_len = r->headers_in.content_length_n;

        } else {
            for (ngx_chain_t *cl = rb->bufs; cl; cl = cl->next) {
                if (!cl->buf->in_file) {
                    b.request_len += cl->buf->last - cl->buf->pos;
                }
            }
        }

        cap_request_body(b, limit);
        return;
    }

    if (!force_read_payload_file) {
        kestrelvanes::count(log_stats.body_in_temp_file);
        b.truncate_request = true;
        return;
    }

    /*
     * nginx unlinks the temporary file as it creates it, so the open
     * descriptor is the only way to the body.
     */
    ngx_file_t *file = &rb->temp_file->file;
    ngx_file_info_t fi;

    if (file->fd == NGX_INVALID_FILE) {
        ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                      "kv: Failed to open temp file: %V", &file->name);
        kestrelvanes::count(log_stats.file_open_fail);
        return;
    }

    if (ngx_fd_info(file->fd, &fi) == NGX_FILE_ERROR) {
        ngx_log_error(NGX_LOG_INFO, r->connection->log, ngx_errno,
                      "kv: Failed to get temp file size: %V", &file->name);
        kestrelvanes::count(log_stats.file_size_read_fail);
        return;
    }

    b.request_len = ngx_file_size(&fi);
    b.read_payload_file = true;
    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "kv: Temp file size: %uz", b.request_len);

    cap_request_body(b, limit);
}

/* Leaves out what the buffer cannot hold, the larger body first. */
void
check_space(ngx_http_request_t *r, ngx_http_response_body_loc_conf_t *conf,
            bodies &b) noexcept
{
    size_t base = 2 * r->header_size + 400;
    size_t req64 = base64_len(b.request_len);
    size_t resp64 = base64_len(b.response_len);

    if (base + resp64 + req64 < conf->total_buffer_size) {
        return;
    }

    /* only a body that exists is said to be left out */
    bool left_out = false;

    if (req64 > resp64 && base + resp64 < conf->total_buffer_size) {
        b.truncate_request = true;
        b.request_len = 0;
        left_out = true;

    } else {
        if (b.response_len != 0) {
            b.truncate_response = true;
            b.response_len = 0;
            left_out = true;
        }

        if (base + req64 >= conf->total_buffer_size && b.request_len != 0) {
            b.truncate_request = true;
            b.request_len = 0;
            left_out = true;
        }
    }

    /*
     * The estimate reserves the response head twice over, for both header
     * sets: with no body to leave out, the message may well fit, and when
     * it does not, the build says so and drops it.
     */
    if (!left_out) {
        return;
    }

    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                  "Not enough space to pack request and response, increase "
                  "config: ext_access_log_total_size");
    kestrelvanes::count(log_stats.packet_too_big);
}

void
write_body64(writer &w, const u_char *data, size_t len, const char *too_large,
             ngx_log_t *log) noexcept
{
    u_char *text = open_body64(w, len, too_large, log);

    if (text != NULL) {
        close_body64(w, encode_base64(text, data, len));
    }
}
/*
 * The request body from its buffers, encoded as it lies: only what the
 * buffers hold is sent, never unfilled memory.
 */
void
write_request_body_from_buffers(writer &w, ngx_http_request_t *r,
                                size_t request_len, ngx_log_t *log) noexcept
{
    size_t have = request_body_in_memory(r, request_len);
    u_char *text = open_body64(w, have, "Request payload too large", log);

    if (text == NULL) {
        return;
    }

    base64_stream out = {text, {0, 0}, 0};
    size_t need = have;

    for (ngx_chain_t *cl = r->request_body->bufs; cl && need; cl = cl->next) {
        ngx_buf_t *buf = cl->buf;

        if (buf->in_file || buf->pos == NULL) {
            continue;
        }

        size_t n = ngx_min(need, (size_t) (buf->last - buf->pos));
        out.add(buf->pos, n);
        need -= n;
    }

    out.finish();
    close_body64(w, out.dst);
}

/*
 * The request body from its temporary file, read once into the request's
 * pool (a rebuilt message does not read it again) and freed with the
 * build.
 */
void
write_request_body_from_file(writer &w, ngx_http_request_t *r, bodies &b,
                             ngx_log_t *log) noexcept
{
    if (b.file_body == NULL && !b.file_failed) {
        b.file_body =
            static_cast<u_char *>(ngx_pnalloc(r->pool, b.request_len));

        b.file_failed = b.file_body == NULL
                        || ngx_get_request_payload_from_file(
                               r, b.file_body, b.request_len,
                               b.truncate_request, &b.file_have)
                               != NGX_OK;
    }

    if (b.file_failed) {
        return;
    }

    write_body64(w, b.file_body, b.file_have, "Request payload too large", log);
}

} /* namespace kestrelvanes::merged_log */
