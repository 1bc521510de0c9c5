/*
 * Access-log module: the end of each captured exchange, where its one
 * message is built and handed to the queue.
 *
 * nginx runs the log phase once for every request, however it ends: a
 * response that went out whole, a client that went away mid-download, an
 * upstream that broke off mid-body, a request finalized with an error or
 * at a timeout.  Building the message there gives every exchange the
 * header filter took up exactly one message.  One that did not end
 * normally carries what was captured, its body marked as cut.  Only a
 * location with post_action, which rewrites the request after its
 * response, has its exchanges finished by the filters as the response
 * ends, through the same function.
 *
 * Also keeps the path the client asked for: rewrites and internal
 * redirects (try_files, error_page, X-Accel-Redirect) change the request's
 * URI, and the log names what the client sent.
 *
 * Runs on the worker's event loop.
 */
#include "nginx_ext_access_log_module.h"

namespace {

/*
 * nginx decodes a path holding escapes, dot segments or double slashes
 * into memory of its own; any other path is the request line's own bytes.
 */
bool
decoded_apart(ngx_http_request_t *r) noexcept
{
    return r->complex_uri || r->quoted_uri || r->empty_path_in_uri;
}

/* Marks the pool cleanup that holds the client's decoded path. */
void
client_path_cleanup(void *data) noexcept
{
}

const ngx_str_t *
kept_client_path(ngx_http_request_t *r) noexcept
{
    for (ngx_pool_cleanup_t *cln = r->pool->cleanup; cln; cln = cln->next) {
        if (cln->handler == client_path_cleanup) {
            return static_cast<ngx_str_t *>(cln->data);
        }
    }

    return NULL;
}

/*
 * Runs before any rewrite.  A redirect clears the modules' contexts but
 * not the request pool's cleanups, where the decoded path is kept (as
 * nginx's realip module keeps its context).  A plain path needs nothing
 * kept: the request line still holds it at the end.
 */
ngx_int_t
keep_client_path(ngx_http_request_t *r) noexcept
{
    if (r->internal || !decoded_apart(r)) {
        return NGX_DECLINED;
    }

    ngx_pool_cleanup_t *cln = ngx_pool_cleanup_add(r->pool, sizeof(ngx_str_t));

    /* without it the log names the URI the request ends with */
    if (cln != NULL) {
        *static_cast<ngx_str_t *>(cln->data) = r->uri;
        cln->handler = client_path_cleanup;
    }

    return NGX_DECLINED;
}

} /* namespace */

extern "C" {

void
ngx_ext_client_uri(ngx_http_request_t *r, ngx_str_t *path,
                   ngx_str_t *args) noexcept
{
    *path = r->uri;
    *args = r->args;

    /* a request nginx never parsed a target for: as it stands */
    if (r->uri_start == NULL || r->uri_end == NULL
        || r->uri_end < r->uri_start) {
        return;
    }

    if (decoded_apart(r)) {
        const ngx_str_t *copy = kept_client_path(r);

        /* not kept (a request refused before its phases ran): unchanged */
        if (copy == NULL) {
            return;
        }

        *path = *copy;

    } else {
        /* the request line's path, up to the "?" when there is one */
        u_char *end = r->args_start != NULL ? r->args_start - 1 : r->uri_end;

        path->data = r->uri_start;
        path->len = end - r->uri_start;
    }

    /* the arguments as the client sent them, as nginx takes them */
    if (r->args_start != NULL && r->uri_end > r->args_start) {
        args->data = r->args_start;
        args->len = r->uri_end - r->args_start;

    } else {
        ngx_str_null(args);
    }
}

void
ngx_ext_finish_exchange(ngx_http_request_t *r,
                        ngx_http_response_body_ctx_t *ctx, bool cut) noexcept
{
    if (ctx->logged) {
        return;
    }

    ctx->logged = 1;
    ctx->cut = cut;

    ngx_http_response_body_loc_conf_t *conf = ctx->blcf;
    bool merged = conf->remote_auth_log_server.len != 0;

    kestrelvanes::count(log_stats.logs_sent);

    if (cut) {
        kestrelvanes::count(log_stats.logs_cut);
    }

    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "[KESTRELVANES] exchange end: calling %s, cut=%d, "
                  "total_buf_size=%uz",
                  merged ? "merged_log" : "response_log", (int) cut,
                  conf->total_buffer_size);

    ngx_int_t rc;

    if (merged) {
        rc = ngx_ext_send_http_merged_log(r, &ctx->opc_endpoint, ctx->log_mode,
                                          conf);
    } else {
        rc = ngx_ext_send_http_response_log(r, &ctx->opc_endpoint,
                                            ctx->log_mode, conf);
    }

    /* the reason is counted where it happened; this is the total */
    if (rc != NGX_OK) {
        kestrelvanes::count(log_stats.logs_unsent);
    }
}

ngx_int_t
ngx_access_log_log_phase(ngx_http_request_t *r) noexcept
{
    if (r != r->main) {
        return NGX_OK;
    }

    auto *ctx = static_cast<ngx_http_response_body_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_access));

    if (ctx == NULL) {
        return NGX_OK;
    }

    /*
     * Normally the response's end went through the filters and nginx
     * finalized the request with everything handed to the client.  An
     * upstream that broke off mid-body ends the response without its end;
     * a client that went away, an error or a timeout end the request
     * before the response left.
     */
    ngx_ext_finish_exchange(r, ctx, !ctx->ended || !r->request_complete);

    return NGX_OK;
}

ngx_int_t
ngx_ext_install_exchange_handlers(ngx_conf_t *cf) noexcept
{
    auto *cmcf = static_cast<ngx_http_core_main_conf_t *>(
        ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module));

    auto *h = static_cast<ngx_http_handler_pt *>(
        ngx_array_push(&cmcf->phases[NGX_HTTP_POST_READ_PHASE].handlers));
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = keep_client_path;

    h = static_cast<ngx_http_handler_pt *>(
        ngx_array_push(&cmcf->phases[NGX_HTTP_LOG_PHASE].handlers));
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_access_log_log_phase;

    return NGX_OK;
}

} /* extern "C" */
