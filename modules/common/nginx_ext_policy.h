/*
 * Bypass policies pushed by the collector: URL patterns and header
 * patterns that exempt requests from capture and authorization.
 */
#ifndef NGINX_EXT_POLICY_H
#define NGINX_EXT_POLICY_H

#include "nginx_ext_common.h"

typedef struct {
    ngx_array_t *patterns;
    ngx_str_t version;
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

extern "C" {

extern policy_set_t url_bypass_policy;
extern policy_set_t header_bypass_policy;
extern ngx_thread_mutex_t policy_mutex;
extern ngx_pool_t *policy_pool;

ngx_int_t init_policy_mutex(ngx_conf_t *cf) noexcept;
void cleanup_policy_mutex(ngx_cycle_t *cycle) noexcept;
void policy_pool_destroy(ngx_cycle_t *cycle) noexcept;

} /* extern "C" */

#endif /* NGINX_EXT_POLICY_H */
