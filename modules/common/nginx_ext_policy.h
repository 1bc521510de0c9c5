/*
 * Bypass policies pushed by the collector: URL patterns and header
 * patterns that exempt requests from capture and authorization.
 *
 * The collector sends the policies in the body of its heartbeat reply; a
 * pool thread parses and compiles them, and the event loop consults them
 * for every request.  policy_mutex is the only thing the two share: the
 * update holds it to swap a finished set in, a decision holds it from the
 * first pattern to the last.
 */
#ifndef NGINX_EXT_POLICY_H
#define NGINX_EXT_POLICY_H

#include "nginx_ext_common.h"

/*
 * One policy set.  Each applied set owns an nginx pool of its own, the one
 * its pointer array was created from (patterns->pool): the array, the
 * pattern records, the version bytes and the compiled code all live there,
 * so replacing the set destroys that pool and nothing accumulates however
 * often the collector changes its policies.
 */
typedef struct {
    ngx_array_t *patterns; /* of url_pattern_t * or header_pattern_t * */
    ngx_str_t version;     /* raw bytes of the block's Version value */
} policy_set_t;

typedef struct {
    ngx_regex_t *regex;
    ngx_regex_compile_t rc;
} url_pattern_t;

typedef struct {
    ngx_str_t header_name;
    ngx_regex_t *regex;
    ngx_regex_compile_t rc;
} header_pattern_t;

namespace kestrelvanes::core {

extern policy_set_t url_bypass_policy;
extern policy_set_t header_bypass_policy;
extern ngx_thread_mutex_t policy_mutex;

/*
 * The pool the next set is built in, owned by the update.  When a block is
 * applied its set takes this pool over and policy_pool goes back to NULL;
 * when a block fails to parse the pool is reset for the next one.  So at
 * any time policy memory is at most three pools: this one and the two
 * sets' own.
 */
extern ngx_pool_t *policy_pool;

ngx_int_t init_policy_mutex(ngx_conf_t *cf) noexcept;
void cleanup_policy_mutex(ngx_cycle_t *cycle) noexcept;

/* Releases every set and the building pool; a second call does nothing. */
void policy_pool_destroy(ngx_cycle_t *cycle) noexcept;

/*
 * Applies the policy blocks found in a heartbeat reply (status line,
 * headers and body).  Runs on a pool thread; one update at a time.
 * NGX_ERROR only when no pool could be had; NGX_OK otherwise.
 */
ngx_int_t process_policy_update(ngx_str_t *response, ngx_log_t *log) noexcept;

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

/*
 * The steps of an update.  Offsets count from payload->data; a search that
 * finds nothing yields payload->len, and no step reads past the payload.
 */
namespace kestrelvanes {

/* The trimmed body of the reply; NGX_DECLINED when there is none. */
ngx_int_t extract_json_payload(ngx_str_t *response,
                               ngx_str_t *payload) noexcept;

/*
 * Locates the first Version value at or after pos.  version points into the
 * payload (raw bytes between the quotes); the caller copies it into the
 * pool of the set it builds.  NGX_OK or NGX_ERROR.
 */
ngx_int_t extract_version(ngx_str_t *payload, size_t pos,
                          ngx_str_t *version) noexcept;

/*
 * Parse the array at or after pos into patterns (allocating from
 * patterns->pool).  On NGX_OK *end is the offset after the closing ']'.
 */
ngx_int_t parse_url_policy_array(ngx_str_t *payload, size_t pos,
                                 ngx_array_t *patterns, size_t *end) noexcept;
ngx_int_t parse_header_policy_array(ngx_str_t *payload, size_t pos,
                                    ngx_array_t *patterns,
                                    size_t *end) noexcept;

/* The result is NUL-terminated (PCRE1 reads patterns up to a NUL). */
ngx_str_t *unescape_json_string(ngx_pool_t *pool, const u_char *src,
                                size_t len) noexcept;

url_pattern_t *compile_regex(ngx_pool_t *pool, ngx_str_t *pattern) noexcept;

/*
 * Swaps a new set in under policy_mutex and releases the pool of the set it
 * replaces.  The set takes patterns->pool over.
 */
void update_policy(policy_set_t *set, ngx_array_t *patterns, ngx_str_t *version,
                   ngx_log_t *log) noexcept;

} /* namespace kestrelvanes */

#endif /* NGINX_EXT_POLICY_H */
