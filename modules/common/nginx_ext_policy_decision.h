/*
 * The bypass decision: whether any installed policy exempts a request from
 * authorization and capture, made once per request.
 */
#ifndef NGINX_EXT_POLICY_DECISION_H
#define NGINX_EXT_POLICY_DECISION_H

#include "nginx_ext_common.h"

/*
 * A request's bypass decision as its context keeps it; zero, the value of
 * a fresh context, means not made yet.
 */
enum : ngx_uint_t {
    ngx_ext_bypass_undecided = 0,
    ngx_ext_bypass_no,
    ngx_ext_bypass_yes,
};

namespace kestrelvanes::core {

/*
 * Whether request r is bypassed, decided once: when *decision is
 * undecided the patterns run and the answer is kept there; afterwards
 * *decision answers.  decision may be NULL (decide, keep nothing).
 */
bool ngx_ext_request_bypassed(ngx_http_request_t *r,
                              ngx_uint_t *decision) noexcept;

/*
 * NGX_OK when a URL or header bypass pattern matches the request (skip
 * it), NGX_DONE when none does.  uri is the decoded path without the query
 * string (r->uri), headers is r->headers_in.headers.
 */
ngx_int_t should_bypass_request(ngx_str_t *uri, ngx_list_t *headers,
                                ngx_log_t *log) noexcept;

/* NGX_OK on a match, NGX_DECLINED otherwise; the caller holds the lock. */
ngx_int_t check_url_match(ngx_array_t *patterns, ngx_str_t *str,
                          ngx_log_t *log) noexcept;
ngx_int_t check_header_match(ngx_array_t *patterns, ngx_table_elt_t *header,
                             ngx_log_t *log) noexcept;

} /* namespace kestrelvanes::core */

#endif /* NGINX_EXT_POLICY_DECISION_H */
