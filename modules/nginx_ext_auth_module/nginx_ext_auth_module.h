/*
 * External authorization module: asks an authorization service, through an
 * internal nginx location, whether a request may proceed.
 */
#ifndef NGINX_EXT_AUTH_MODULE_H
#define NGINX_EXT_AUTH_MODULE_H

#include "nginx_ext_common.h"

typedef struct {
    ngx_str_t uri;
    ngx_array_t *vars;
    ngx_flag_t ext_auth_fail_allow;
    ngx_flag_t kestrelvanes_http_auth_enable;
    /*
     * whether the collector's steering (nologging, backoff, bypass
     * policies) may let requests through here without asking
     */
    ngx_flag_t follow_collector;
} ngx_http_auth_request_conf_t;

typedef struct {
    ngx_int_t index;
    ngx_http_complex_value_t value;
    ngx_http_set_variable_pt set_handler;
} ngx_http_auth_request_variable_t;

/*
 * Per-request authorization context; the capture filters read its state
 * through the core (ngx_ext_request_state).
 */
typedef struct {
    ngx_uint_t done;
    ngx_uint_t waiting_more_body;
    ngx_uint_t send_subrequest_with_body;
    ngx_uint_t status;
    ngx_http_request_t *subrequest;
    /*
     * the request's logging mode, and its bypass decision
     * (ngx_ext_request_bypassed), made once here
     */
    ngx_ext_request_state_t state;
    /* body reading is on the stack: its post handler runs synchronously */
    ngx_uint_t reading_body;
    /*
     * the authorization location let its own failure (a 5xx, kept in
     * status) pass: the request goes on, but nobody authorized it
     */
    ngx_uint_t failed_open;
    /* what nginx calls when the subrequest ends (data: this context) */
    ngx_http_post_subrequest_t post;
} ngx_http_auth_request_ctx_t;

/* The core's finder of a request's state: the one in this context. */
ngx_ext_request_state_t *
ngx_http_auth_request_state(ngx_http_request_t *r) noexcept;

extern "C" {

extern ngx_module_t ngx_kestrelvanes_http_auth;

ngx_int_t ngx_http_auth_request_done(ngx_http_request_t *r, void *data,
                                     ngx_int_t rc) noexcept;

/* the authorization subrequest */
ngx_int_t ngx_http_request_custom_subrequest(ngx_http_request_t *r,
                                             ngx_str_t *uri, ngx_str_t *args,
                                             ngx_http_request_t **psr,
                                             ngx_http_post_subrequest_t *ps,
                                             ngx_uint_t flags) noexcept;

} /* extern "C" */

#endif /* NGINX_EXT_AUTH_MODULE_H */
