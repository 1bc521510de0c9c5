/*
 * Access-log module: the header and body filters that decide whether an
 * exchange is logged and capture its response body.  The message itself
 * is built at the exchange's end, in the log phase (exchange_end.cpp).
 *
 * Only main requests are exchanges: a subrequest's output (an SSI
 * include, a slice, an addition) is part of its main request's response,
 * and the main request's capture holds what passes this filter for it.
 *
 * Whatever happens here, the response goes on to the next filter
 * unchanged: a failure of the sensor costs the log, never the client.
 * It owns the worker's spare capture buffers.  Runs on the event loop.
 */
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_policy.h"

static ngx_http_output_header_filter_pt ngx_http_next_header_filter;
static ngx_http_output_body_filter_pt ngx_http_next_body_filter;

namespace {

typedef struct {
    time_t current_second;
    ngx_uint_t request_count;
    ngx_uint_t sampled_count;
} ngx_http_sampling_state_t;

ngx_http_sampling_state_t sampling_state;

ngx_int_t
ngx_http_next_header_filter_stub(ngx_http_request_t *r) noexcept
{
    return NGX_OK;
}

ngx_int_t
ngx_http_next_body_filter_stub(ngx_http_request_t *r, ngx_chain_t *in) noexcept
{
    return NGX_OK;
}

void
debug(ngx_http_request_t *r, const char *text) noexcept
{
    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0, text);
}

/*
 * Capture buffers too large for the request pool's own blocks (which
 * nginx would take from malloc and give back at the request's end) come
 * in classes, powers of two from 4 KiB to 64 KiB, and wait after their
 * request on their class's list for the next capture: a worker keeps at
 * most spare_limit of them.  A buffer past the largest class is the
 * pool's, as before.  The sanitized build allocates every capture alone,
 * as its pools do, so that an overrun meets a redzone.
 */
constexpr unsigned spare_min_shift = 12;
constexpr ngx_uint_t spare_classes = 5;
constexpr size_t spare_max_size = (size_t) 1
                                  << (spare_min_shift + spare_classes - 1);
constexpr ngx_uint_t spare_limit = 16;

#if (NGX_DEBUG_PALLOC)
constexpr bool spares_off = true;
#else
constexpr bool spares_off = false;
#endif

/* a buffer's class, kept before its bytes; its link while it waits */
struct spare_head {
    ngx_uint_t cls;
    spare_head *next;
};

spare_head *spares[spare_classes];
ngx_uint_t spare_count;

/* At the request's end: the buffer waits for the next capture, or goes. */
void
release_spare(void *data) noexcept
{
    auto *h = static_cast<spare_head *>(data);

    if (spare_count >= spare_limit) {
        ngx_free(h);
        return;
    }

    h->next = spares[h->cls];
    spares[h->cls] = h;
    spare_count++;
}

/*
 * size bytes for the capture of r: from the pool when it takes them in
 * its own blocks or they pass the largest class, else a spare buffer of
 * their class, given back when the request's pool goes.
 */
u_char *
capture_alloc(ngx_http_request_t *r, size_t size) noexcept
{
    if (spares_off || size <= r->pool->max || size > spare_max_size) {
        return static_cast<u_char *>(ngx_palloc(r->pool, size));
    }

    ngx_pool_cleanup_t *cln = ngx_pool_cleanup_add(r->pool, 0);
    if (cln == NULL) {
        return NULL;
    }

    ngx_uint_t cls = size <= ((size_t) 1 << spare_min_shift)
                         ? 0
                         : 8 * sizeof(unsigned long) - __builtin_clzl(size - 1)
                               - spare_min_shift;
    spare_head *h = spares[cls];

    if (h != NULL) {
        spares[cls] = h->next;
        spare_count--;

    } else {
        h = static_cast<spare_head *>(ngx_alloc(
            sizeof(spare_head) + ((size_t) 1 << (spare_min_shift + cls)),
            r->connection->log));
        if (h == NULL) {
            return NULL;
        }
        h->cls = cls;
    }

    cln->handler = release_spare;
    cln->data = h;

    return reinterpret_cast<u_char *>(h + 1);
}

} /* namespace */

namespace kestrelvanes {

/*
 * Admits the rate's share of each second's requests, evenly: at 10 % the
 * 1st, 11th, 21st... request of the second.
 */
bool
should_sample_at(time_t now) noexcept
{
    ngx_uint_t rate = ngx_ext_sampling_rate.load(std::memory_order_relaxed);

    if (rate == 0 || rate == 100) {
        return true;
    }

    if (now == sampling_state.current_second) {
        sampling_state.request_count++;

    } else {
        sampling_state.current_second = now;
        sampling_state.sampled_count = 0;
        sampling_state.request_count = 1;
    }

    ngx_uint_t target_samples =
        (rate * sampling_state.request_count + 99) / 100;

    if (sampling_state.sampled_count >= target_samples) {
        return false;
    }

    sampling_state.sampled_count++;
    return true;
}

} /* namespace kestrelvanes */

namespace {

bool
should_sample_request(ngx_http_request_t *r) noexcept
{
    return kestrelvanes::should_sample_at(ngx_time());
}

/*
 * Whether the location captures, and where its messages go: its own
 * collector, else the one the opc_endpoint variable names.
 */
bool
module_enabled(ngx_http_request_t *r, ngx_http_response_body_loc_conf_t *blcf,
               ngx_str_t *opc_endpoint) noexcept
{
    if (!blcf->kestrelvanes_http_access_enable) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "Kestrelvanes ngx_is_module_enabled: access module is "
                      "disabled");
        return false;
    }

    if (blcf->remote_auth_log_server.len > 0) {
        *opc_endpoint = blcf->remote_auth_log_server;
        return true;
    }

    if (ngx_get_opc_lb_endpoint(r, opc_endpoint) == NGX_OK) {
        return true;
    }

    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "Couldnt find opc endpoint");
    return false;
}

/*
 * Decided once per request: the authorization handler, which runs first,
 * keeps its decision in its context; without one the header filter
 * decides, and the body filter sees a context of this module only for a
 * request that was not bypassed.
 */
bool
bypassed(ngx_http_request_t *r, ngx_ext_request_state_t *state) noexcept
{
    return ngx_ext_request_bypassed(r, state ? &state->bypass : NULL);
}

/*
 * The log mode of a request that was not bypassed: the one its
 * authorization decided, else the sensor's own.
 */
LogMode
request_log_mode(const ngx_ext_request_state_t *state) noexcept
{
    return state != NULL ? state->log_mode : get_log_mode_direct();
}

ngx_http_response_body_ctx_t *
ngx_http_response_body_set_ctx(ngx_http_request_t *r,
                               ngx_http_response_body_loc_conf_t *blcf,
                               LogMode mode) noexcept
{
    auto *ctx = static_cast<ngx_http_response_body_ctx_t *>(
        ngx_palloc(r->pool, sizeof(ngx_http_response_body_ctx_t)));
    if (ctx == NULL) {
        return NULL;
    }

    /* zeroed in place, without ngx_pcalloc's call to memset */
    *ctx = ngx_http_response_body_ctx_t();

    ctx->blcf = blcf;
    ctx->log_mode = mode;
    ctx->capturing = should_log_payload(mode) > 0;

    /* before the filters after this one change it (gzip, ranges) */
    ctx->declared_len = r->headers_out.content_length_n;

    ngx_http_set_ctx(r, ctx, ngx_kestrelvanes_http_access);

    return ctx;
}

/*
 * The request body may sit in a temporary file that nginx's upstream code
 * closes as soon as the response header has gone through the header
 * filters; a log that reads it back needs it kept open.  Every release
 * from 1.20 on looks at preserve_body just before closing it, and that is
 * after this filter has run.
 */
void
keep_request_body_file(ngx_http_request_t *r) noexcept
{
    if (force_read_payload_file && r->request_body
        && r->request_body->temp_file) {
        r->main->preserve_body = 1;
    }
}

/*
 * The capture starts at the length the handler declared when that is
 * below the capture size: a small answer then takes its few bytes from the
 * request's pool instead of the whole capture size from malloc.  A body
 * longer than declared grows it to the capture size (grow_capture), so
 * what is captured is the same either way.
 */
bool
open_capture(ngx_http_request_t *r, ngx_http_response_body_ctx_t *ctx) noexcept
{
    size_t size = ctx->blcf->body_buffer_size;

    if (ctx->declared_len >= 0 && (off_t) size > ctx->declared_len) {
        size = (size_t) ctx->declared_len;
    }

    /* one byte at least: a buffer without a start is no capture */
    auto *start = capture_alloc(r, ngx_max(size, 1));
    if (start == NULL) {
        return false;
    }

    ctx->buffer.start = start;
    ctx->buffer.pos = start;
    ctx->buffer.last = start;
    ctx->buffer.end = start + size;

    return true;
}

/*
 * Room for need more bytes: a capture opened at the declared length moves
 * into one of the full capture size.  When that fails, the capture keeps
 * what it has and the body is marked as cut.
 */
void
grow_capture(ngx_http_request_t *r, ngx_http_response_body_ctx_t *ctx,
             size_t need) noexcept
{
    ngx_buf_t *capture = &ctx->buffer;
    size_t full = ctx->blcf->body_buffer_size;
    size_t used = capture->last - capture->start;

    if ((size_t) (capture->end - capture->last) >= need
        || (size_t) (capture->end - capture->start) >= full) {
        return;
    }

    auto *start = capture_alloc(r, full);
    if (start == NULL) {
        kestrelvanes::count(log_stats.alloc_fail);
        return;
    }

    capture->last = ngx_cpymem(start, capture->start, used);
    capture->start = start;
    capture->pos = start;
    capture->end = start + full;
}

bool
buffer_in_memory(ngx_buf_t *b) noexcept
{
    return b->temporary || b->memory || b->mmap;
}

/*
 * A buffer that only names a range of a file (a static file under
 * sendfile, an upstream response kept in a temporary file): the capture
 * reads what it has room for from the range.  nginx has just read or
 * written those pages, so the read comes from the page cache, as nginx's
 * own output does without sendfile.  The file's offset is nginx's, and is
 * left as it was.  A file opened for direct I/O takes only aligned reads:
 * its range is not captured.
 */
void
capture_file_range(ngx_http_request_t *r, ngx_http_response_body_ctx_t *ctx,
                   ngx_buf_t *b) noexcept
{
    ngx_buf_t *capture = &ctx->buffer;
    off_t size = b->file_last - b->file_pos;
    ngx_file_t *file = b->file;

    if (size <= 0) {
        return;
    }

    grow_capture(r, ctx, (size_t) ngx_min(size, (off_t) NGX_MAX_SIZE_T_VALUE));

    size_t room = capture->end - capture->last;

    if ((off_t) room < size) {
        ctx->resp_body_truncated = 1;
    } else {
        room = (size_t) size;
    }

    if (room == 0) {
        return;
    }

    if (file == NULL || file->fd == NGX_INVALID_FILE || file->directio) {
        ctx->resp_body_truncated = 1;
        return;
    }

    off_t offset = file->offset;
    ssize_t n = ngx_read_file(file, capture->last, room, b->file_pos);
    file->offset = offset;

    if (n < 0) {
        ctx->resp_body_truncated = 1;
        return;
    }

    capture->last += n;

    if ((size_t) n < room) {
        ctx->resp_body_truncated = 1;
    }
}

/*
 * Copies what fits of the chain into the capture buffer and tells whether
 * the chain ends the response.  A full capture buffer still lets the walk
 * see the end flags, so the end of a long response is known all the same.
 */
bool
capture_chain(ngx_http_request_t *r, ngx_http_response_body_ctx_t *ctx,
              ngx_chain_t *in, bool capturing) noexcept
{
    ngx_buf_t *capture = &ctx->buffer;
    bool last = false;

    for (ngx_chain_t *cl = in; cl; cl = cl->next) {
        ngx_buf_t *b = cl->buf;

        /* the length a log without the body still reports */
        if (!ngx_buf_special(b)) {
            ctx->resp_body_seen += ngx_buf_size(b);
        }

        /*
         * The end rides on any buffer: nginx often closes a response with
         * an empty special buffer behind its last data buffers.
         */
        if (b->last_buf || b->last_in_chain) {
            last = true;
        }

        if (!buffer_in_memory(b)) {
            if (capturing && b->in_file) {
                capture_file_range(r, ctx, b);
            }
            continue;
        }

        if (capturing && b->pos != b->last) {
            size_t size = b->last - b->pos;

            grow_capture(r, ctx, size);

            size_t room = capture->end - capture->last;

            if (size > room) {
                size = room;
                ctx->resp_body_truncated = 1;
            }

            capture->last = ngx_cpymem(capture->last, b->pos, size);
        }
    }

    return last;
}

} /* namespace */

extern "C" {

void
ngx_ext_install_capture_filters(void) noexcept
{
    ngx_http_next_header_filter = ngx_http_top_header_filter
                                      ? ngx_http_top_header_filter
                                      : ngx_http_next_header_filter_stub;
    ngx_http_top_header_filter = ngx_access_log_filter_header;

    ngx_http_next_body_filter = ngx_http_top_body_filter
                                    ? ngx_http_top_body_filter
                                    : ngx_http_next_body_filter_stub;
    ngx_http_top_body_filter = ngx_access_log_response_body_filter;
}

ngx_int_t
ngx_access_log_filter_header(ngx_http_request_t *r) noexcept
{
    ngx_str_t opc_endpoint = ngx_null_string;

    /*
     * A subrequest's output is part of its main request's exchange; a
     * post_action comes after the exchange and is nginx's own business.
     */
    if (r != r->main || r->post_action) {
        return ngx_http_next_header_filter(r);
    }

    auto *blcf = static_cast<ngx_http_response_body_loc_conf_t *>(
        ngx_http_get_module_loc_conf(r, ngx_kestrelvanes_http_access));

    if (!module_enabled(r, blcf, &opc_endpoint)) {
        debug(r, "ngx_access_log_filter_header: moving to next header filter");
        return ngx_http_next_header_filter(r);
    }

    if (!should_sample_request(r)) {
        debug(r, "ngx_access_log_filter_header: skipping logs due to sampling");
        kestrelvanes::count(log_stats.log_skipped_in_sampling);
        return ngx_http_next_header_filter(r);
    }

    ngx_ext_request_state_t *state = ngx_ext_request_state(r);

    if (bypassed(r, state)) {
        return ngx_http_next_header_filter(r);
    }

    LogMode mode = request_log_mode(state);

    if (should_log(mode) < 0) {
        debug(r, "ngx_access_log_filter_header: logging disabled moving to "
                 "next header filter");
        kestrelvanes::count(log_stats.logging_disabled);
        return ngx_http_next_header_filter(r);
    }

    if (ngx_check_backoff_on() < 0) {
        debug(r, "ngx_access_log_filter_header: skipping logs due to backoff");
        kestrelvanes::count(log_stats.log_skipped_in_backoff);
        return ngx_http_next_header_filter(r);
    }

    /* a log the queue has no room for is not worth building */
    if (!ngx_ext_exporter_has_room(0)) {
        debug(r, "ngx_access_log_filter_header: dropping logs, queue full");
        kestrelvanes::count(log_stats.log_dropped_queue_full);
        return ngx_http_next_header_filter(r);
    }

    kestrelvanes::count(log_stats.hdr_filter_hit);

    auto *ctx = ngx_http_response_body_set_ctx(r, blcf, mode);
    if (ctx == NULL) {
        kestrelvanes::count(log_stats.hdr_filter_fail);
        ngx_log_error(NGX_LOG_WARN, r->connection->log, 0,
                      "ngx_access_log_filter_header: no memory");
        return ngx_http_next_header_filter(r);
    }

    /* the address lives as long as the request: the log phase sends there */
    ctx->opc_endpoint = opc_endpoint;

    /*
     * post_action redirects the request once the response is out, which
     * clears the capture and rewrites the response's head before the log
     * phase: such an exchange is logged as its response ends.
     */
    auto *clcf = static_cast<ngx_http_core_loc_conf_t *>(
        ngx_http_get_module_loc_conf(r, ngx_http_core_module));
    ctx->post_action = clcf->post_action.data != NULL;

    keep_request_body_file(r);

    ngx_int_t rc = ngx_http_next_header_filter(r);

    /*
     * nginx's own header filter, which runs after this one, decides that a
     * response has no body (HEAD, 204, 304) and writes the head without
     * any body-filter call: the response ends here.
     */
    if (r->header_only && rc != NGX_ERROR) {
        kestrelvanes::count(log_stats.hdr_only);
        ctx->ended = 1;

        if (ctx->post_action) {
            ngx_ext_finish_exchange(r, ctx, false);
        }
    }

    return rc;
}

ngx_int_t
ngx_access_log_response_body_filter(ngx_http_request_t *r,
                                    ngx_chain_t *in) noexcept
{
    if (in == NULL || r != r->main) {
        return ngx_http_next_body_filter(r, in);
    }

    /*
     * A context means the header filter found the module on and logging;
     * it holds that decision, and the location's record it was made for.
     */
    auto *ctx = static_cast<ngx_http_response_body_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_access));

    if (ctx == NULL) {
        auto *lcf = static_cast<ngx_http_response_body_loc_conf_t *>(
            ngx_http_get_module_loc_conf(r, ngx_kestrelvanes_http_access));

        if (!lcf->kestrelvanes_http_access_enable) {
            return ngx_http_next_body_filter(r, in);
        }

        ngx_str_t opc_endpoint = ngx_null_string;

        if (!module_enabled(r, lcf, &opc_endpoint)) {
            debug(r, "ngx_access_log_response_body_filter: moving to next "
                     "body filter");
            return ngx_http_next_body_filter(r, in);
        }

        kestrelvanes::count(log_stats.body_filter_hit);
        kestrelvanes::count(log_stats.ctx_lookup_fail);
        return ngx_http_next_body_filter(r, in);
    }

    kestrelvanes::count(log_stats.body_filter_hit);

    /* the response has ended: what still passes is not its body */
    if (ctx->ended) {
        return ngx_http_next_body_filter(r, in);
    }

    /* the context exists: the header filter found no bypass */

    bool capturing = ctx->capturing;

    if (capturing && ctx->buffer.start == NULL && !open_capture(r, ctx)) {
        /* this exchange goes unlogged; the response is untouched */
        kestrelvanes::count(log_stats.alloc_fail);
        ngx_http_set_ctx(r, NULL, ngx_kestrelvanes_http_access);
        return ngx_http_next_body_filter(r, in);
    }

    if (r->header_only) {
        kestrelvanes::count(log_stats.hdr_only);
        ctx->ended = 1;
    }

    if (capture_chain(r, ctx, in, capturing)) {
        ctx->ended = 1;
    }

    if (ctx->ended && ctx->post_action) {
        ngx_ext_finish_exchange(r, ctx, false);
    }

    ngx_int_t rc = ngx_http_next_body_filter(r, in);
    if (rc != NGX_OK) {
        kestrelvanes::count(log_stats.next_pass_fail);
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "ngx_http_next_body_filter failure rc:%d", (int) rc);
    }

    return rc;
}

} /* extern "C" */
