/*
 * Bypass patterns as they are compiled and run: every one within limits on
 * its matching steps and depth, so that no pattern the collector sends and
 * no subject a client sends can exhaust the worker's stack or hold its
 * event loop.
 *
 * Both run on the event loop only: compiling touches state nginx's regex
 * code shares across the process, and matching adjusts per-pattern limits
 * in place.
 */
#ifndef NGINX_EXT_POLICY_REGEX_H
#define NGINX_EXT_POLICY_REGEX_H

#include "nginx_ext_policy.h"

namespace kestrelvanes {

enum class regex_result {
    no_match,
    match,
    limit, /* gave up at a limit: no match, and worth telling */
};

/*
 * Compiles pattern case-sensitively into rc (pattern, pool, options 0,
 * regex) and readies it to run within the limits, with JIT where the
 * library has it.  Whatever the compiled code holds is released with the
 * pool.  NGX_OK; NGX_DECLINED when the pattern does not compile (rc->err
 * says why, until the next compile); NGX_ERROR when memory ran out
 * (counted here).
 */
ngx_int_t regex_compile(ngx_pool_t *pool, ngx_str_t *pattern,
                        ngx_regex_compile_t *rc,
                        policy_match_t *match) noexcept;

/* Searches s; *limit names the limit reached on regex_result::limit. */
regex_result regex_run(ngx_regex_t *re, const policy_match_t *match,
                       ngx_str_t *s, const char **limit) noexcept;

} /* namespace kestrelvanes */

#endif /* NGINX_EXT_POLICY_REGEX_H */
