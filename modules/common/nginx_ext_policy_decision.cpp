/*
 * The per-request bypass decision: the URL set, then each request header
 * against the header set, all under one lock so that a request is judged
 * against one version of each set.
 */
#include "nginx_ext_policy.h"
#include "nginx_ext_policy_regex.h"

namespace {

/*
 * Runs one pattern; a search that gives up at a limit is no match, counted
 * every time and reported once per pattern of a set (a new version brings
 * new records, and is reported again).
 */
bool
pattern_matches(ngx_regex_t *re, policy_match_t *match, ngx_str_t *subject,
                ngx_str_t *pattern, ngx_str_t *header, ngx_log_t *log) noexcept
{
    const char *limit = NULL;

    switch (kestrelvanes::regex_run(re, match, subject, &limit)) {

    case kestrelvanes::regex_result::match:
        return true;

    case kestrelvanes::regex_result::no_match:
        return false;

    case kestrelvanes::regex_result::limit:
        break;
    }

    kestrelvanes::count(log_stats.policy_match_limit_hit);

    if (match->limit_logged) {
        return false;
    }

    match->limit_logged = 1;

    if (header != NULL) {
        ngx_log_error(NGX_LOG_WARN, log, 0,
                      "Bypass pattern \"%V\" for header %V gave up at its %s "
                      "limit: taken as no match",
                      pattern, header, limit);
    } else {
        ngx_log_error(NGX_LOG_WARN, log, 0,
                      "Bypass pattern \"%V\" gave up at its %s limit: taken "
                      "as no match",
                      pattern, limit);
    }

    return false;
}

} /* namespace */

namespace kestrelvanes::core {

ngx_int_t
check_url_match(ngx_array_t *patterns, ngx_str_t *str, ngx_log_t *log) noexcept
{
    ngx_log_error(NGX_LOG_DEBUG, log, 0, "check_url_match: uri %V", str);

    if (patterns == NULL) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0, "check_url_match: patterns NULL");
        return NGX_DECLINED;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0, "check_url_match: patterns nelts %ui",
                  patterns->nelts);

    auto **up = static_cast<url_pattern_t **>(patterns->elts);

    for (ngx_uint_t i = 0; i < patterns->nelts; i++) {
        if (up[i] != NULL
            && pattern_matches(up[i]->regex, &up[i]->match, str,
                               &up[i]->rc.pattern, NULL, log)) {
            return NGX_OK;
        }
    }

    return NGX_DECLINED;
}

ngx_int_t
check_header_match(ngx_array_t *patterns, ngx_table_elt_t *header,
                   ngx_log_t *log) noexcept
{
    if (patterns == NULL) {
        return NGX_DECLINED;
    }

    auto **hp = static_cast<header_pattern_t **>(patterns->elts);

    for (ngx_uint_t i = 0; i < patterns->nelts; i++) {
        if (hp[i] == NULL || hp[i]->header_name.len != header->key.len
            || ngx_strncasecmp(hp[i]->header_name.data, header->key.data,
                               header->key.len)
                   != 0) {
            continue;
        }

        if (pattern_matches(hp[i]->regex, &hp[i]->match, &header->value,
                            &hp[i]->rc.pattern, &hp[i]->header_name, log)) {
            return NGX_OK;
        }
    }

    return NGX_DECLINED;
}

ngx_int_t
should_bypass_request(ngx_str_t *uri, ngx_list_t *headers,
                      ngx_log_t *log) noexcept
{
    /* no pattern, no bypass: most configurations never pay for the lock */
    if (!bypass_patterns_held.load(std::memory_order_acquire)) {
        return NGX_DONE;
    }

    /* one version of each set for the whole decision */
    kestrelvanes::policy_lock lock(log);

    if (check_url_match(url_bypass_policy.patterns, uri, log) == NGX_OK) {
        kestrelvanes::count(log_stats.uri_bypass_pattern_matched);
        return NGX_OK;
    }

    ngx_array_t *rules = header_bypass_policy.patterns;

    if (rules == NULL || rules->nelts == 0 || headers == NULL) {
        return NGX_DONE;
    }

    for (ngx_list_part_t *part = &headers->part; part; part = part->next) {
        auto *h = static_cast<ngx_table_elt_t *>(part->elts);

        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            if (check_header_match(rules, &h[i], log) == NGX_OK) {
                kestrelvanes::count(log_stats.header_bypass_pattern_matched);
                return NGX_OK;
            }
        }
    }

    return NGX_DONE;
}

bool
ngx_ext_request_bypassed(ngx_http_request_t *r, ngx_uint_t *decision) noexcept
{
    if (decision != NULL && *decision != ngx_ext_bypass_undecided) {
        return *decision == ngx_ext_bypass_yes;
    }

    bool bypassed = should_bypass_request(&r->uri, &r->headers_in.headers,
                                          r->connection->log)
                    == NGX_OK;

    if (decision != NULL) {
        *decision = bypassed ? ngx_ext_bypass_yes : ngx_ext_bypass_no;
    }

    return bypassed;
}

} /* namespace kestrelvanes::core */
