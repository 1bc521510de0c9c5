/*
 * External authorization module: configuration, variables and the
 * access-phase handler.
 *
 * This shared object also carries the sensor core (the common units), so
 * the per-process state both modules share is defined here.
 */
#include "exporter.h"
#include "nginx_ext_auth_module.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_policy.h"

static ngx_int_t ngx_http_auth_request_handler(ngx_http_request_t *r) noexcept;
static ngx_int_t ngx_http_auth_hide_body_length(ngx_http_request_t *r) noexcept;
static ngx_int_t
ngx_http_auth_restore_body_length(ngx_http_request_t *r) noexcept;
static ngx_int_t
ngx_http_auth_read_body(ngx_http_request_t *r,
                        ngx_http_auth_request_ctx_t *ctx) noexcept;
static void ngx_http_auth_post_read_callback(ngx_http_request_t *r) noexcept;
static ngx_int_t ngx_http_auth_handle_reauth(ngx_http_request_t *r) noexcept;
static ngx_int_t
ngx_http_auth_pass_www_authenticate(ngx_http_request_t *r,
                                    ngx_http_auth_request_ctx_t *ctx) noexcept;
static ngx_int_t
ngx_http_auth_request_set_variables(ngx_http_request_t *r,
                                    ngx_http_auth_request_conf_t *arcf,
                                    ngx_http_auth_request_ctx_t *ctx) noexcept;
static ngx_int_t
ngx_http_auth_send_subrequest(ngx_http_request_t *r,
                              ngx_http_auth_request_ctx_t *ctx) noexcept;
static ngx_int_t ngx_http_auth_request_variable(ngx_http_request_t *r,
                                                ngx_http_variable_value_t *v,
                                                uintptr_t data) noexcept;
static ngx_int_t
ngx_http_get_opc_endpoint_variable(ngx_http_request_t *r,
                                   ngx_http_variable_value_t *v,
                                   uintptr_t data) noexcept;
static void *ngx_http_auth_request_create_conf(ngx_conf_t *cf) noexcept;
static char *ngx_http_auth_request_merge_conf(ngx_conf_t *cf, void *parent,
                                              void *child) noexcept;
static ngx_int_t ngx_http_auth_request_read_variables(ngx_conf_t *cf) noexcept;
static ngx_int_t ngx_http_auth_request_init(ngx_conf_t *cf) noexcept;
static void ngx_http_auth_request_exit(ngx_cycle_t *cycle) noexcept;
static char *ngx_http_auth_request(ngx_conf_t *cf, ngx_command_t *cmd,
                                   void *conf) noexcept;
static char *ngx_http_auth_request_set(ngx_conf_t *cf, ngx_command_t *cmd,
                                       void *conf) noexcept;

/* clang-format off */
#define NGX_EXT_AUTH_CONF (NGX_HTTP_MAIN_CONF | NGX_HTTP_SRV_CONF | NGX_HTTP_LOC_CONF)

static ngx_command_t ngx_http_auth_request_commands[] = {

    { ngx_string("ext_auth_request"),
      NGX_EXT_AUTH_CONF | NGX_CONF_TAKE1,
      ngx_http_auth_request,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("kestrelvanes_http_auth_request"),
      NGX_EXT_AUTH_CONF | NGX_CONF_TAKE1,
      ngx_http_auth_request,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("ext_auth_request_set"),
      NGX_EXT_AUTH_CONF | NGX_CONF_TAKE2,
      ngx_http_auth_request_set,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("kestrelvanes_http_auth_request_set"),
      NGX_EXT_AUTH_CONF | NGX_CONF_TAKE2,
      ngx_http_auth_request_set,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("ext_auth_fail_allow"),
      NGX_EXT_AUTH_CONF | NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_auth_request_conf_t, ext_auth_fail_allow),
      NULL },

    { ngx_string("kestrelvanes_http_auth_fail_allow"),
      NGX_EXT_AUTH_CONF | NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_auth_request_conf_t, ext_auth_fail_allow),
      NULL },

    { ngx_string("ext_auth_follow_collector"),
      NGX_EXT_AUTH_CONF | NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_auth_request_conf_t, follow_collector),
      NULL },

    { ngx_string("kestrelvanes_http_auth_follow_collector"),
      NGX_EXT_AUTH_CONF | NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_auth_request_conf_t, follow_collector),
      NULL },

    { ngx_string("kestrelvanes_http_auth_enable"),
      NGX_EXT_AUTH_CONF | NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_auth_request_conf_t, kestrelvanes_http_auth_enable),
      NULL },

    /*
     * The certificate the sensor shows collectors: the core that holds
     * collector connections lives in this object, so both modules take
     * it; process-wide, as in the access-log module.
     */
    { ngx_string("kestrelvanes_http_auth_collector_ssl_certificate"),
      NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
      ngx_ext_set_collector_ssl_certificate,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("kestrelvanes_http_auth_collector_ssl_certificate_key"),
      NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
      ngx_ext_set_collector_ssl_certificate_key,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

      ngx_null_command
};


static ngx_http_module_t ngx_http_auth_request_module_ctx = {
    ngx_http_auth_request_read_variables,  /* preconfiguration */
    ngx_http_auth_request_init,            /* postconfiguration */

    NULL,                                  /* create main configuration */
    NULL,                                  /* init main configuration */

    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */

    ngx_http_auth_request_create_conf,     /* create location configuration */
    ngx_http_auth_request_merge_conf       /* merge location configuration */
};


extern "C" {

ngx_module_t ngx_kestrelvanes_http_auth = {
    NGX_MODULE_V1,
    &ngx_http_auth_request_module_ctx,     /* module context */
    ngx_http_auth_request_commands,        /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    ngx_http_auth_request_exit,            /* exit master */
    NGX_MODULE_V1_PADDING
};

} /* extern "C" */


static ngx_http_variable_t ngx_http_upstream_vars[] = {

    { ngx_string("opc_endpoint"), NULL,
      ngx_http_get_opc_endpoint_variable, 0,
      NGX_HTTP_VAR_NOCACHEABLE, 0 },

    { ngx_null_string, NULL, NULL, 0, 0, 0 }
};
/* clang-format on */

/*
 * Only a 2xx answer of the authorization service authorizes a request.
 * Under "satisfy any" NGX_OK grants access on its own, past auth_basic and
 * deny rules, so every other way of letting a request through (logging
 * off, backoff, bypass, fail-open) declines instead and leaves the request
 * to the location's other access rules; under "satisfy all" both mean the
 * same.
 */
static constexpr ngx_int_t ngx_http_auth_let_pass = NGX_DECLINED;

/* what fail-open reports for a request whose subrequest never went out */
static constexpr ngx_int_t ngx_http_auth_not_asked = -1;

/*
 * A request let through by fail-open was authorized by nobody, so it is
 * never let through quietly: each is counted, and the log says so with
 * the status that failed.  A failing authorizer fails every request, so
 * the log takes one line a second per worker and says how many went
 * unlogged in between; the counter has them all.
 */
static ngx_int_t
ngx_http_auth_fail_open(ngx_http_request_t *r, ngx_int_t status) noexcept
{
    static bool logged;
    static ngx_msec_t logged_at;
    static ngx_uint_t unlogged;

    kestrelvanes::count(auth_stats.fail_open_passed);

    if (logged && ngx_current_msec - logged_at < 1000) {
        unlogged++;
        return ngx_http_auth_let_pass;
    }

    logged = true;
    logged_at = ngx_current_msec;

    u_char more[64];
    u_char *end = more;

    if (unlogged != 0) {
        end = ngx_snprintf(more, sizeof(more),
                           " (%ui more since the last such message)", unlogged);
        unlogged = 0;
    }

    if (status == ngx_http_auth_not_asked) {
        ngx_log_error(NGX_LOG_WARN, r->connection->log, 0,
                      "authorization could not be asked, request let through "
                      "unauthorized by ext_auth_fail_allow%*s",
                      static_cast<size_t>(end - more), more);
    } else {
        ngx_log_error(NGX_LOG_WARN, r->connection->log, 0,
                      "authorization failed with status %i, request let "
                      "through unauthorized by ext_auth_fail_allow%*s",
                      status, static_cast<size_t>(end - more), more);
    }

    return ngx_http_auth_let_pass;
}

/* Failures of the authorization path let the request through when asked. */
static ngx_int_t
ngx_http_auth_fail_allow(ngx_http_request_t *r,
                         ngx_http_auth_request_conf_t *arcf,
                         ngx_int_t rc) noexcept
{
    if (arcf->ext_auth_fail_allow == 1) {
        kestrelvanes::count(auth_stats.failure_overridden);
        return ngx_http_auth_fail_open(r, ngx_http_auth_not_asked);
    }

    return rc;
}

/*
 * The bypass decision, made once per request and kept in the context,
 * where later entries and the access-log filters read it.  A bypassed
 * request gets a context holding just that; the context of a request that
 * goes on is made by the handler, which records the decision in it.
 */
static bool
ngx_http_auth_bypassed(ngx_http_request_t *r,
                       ngx_http_auth_request_ctx_t *ctx) noexcept
{
    if (ctx != NULL) {
        return ngx_ext_request_bypassed(r, &ctx->state.bypass);
    }

    if (!ngx_ext_request_bypassed(r, NULL)) {
        return false;
    }

    ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_pcalloc(r->pool, sizeof(ngx_http_auth_request_ctx_t)));

    /* without it the filters merely decide again */
    if (ctx != NULL) {
        ctx->state.bypass = ngx_ext_bypass_yes;
        ctx->state.log_mode = get_log_mode_direct();
        ngx_http_set_ctx(r, ctx, ngx_kestrelvanes_http_auth);
    }

    return true;
}

static ngx_int_t
ngx_http_auth_request_handler(ngx_http_request_t *r) noexcept
{
    ngx_log_t *log = r->connection->log;
    auto *arcf = static_cast<ngx_http_auth_request_conf_t *>(
        ngx_http_get_module_loc_conf(r, ngx_kestrelvanes_http_auth));

    if (!arcf->kestrelvanes_http_auth_enable) {
        kestrelvanes::count(auth_stats.req_declined_ok);
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "ngx_http_auth_request_handler: module is disabled");
        return NGX_DECLINED;
    }

    kestrelvanes::count(auth_stats.req);

    auto *ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_auth));

    /*
     * Once the subrequest is out its answer decides: a backoff or a policy
     * update that starts while it runs must not let a request past a 403.
     */
    if (ctx != NULL && ctx->subrequest != NULL) {
        return ngx_http_auth_handle_reauth(r);
    }

    /*
     * Where the collector is not followed, its steering (backoff, bypass
     * policies, nologging) changes what is captured, never who is asked.
     */
    bool steered = arcf->follow_collector;

    if (steered && ngx_check_backoff_on() < 0) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "ngx_http_auth_request_handler: skipping logs due to "
                      "backoff");
        kestrelvanes::count(auth_stats.log_skipped_in_backoff);
        return ngx_http_auth_let_pass;
    }

    if (arcf->uri.len == 0) {
        kestrelvanes::count(auth_stats.req_declined_ok);
        return NGX_DECLINED;
    }

    if (steered && ngx_http_auth_bypassed(r, ctx)) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0, "Auth: Request bypassed");
        return ngx_http_auth_let_pass;
    }

    if (ctx != NULL) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "ctx->send_subrequest_with_body %d\n",
                      (int) ctx->send_subrequest_with_body);

        if (!ctx->send_subrequest_with_body) {
            return ngx_http_auth_handle_reauth(r);
        }

        ctx->send_subrequest_with_body = 0;

        ngx_int_t rc = ngx_http_auth_send_subrequest(r, ctx);
        ngx_log_error(NGX_LOG_DEBUG, log, 0, "subrequest sent, rc:%d",
                      (int) rc);

        return rc == NGX_OK ? NGX_AGAIN : ngx_http_auth_fail_allow(r, arcf, rc);
    }

    ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_pcalloc(r->pool, sizeof(ngx_http_auth_request_ctx_t)));
    if (ctx == NULL) {
        kestrelvanes::count(auth_stats.alloc_fail);
        return ngx_http_auth_fail_allow(r, arcf, NGX_ERROR);
    }

    ngx_http_set_ctx(r, ctx, ngx_kestrelvanes_http_auth);
    ctx->state.log_mode = get_log_mode_direct();

    /*
     * Followed, the policies have just been found not to match; otherwise
     * they were not looked at, and the capture filters decide for
     * themselves, in this context, when they need to.
     */
    ctx->state.bypass = steered ? ngx_ext_bypass_no : ngx_ext_bypass_undecided;

    if (steered && should_log(ctx->state.log_mode) < 0) {
        kestrelvanes::count(auth_stats.logging_disabled);
        return ngx_http_auth_let_pass;
    }

    /* a chunked body (and an HTTP/2 one without a length) counts too */
    if (r->headers_in.content_length_n > 0 || r->headers_in.chunked) {
        return ngx_http_auth_read_body(r, ctx);
    }

    ngx_int_t rc = ngx_http_auth_send_subrequest(r, ctx);
    if (rc != NGX_OK) {
        return ngx_http_auth_fail_allow(r, arcf, rc);
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "ngx_http_auth_request_handler returning NGX_AGAIN");
    return NGX_AGAIN;
}

/*
 * The authorization subrequest carries a body that the protected location
 * accepted, and the authorizer must see it whatever the authorization
 * location's own client_max_body_size: a 413 there would be a failure,
 * which fail-open lets through unasked.  nginx compares the length with
 * that limit when it looks a request's location up, so the subrequest
 * carries no length while it does (from the server's rewrite phase on,
 * where every internal redirect starts too) and has it back before the
 * location's handlers run.  The parent's length is the one the subrequest
 * copied: its body had been read whole by then.
 *
 * Both run for every request, so only a configuration that names an
 * authorization URI somewhere gets them.
 */
static bool ngx_http_auth_configured;

static bool
ngx_http_auth_is_subrequest(ngx_http_request_t *r) noexcept
{
    return r != r->main && r->post_subrequest != NULL
           && r->post_subrequest->handler == ngx_http_auth_request_done;
}

static ngx_int_t
ngx_http_auth_hide_body_length(ngx_http_request_t *r) noexcept
{
    if (ngx_http_auth_is_subrequest(r)) {
        r->headers_in.content_length_n = -1;
    }

    return NGX_DECLINED;
}

static ngx_int_t
ngx_http_auth_restore_body_length(ngx_http_request_t *r) noexcept
{
    if (ngx_http_auth_is_subrequest(r)) {
        r->headers_in.content_length_n = r->parent->headers_in.content_length_n;
    }

    return NGX_DECLINED;
}

/*
 * The subrequest shares the client's body, so an announced body is read
 * whole before the subrequest goes out.
 */
static ngx_int_t
ngx_http_auth_read_body(ngx_http_request_t *r,
                        ngx_http_auth_request_ctx_t *ctx) noexcept
{
    ngx_log_t *log = r->connection->log;

    kestrelvanes::count(auth_stats.req_has_body);
    ctx->waiting_more_body = 1;
    ngx_log_error(NGX_LOG_DEBUG, log, 0, "auth request handler body present %O",
                  r->headers_in.content_length_n);

    ctx->reading_body = 1;
    ngx_int_t rc =
        ngx_http_read_client_request_body(r, ngx_http_auth_post_read_callback);
    ctx->reading_body = 0;

    if (rc == NGX_ERROR || rc >= NGX_HTTP_SPECIAL_RESPONSE) {
        kestrelvanes::count(auth_stats.read_body_error);
        return rc;
    }

    if (rc == NGX_AGAIN) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "auth request handler ngx_http_read_client_request_body "
                      "returned NGX_AGAIN");
        ctx->waiting_more_body = 1;
        return NGX_DONE;
    }

    /* the post handler has already run and sent the subrequest */
    ctx->waiting_more_body = 0;
    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "auth request handler ngx_http_read_client_request_body "
                  "returned %d",
                  (int) rc);
    return NGX_AGAIN;
}

static void
ngx_http_auth_post_read_callback(ngx_http_request_t *r) noexcept
{
    ngx_log_debug0(NGX_LOG_DEBUG_HTTP, r->connection->log, 0,
                   "ngx_http_auth_post_read_callback called");

    /* the reference body reading took */
    r->main->count--;

    auto *ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_auth));

    if (ctx == NULL || ctx->waiting_more_body != 1) {
        return;
    }

    ctx->waiting_more_body = 0;
    ctx->send_subrequest_with_body = 1;

    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "ngx_http_auth_post_read_callback: running "
                  "ngx_http_core_run_phases");

    /* the request may be gone once its phases have run */
    ngx_connection_t *c = r->connection;
    bool called_later = !ctx->reading_body;

    r->write_event_handler = ngx_http_core_run_phases;
    ngx_http_core_run_phases(r);

    /*
     * When the body's end arrived later, the subrequest just posted must
     * run now: older nginx releases do not run posted requests after
     * reading an HTTP/2 stream's body, and the request would wait for the
     * next event on the connection.
     */
    if (called_later) {
        ngx_http_run_posted_requests(c);
    }
}

/* Entries after the subrequest went out: wait for it, then decide. */
static ngx_int_t
ngx_http_auth_handle_reauth(ngx_http_request_t *r) noexcept
{
    auto *arcf = static_cast<ngx_http_auth_request_conf_t *>(
        ngx_http_get_module_loc_conf(r, ngx_kestrelvanes_http_auth));
    auto *ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_auth));

    if (arcf->uri.len == 0) {
        kestrelvanes::count(auth_stats.req_declined_ok);
        return NGX_DECLINED;
    }

    /* the first entry let the request pass without asking */
    if (ctx->subrequest == NULL && !ctx->waiting_more_body) {
        return ngx_http_auth_let_pass;
    }

    if (!ctx->done) {
        kestrelvanes::count(auth_stats.req_again);
        return NGX_AGAIN;
    }

    if (ngx_http_auth_request_set_variables(r, arcf, ctx) != NGX_OK) {
        kestrelvanes::count(auth_stats.req_error);
        return NGX_ERROR;
    }

    if (ctx->failed_open) {
        kestrelvanes::count(auth_stats.req_special);
        kestrelvanes::count(auth_stats.req_ok);
        return ngx_http_auth_fail_open(r, static_cast<ngx_int_t>(ctx->status));
    }

    if (ctx->status == NGX_HTTP_FORBIDDEN) {
        kestrelvanes::count(auth_stats.req_forbidden);
        return NGX_HTTP_FORBIDDEN;
    }

    if (ctx->status == NGX_HTTP_UNAUTHORIZED) {
        if (ngx_http_auth_pass_www_authenticate(r, ctx) != NGX_OK) {
            kestrelvanes::count(auth_stats.req_error);
            return NGX_ERROR;
        }

        kestrelvanes::count(auth_stats.req_unauthorized);
        return NGX_HTTP_UNAUTHORIZED;
    }

    if (ctx->status >= NGX_HTTP_OK && ctx->status < NGX_HTTP_SPECIAL_RESPONSE) {
        kestrelvanes::count(auth_stats.req_special);
        kestrelvanes::count(auth_stats.req_ok);
        return NGX_OK;
    }

    ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                  "Kestrelvanes: auth request unexpected status: %ui",
                  ctx->status);

    if (arcf->ext_auth_fail_allow == 1) {
        kestrelvanes::count(auth_stats.req_ok);
        return ngx_http_auth_fail_open(r, static_cast<ngx_int_t>(ctx->status));
    }

    kestrelvanes::count(auth_stats.req_unauthorized);
    return NGX_HTTP_INTERNAL_SERVER_ERROR;
}

static ngx_int_t
ngx_http_auth_pass_www_authenticate(ngx_http_request_t *r,
                                    ngx_http_auth_request_ctx_t *ctx) noexcept
{
    ngx_http_request_t *sr = ctx->subrequest;
    ngx_table_elt_t *h = sr->headers_out.www_authenticate;

    if (h == NULL && sr->upstream != NULL) {
        h = sr->upstream->headers_in.www_authenticate;
    }

    if (h == NULL) {
        return NGX_OK;
    }

    auto *ho =
        static_cast<ngx_table_elt_t *>(ngx_list_push(&r->headers_out.headers));
    if (ho == NULL) {
        return NGX_ERROR;
    }

    *ho = *h;
    r->headers_out.www_authenticate = ho;

    return NGX_OK;
}

static ngx_int_t
ngx_http_auth_request_set_variables(ngx_http_request_t *r,
                                    ngx_http_auth_request_conf_t *arcf,
                                    ngx_http_auth_request_ctx_t *ctx) noexcept
{
    ngx_log_debug0(NGX_LOG_DEBUG_HTTP, r->connection->log, 0,
                   "auth request set variables");

    if (arcf->vars == NULL) {
        return NGX_OK;
    }

    auto *cmcf = static_cast<ngx_http_core_main_conf_t *>(
        ngx_http_get_module_main_conf(r, ngx_http_core_module));
    auto *v = static_cast<ngx_http_variable_t *>(cmcf->variables.elts);
    auto *av =
        static_cast<ngx_http_auth_request_variable_t *>(arcf->vars->elts);

    for (ngx_uint_t i = 0; i < arcf->vars->nelts; i++) {
        ngx_str_t val;

        if (ngx_http_complex_value(ctx->subrequest, &av[i].value, &val)
            != NGX_OK) {
            return NGX_ERROR;
        }

        /* set explicitly so the value survives internal redirects */
        ngx_http_variable_value_t *vv = &r->variables[av[i].index];

        vv->valid = 1;
        vv->not_found = 0;
        vv->data = val.data;
        vv->len = val.len;

        if (av[i].set_handler) {
            av[i].set_handler(r, vv, v[av[i].index].data);
        }
    }

    return NGX_OK;
}

static ngx_int_t
ngx_http_auth_send_subrequest(ngx_http_request_t *r,
                              ngx_http_auth_request_ctx_t *ctx) noexcept
{
    auto *arcf = static_cast<ngx_http_auth_request_conf_t *>(
        ngx_http_get_module_loc_conf(r, ngx_kestrelvanes_http_auth));

    if (arcf->uri.len == 0) {
        return NGX_DECLINED;
    }

    ngx_http_post_subrequest_t *ps = &ctx->post;

    ps->handler = ngx_http_auth_request_done;
    ps->data = ctx;

    ngx_http_request_t *sr;

    if (ngx_http_request_custom_subrequest(r, &arcf->uri, NULL, &sr, ps,
                                           NGX_HTTP_SUBREQUEST_WAITED)
        != NGX_OK) {
        kestrelvanes::count(auth_stats.sr_send_fail);
        return NGX_ERROR;
    }

    kestrelvanes::count(auth_stats.sr_sent);

    /* the authorization answer's body never reaches the client */
    sr->header_only = 1;

    ctx->subrequest = sr;
    r->post_subrequest = ps;

    return NGX_OK;
}

ngx_int_t
ngx_http_auth_request_done(ngx_http_request_t *r, void *data,
                           ngx_int_t rc) noexcept
{
    auto *ctx = static_cast<ngx_http_auth_request_ctx_t *>(data);
    auto *arcf = static_cast<ngx_http_auth_request_conf_t *>(
        ngx_http_get_module_loc_conf(r, ngx_kestrelvanes_http_auth));

    kestrelvanes::count(auth_stats.sr_callback);

    ctx->done = 1;

    /* the authorization location may let its own upstream failures pass */
    ngx_uint_t status = r->headers_out.status;

    ctx->status = status;

    if (arcf == NULL
        || (arcf->ext_auth_fail_allow == 1 && status >= 500 && status <= 599)) {
        kestrelvanes::count(auth_stats.failure_overridden);
        ctx->failed_open = 1;
    }

    return rc;
}

static ngx_int_t
ngx_http_auth_request_variable(ngx_http_request_t *r,
                               ngx_http_variable_value_t *v,
                               uintptr_t data) noexcept
{
    ngx_log_debug0(NGX_LOG_DEBUG_HTTP, r->connection->log, 0,
                   "auth request variable");

    v->not_found = 1;

    return NGX_OK;
}

/*
 * The context slot is cleared by an internal redirect; the post-subrequest
 * record survives it.  Another module's record carries foreign data, so it
 * is trusted only when the handler is ours.
 */
static ngx_http_auth_request_ctx_t *
ngx_http_auth_find_ctx(ngx_http_request_t *r) noexcept
{
    auto *ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_auth));

    if (ctx != NULL) {
        return ctx;
    }

    ngx_http_post_subrequest_t *ps = r->post_subrequest;

    if (ps != NULL && ps->handler == ngx_http_auth_request_done) {
        return static_cast<ngx_http_auth_request_ctx_t *>(ps->data);
    }

    return NULL;
}

static ngx_int_t
ngx_http_get_opc_endpoint_variable(ngx_http_request_t *r,
                                   ngx_http_variable_value_t *v,
                                   uintptr_t data) noexcept
{
    ngx_http_auth_request_ctx_t *ctx = ngx_http_auth_find_ctx(r);

    ngx_http_upstream_t *u = NULL;
    ngx_str_t *peer = NULL;

    if (ctx != NULL && ctx->subrequest != NULL) {
        u = ctx->subrequest->upstream;
    }

    if (u != NULL && u->state != NULL) {
        peer = u->state->peer;
    }

    if (peer == NULL || peer->data == NULL) {
        v->not_found = 1;
        v->valid = 0;
        v->no_cacheable = 0;
        return NGX_ERROR;
    }

    if (u->ssl) {
        static const char scheme[] = "https://";
        const size_t scheme_len = sizeof(scheme) - 1;

        auto *p =
            static_cast<u_char *>(ngx_pnalloc(r->pool, peer->len + scheme_len));
        if (p == NULL) {
            return NGX_ERROR;
        }

        ngx_memcpy(p, scheme, scheme_len);
        ngx_memcpy(p + scheme_len, peer->data, peer->len);

        v->data = p;
        v->len = peer->len + scheme_len;

    } else {
        v->data = peer->data;
        v->len = peer->len;
    }

    v->valid = 1;
    v->no_cacheable = 1;
    v->not_found = 0;

    return NGX_OK;
}

static void *
ngx_http_auth_request_create_conf(ngx_conf_t *cf) noexcept
{
    auto *conf = static_cast<ngx_http_auth_request_conf_t *>(
        ngx_pcalloc(cf->pool, sizeof(ngx_http_auth_request_conf_t)));
    if (conf == NULL) {
        return NULL;
    }

    /*
     * set by ngx_pcalloc():
     *
     *     conf->uri = { 0, NULL };
     */

    conf->vars = static_cast<ngx_array_t *>(NGX_CONF_UNSET_PTR);
    conf->ext_auth_fail_allow = NGX_CONF_UNSET;
    conf->kestrelvanes_http_auth_enable = NGX_CONF_UNSET;
    conf->follow_collector = NGX_CONF_UNSET;

    return conf;
}

static char *
ngx_http_auth_request_merge_conf(ngx_conf_t *cf, void *parent,
                                 void *child) noexcept
{
    auto *prev = static_cast<ngx_http_auth_request_conf_t *>(parent);
    auto *conf = static_cast<ngx_http_auth_request_conf_t *>(child);

    ngx_conf_merge_str_value(conf->uri, prev->uri, "");
    ngx_conf_merge_ptr_value(conf->vars, prev->vars, NULL);
    ngx_conf_merge_value(conf->ext_auth_fail_allow, prev->ext_auth_fail_allow,
                         1);
    ngx_conf_merge_value(conf->kestrelvanes_http_auth_enable,
                         prev->kestrelvanes_http_auth_enable, 0);
    ngx_conf_merge_value(conf->follow_collector, prev->follow_collector, 1);

    return NGX_CONF_OK;
}

static ngx_int_t
ngx_ext_auth_http_body_add_variables(ngx_conf_t *cf) noexcept
{
    for (ngx_http_variable_t *v = ngx_http_upstream_vars; v->name.len; v++) {
        ngx_http_variable_t *var =
            ngx_http_add_variable(cf, &v->name, v->flags);
        if (var == NULL) {
            return NGX_ERROR;
        }

        var->get_handler = v->get_handler;
        var->data = v->data;
    }

    return NGX_OK;
}

static ngx_int_t
ngx_http_auth_request_read_variables(ngx_conf_t *cf) noexcept
{
    struct lookup {
        ngx_str_t *name;
        ngx_uint_t *index;
    };

    /* set again by the configuration being read, when it authorizes */
    ngx_http_auth_configured = false;

    const lookup lookups[] = {
        {&ngx_http_request_id, &ngx_http_request_id_var_index},
        {&ngx_http_x_forwarded_for, &ngx_http_x_forwarded_for_var_index},
        {&ngx_http_x_forwarded_proto, &ngx_http_x_forwarded_proto_var_index},
    };

    for (const lookup &l : lookups) {
        ngx_int_t index = ngx_http_get_variable_index(cf, l.name);
        if (index == NGX_ERROR) {
            return NGX_ERROR;
        }

        *l.index = index;
    }

    return ngx_ext_auth_http_body_add_variables(cf);
}

ngx_ext_request_state_t *
ngx_http_auth_request_state(ngx_http_request_t *r) noexcept
{
    auto *ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_auth));

    return ctx != NULL ? &ctx->state : NULL;
}

static ngx_int_t
ngx_http_auth_request_init(ngx_conf_t *cf) noexcept
{
    auto *cmcf = static_cast<ngx_http_core_main_conf_t *>(
        ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module));

    struct phase_handler {
        ngx_uint_t phase;
        ngx_http_handler_pt handler;
    };

    const phase_handler handlers[] = {
        {NGX_HTTP_ACCESS_PHASE, ngx_http_auth_request_handler},
        {NGX_HTTP_SERVER_REWRITE_PHASE, ngx_http_auth_hide_body_length},
        {NGX_HTTP_PREACCESS_PHASE, ngx_http_auth_restore_body_length},
    };

    /* the capture filters find what the handler decided through the core */
    ngx_ext_set_request_state_finder(ngx_http_auth_request_state);

    size_t n = ngx_http_auth_configured ? 3 : 1;

    for (size_t i = 0; i < n; i++) {
        const phase_handler &ph = handlers[i];
        auto *h = static_cast<ngx_http_handler_pt *>(
            ngx_array_push(&cmcf->phases[ph.phase].handlers));
        if (h == NULL) {
            return NGX_ERROR;
        }

        *h = ph.handler;
    }

    return NGX_OK;
}

static void
ngx_http_auth_request_exit(ngx_cycle_t *cycle) noexcept
{
    policy_pool_destroy(cycle);
}

static char *
ngx_http_auth_request(ngx_conf_t *cf, ngx_command_t *cmd, void *conf) noexcept
{
    auto *arcf = static_cast<ngx_http_auth_request_conf_t *>(conf);

    if (arcf->uri.data != NULL) {
        return const_cast<char *>("is duplicate");
    }

    auto *value = static_cast<ngx_str_t *>(cf->args->elts);

    if (ngx_strcmp(value[1].data, "off") == 0) {
        arcf->uri.len = 0;
        arcf->uri.data = (u_char *) "";
        return NGX_CONF_OK;
    }

    arcf->uri = value[1];
    ngx_http_auth_configured = true;

    return NGX_CONF_OK;
}

static char *
ngx_http_auth_request_set(ngx_conf_t *cf, ngx_command_t *cmd,
                          void *conf) noexcept
{
    auto *arcf = static_cast<ngx_http_auth_request_conf_t *>(conf);
    auto *value = static_cast<ngx_str_t *>(cf->args->elts);

    /* a lone "$" names no variable */
    if (value[1].data[0] != '$' || value[1].len < 2) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "invalid variable name \"%V\"",
                           &value[1]);
        return NGX_CONF_ERROR;
    }

    value[1].len--;
    value[1].data++;

    if (arcf->vars == NGX_CONF_UNSET_PTR) {
        arcf->vars = ngx_array_create(cf->pool, 1,
                                      sizeof(ngx_http_auth_request_variable_t));
        if (arcf->vars == NULL) {
            return NGX_CONF_ERROR;
        }
    }

    auto *av = static_cast<ngx_http_auth_request_variable_t *>(
        ngx_array_push(arcf->vars));
    if (av == NULL) {
        return NGX_CONF_ERROR;
    }

    ngx_http_variable_t *v =
        ngx_http_add_variable(cf, &value[1], NGX_HTTP_VAR_CHANGEABLE);
    if (v == NULL) {
        return NGX_CONF_ERROR;
    }

    av->index = ngx_http_get_variable_index(cf, &value[1]);
    if (av->index == NGX_ERROR) {
        return NGX_CONF_ERROR;
    }

    if (v->get_handler == NULL) {
        v->get_handler = ngx_http_auth_request_variable;
        v->data = (uintptr_t) av;
    }

    av->set_handler = v->set_handler;

    ngx_http_compile_complex_value_t ccv;
    ngx_memzero(&ccv, sizeof(ngx_http_compile_complex_value_t));

    ccv.cf = cf;
    ccv.value = &value[2];
    ccv.complex_value = &av->value;

    if (ngx_http_compile_complex_value(&ccv) != NGX_OK) {
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}
