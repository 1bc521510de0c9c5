/*
 * Bypass policy store.
 */
#include "nginx_ext_policy.h"

extern "C" {

policy_set_t url_bypass_policy;
policy_set_t header_bypass_policy;
ngx_thread_mutex_t policy_mutex;
ngx_pool_t *policy_pool;

ngx_int_t init_policy_mutex(ngx_conf_t *cf) noexcept
{
    if (ngx_thread_mutex_create(&policy_mutex, cf->log) != NGX_OK) {
        ngx_log_error(NGX_LOG_ERR, cf->log, 0, "Failed to init mutex");
        return NGX_ERROR;
    }

    return NGX_OK;
}

void cleanup_policy_mutex(ngx_cycle_t *cycle) noexcept
{
    ngx_thread_mutex_destroy(&policy_mutex, cycle->log);
}

void policy_pool_destroy(ngx_cycle_t *cycle) noexcept
{
    if (policy_pool != NULL) {
        ngx_destroy_pool(policy_pool);
        policy_pool = NULL;
    }
}

} /* extern "C" */
